#include "tui/framework/text/style.hpp"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace orvo::tui {
namespace {

constexpr std::array<std::string_view, 8> kBaseNames = {"black", "red",     "green", "yellow",
                                                        "blue",  "magenta", "cyan",  "white"};

// The xterm default palette for the 16 standard colours.
constexpr std::array<Rgb, 16> kStandardPalette = {{{0, 0, 0},
                                                   {205, 0, 0},
                                                   {0, 205, 0},
                                                   {205, 205, 0},
                                                   {0, 0, 238},
                                                   {205, 0, 205},
                                                   {0, 205, 205},
                                                   {229, 229, 229},
                                                   {127, 127, 127},
                                                   {255, 0, 0},
                                                   {0, 255, 0},
                                                   {255, 255, 0},
                                                   {92, 92, 255},
                                                   {255, 0, 255},
                                                   {0, 255, 255},
                                                   {255, 255, 255}}};

constexpr std::array<std::uint8_t, 6> kCubeLevels = {0, 95, 135, 175, 215, 255};

Rgb palette_rgb(int n) {
  if (n < 16) return kStandardPalette[static_cast<std::size_t>(n)];
  if (n < 232) {
    const int i = n - 16;
    return {kCubeLevels[static_cast<std::size_t>(i / 36)],
            kCubeLevels[static_cast<std::size_t>((i / 6) % 6)],
            kCubeLevels[static_cast<std::size_t>(i % 6)]};
  }
  const auto v = static_cast<std::uint8_t>(8 + 10 * (n - 232));
  return {v, v, v};
}

// CIE L*a*b* of an sRGB colour: distances there follow perceived difference (CIE76).
struct Lab {
  double l, a, b;
};

Lab to_lab(Rgb c) {
  auto lin = [](std::uint8_t v) {
    const double x = v / 255.0;
    return x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
  };
  const double r = lin(c.r), g = lin(c.g), b = lin(c.b);
  const double x = (0.4124 * r + 0.3576 * g + 0.1805 * b) / 0.95047;
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  const double z = (0.0193 * r + 0.1192 * g + 0.9505 * b) / 1.08883;
  auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; };
  const double fx = f(x), fy = f(y), fz = f(z);
  return {116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz)};
}

double distance(const Lab& p, const Lab& q) {
  const double dl = p.l - q.l, da = p.a - q.a, db = p.b - q.b;
  return dl * dl + da * da + db * db;
}

double distance(Rgb a, Rgb b) {
  return distance(to_lab(a), to_lab(b));
}

int nearest_standard(Rgb c) {
  static const auto kLabs = [] {
    std::array<Lab, 16> labs{};
    for (std::size_t i = 0; i < 16; ++i) labs[i] = to_lab(kStandardPalette[i]);
    return labs;
  }();
  const Lab lab = to_lab(c);
  int best = 0;
  double best_d = distance(lab, kLabs[0]);
  for (int i = 1; i < 16; ++i) {
    const double d = distance(lab, kLabs[static_cast<std::size_t>(i)]);
    if (d < best_d) best = i, best_d = d;
  }
  return best;
}

// Nearest of the 6x6x6 cube and the grey ramp (the 16 standard entries vary between terminals).
int nearest_eight_bit(Rgb c) {
  auto level = [](int v) {
    int best = 0;
    for (int i = 1; i < 6; ++i)
      if (std::abs(kCubeLevels[static_cast<std::size_t>(i)] - v) <
          std::abs(kCubeLevels[static_cast<std::size_t>(best)] - v))
        best = i;
    return best;
  };
  const int cube = 16 + 36 * level(c.r) + 6 * level(c.g) + level(c.b);
  int grey_i = ((c.r + c.g + c.b) / 3 - 8 + 5) / 10;
  if (grey_i < 0) grey_i = 0;
  if (grey_i > 23) grey_i = 23;
  const int grey = 232 + grey_i;
  return distance(c, palette_rgb(grey)) < distance(c, palette_rgb(cube)) ? grey : cube;
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool parse_int(std::string_view s, int lo, int hi, int& out) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  if (s.empty() || s.size() > 4) return false;
  int v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < lo || v > hi) return false;
  out = v;
  return true;
}

std::optional<Color> parse_color(std::string_view s) {
  if (s.empty()) return std::nullopt;
  if (s[0] == '#') {
    if (s.size() != 7) return std::nullopt;
    int v[6];
    for (int i = 0; i < 6; ++i)
      if ((v[i] = hex_digit(s[static_cast<std::size_t>(i) + 1])) < 0) return std::nullopt;
    return Color::rgb(static_cast<std::uint8_t>(v[0] * 16 + v[1]),
                      static_cast<std::uint8_t>(v[2] * 16 + v[3]),
                      static_cast<std::uint8_t>(v[4] * 16 + v[5]));
  }
  if (iequals(s, "default")) return Color();
  std::string_view base = s;
  bool bright = false;
  if (base.size() > 7 && iequals(base.substr(0, 7), "bright_")) {
    bright = true;
    base.remove_prefix(7);
  }
  for (std::size_t i = 0; i < kBaseNames.size(); ++i)
    if (iequals(base, kBaseNames[i]))
      return Color::standard(static_cast<int>(i) + (bright ? 8 : 0));
  if (bright) return std::nullopt;
  if (iequals(s, "grey") || iequals(s, "gray")) return Color::standard(8);
  if (s.size() > 7 && iequals(s.substr(0, 6), "color(") && s.back() == ')') {
    int n;
    if (parse_int(s.substr(6, s.size() - 7), 0, 255, n))
      return n < 16 ? Color::standard(n) : Color::eight_bit(n);
    return std::nullopt;
  }
  if (s.size() > 5 && iequals(s.substr(0, 4), "rgb(") && s.back() == ')') {
    std::string_view in = s.substr(4, s.size() - 5);
    int v[3];
    for (int i = 0; i < 3; ++i) {
      const std::size_t comma = i < 2 ? in.find(',') : in.size();
      if (comma == std::string_view::npos || !parse_int(in.substr(0, comma), 0, 255, v[i]))
        return std::nullopt;
      in = i < 2 ? in.substr(comma + 1) : std::string_view();
    }
    return Color::rgb(static_cast<std::uint8_t>(v[0]), static_cast<std::uint8_t>(v[1]),
                      static_cast<std::uint8_t>(v[2]));
  }
  return std::nullopt;
}

std::uint16_t attr_bit(std::string_view w) {
  struct Name {
    std::string_view name;
    std::uint16_t bit;
  };
  static constexpr Name kNames[] = {
      {"bold", Style::Bold},
      {"b", Style::Bold},
      {"dim", Style::Dim},
      {"d", Style::Dim},
      {"italic", Style::Italic},
      {"i", Style::Italic},
      {"underline", Style::Underline},
      {"u", Style::Underline},
      {"blink", Style::Blink},
      {"reverse", Style::Reverse},
      {"r", Style::Reverse},
      {"strike", Style::Strike},
      {"s", Style::Strike},
      {"strikethrough", Style::Strike},
  };
  for (const auto& n : kNames)
    if (iequals(w, n.name)) return n.bit;
  return 0;
}

[[noreturn]] __attribute__((noinline)) void syntax_error(std::string_view def, std::string_view a,
                                                         std::string_view b, std::string_view c) {
  std::string msg = "invalid style definition \"";
  msg.append(def).append("\": ").append(a).append(b).append(c);
  throw StyleSyntaxError(msg);
}

Style parse_uncached(std::string_view def) {
  Style style;
  std::size_t pos = 0;
  auto next_word = [&]() -> std::string_view {
    while (pos < def.size() && (def[pos] == ' ' || def[pos] == '\t' || def[pos] == '\n')) ++pos;
    const std::size_t start = pos;
    // A word runs to the next blank; "rgb(1, 2, 3)" keeps its inner blanks.
    int depth = 0;
    while (pos < def.size()) {
      const char c = def[pos];
      if (c == '(') ++depth;
      if (c == ')' && depth > 0) --depth;
      if (depth == 0 && (c == ' ' || c == '\t' || c == '\n')) break;
      ++pos;
    }
    return def.substr(start, pos - start);
  };
  auto fail = [&](std::string_view a, std::string_view b = {}, std::string_view c = {}) {
    syntax_error(def, a, b, c);
  };
  for (std::string_view w = next_word(); !w.empty(); w = next_word()) {
    if (iequals(w, "on")) {
      const std::string_view c = next_word();
      if (c.empty()) fail("\"on\" without a colour");
      auto color = parse_color(c);
      if (!color) fail("\"", c, "\" is not a colour");
      style = style.with_bgcolor(*color);
    } else if (iequals(w, "not")) {
      const std::string_view a = next_word();
      const std::uint16_t bit = attr_bit(a);
      if (bit == 0) fail("\"not\" must be followed by an attribute");
      style = style.with(static_cast<Style::Attr>(bit), false);
    } else if (iequals(w, "link")) {
      const std::string_view url = next_word();
      if (url.empty()) fail("\"link\" without a target");
      style = style.with_link(url);
    } else if (iequals(w, "none")) {
      // "none" is the empty style; nothing to add.
    } else if (const std::uint16_t bit = attr_bit(w)) {
      style = style.with(static_cast<Style::Attr>(bit), true);
    } else if (auto color = parse_color(w)) {
      style = style.with_color(*color);
    } else {
      fail("unknown word \"", w, "\"");
    }
  }
  return style;
}

}  // namespace

ColorSystem parse_color_system(std::string_view name) {
  if (iequals(name, "truecolor") || iequals(name, "24bit")) return ColorSystem::TrueColor;
  if (iequals(name, "256") || iequals(name, "8bit")) return ColorSystem::EightBit;
  if (iequals(name, "standard") || iequals(name, "16")) return ColorSystem::Standard;
  if (iequals(name, "none") || name.empty()) return ColorSystem::None;
  if (iequals(name, "monochrome")) return ColorSystem::Monochrome;
  throw StyleSyntaxError("unknown colour system \"" + std::string(name) + "\"");
}

Color Color::parse(std::string_view name) {
  auto c = parse_color(name);
  if (!c) throw StyleSyntaxError("\"" + std::string(name) + "\" is not a colour");
  return *c;
}

std::optional<Color> Color::try_parse(std::string_view name) noexcept {
  return parse_color(name);
}

Rgb Color::triplet() const {
  switch (type_) {
    case Type::Default:
      return {};
    case Type::Standard:
    case Type::EightBit:
      return palette_rgb(number_);
    case Type::TrueColor:
      return rgb_;
  }
  return {};
}

Color Color::downgrade(ColorSystem system) const {
  switch (type_) {
    case Type::Default:
    case Type::Standard:
      return *this;
    case Type::EightBit:
      if (system == ColorSystem::Standard) {
        return number_ < 16 ? Color::standard(number_)
                            : Color::standard(nearest_standard(triplet()));
      }
      return *this;
    case Type::TrueColor:
      if (system == ColorSystem::EightBit) return Color::eight_bit(nearest_eight_bit(rgb_));
      if (system == ColorSystem::Standard) return Color::standard(nearest_standard(rgb_));
      return *this;
  }
  return *this;
}

void Color::append_sgr_params(bool background, std::string& out) const {
  auto num = [&out](int v) {
    char buf[8];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
  };
  switch (type_) {
    case Type::Default:
      out += background ? "49" : "39";
      return;
    case Type::Standard:
      num((number_ < 8 ? (background ? 40 : 30) : (background ? 100 - 8 : 90 - 8)) + number_);
      return;
    case Type::EightBit:
      out += background ? "48;5;" : "38;5;";
      num(number_);
      return;
    case Type::TrueColor:
      out += background ? "48;2;" : "38;2;";
      num(rgb_.r);
      out += ';';
      num(rgb_.g);
      out += ';';
      num(rgb_.b);
      return;
  }
}

std::string Color::name() const {
  switch (type_) {
    case Type::Default:
      return "default";
    case Type::Standard: {
      std::string n(number_ >= 8 ? "bright_" : "");
      n.append(kBaseNames[number_ & 7]);
      return n;
    }
    case Type::EightBit:
      return "color(" + std::to_string(number_) + ")";
    case Type::TrueColor: {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string s = "#";
      for (int v : {rgb_.r, rgb_.g, rgb_.b}) {
        s += kHex[v >> 4];
        s += kHex[v & 15];
      }
      return s;
    }
  }
  return "default";
}

Style::Style(std::string_view definition) : Style(parse(definition)) {}

Style Style::parse(std::string_view definition) {
  if (definition.empty()) return Style();
  // Hot definitions are parsed again and again while rendering; keep them. Per thread, so no
  // locking; bounded by starting over when it grows large.
  thread_local std::unordered_map<std::string, Style> cache;
  thread_local std::string key;
  key.assign(definition);
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  Style s = parse_uncached(definition);
  if (cache.size() >= 4096) cache.clear();
  cache.emplace(key, s);
  return s;
}

std::optional<Style> Style::try_parse(std::string_view definition) noexcept {
  try {
    return parse(definition);
  } catch (...) {
    return std::nullopt;
  }
}

Style Style::operator+(const Style& over) const {
  if (over.empty()) return *this;
  if (empty()) return over;
  Style s;
  s.set_ = set_ | over.set_;
  s.on_ = static_cast<std::uint16_t>((on_ & ~over.set_) | over.on_);
  s.has_fg_ = has_fg_ || over.has_fg_;
  s.fg_ = over.has_fg_ ? over.fg_ : fg_;
  s.has_bg_ = has_bg_ || over.has_bg_;
  s.bg_ = over.has_bg_ ? over.bg_ : bg_;
  s.link_ = over.link_ != 0 ? over.link_ : link_;
  return s;
}

void Style::append_sgr(ColorSystem system, std::string& out) const {
  if (system == ColorSystem::None || (on_ == 0 && !has_fg_ && !has_bg_)) return;
  const bool colours = system != ColorSystem::Monochrome;
  static constexpr struct {
    std::uint16_t bit;
    char code;
  } kCodes[] = {{Bold, '1'},  {Dim, '2'},     {Italic, '3'}, {Underline, '4'},
                {Blink, '5'}, {Reverse, '7'}, {Strike, '9'}};
  const std::size_t start = out.size();
  out += "\x1b[";
  bool first = true;
  for (const auto& c : kCodes) {
    if (on_ & c.bit) {
      if (!first) out += ';';
      out += c.code;
      first = false;
    }
  }
  if (has_fg_ && colours) {
    if (!first) out += ';';
    fg_.downgrade(system).append_sgr_params(false, out);
    first = false;
  }
  if (has_bg_ && colours) {
    if (!first) out += ';';
    bg_.downgrade(system).append_sgr_params(true, out);
    first = false;
  }
  if (first) {
    out.resize(start);
    return;
  }
  out += 'm';
}

std::string Style::render_sgr(ColorSystem system) const {
  std::string out;
  append_sgr(system, out);
  return out;
}

std::string Style::to_string() const {
  static constexpr struct {
    std::uint16_t bit;
    std::string_view name;
  } kNames[] = {{Bold, "bold"},           {Dim, "dim"},     {Italic, "italic"},
                {Underline, "underline"}, {Blink, "blink"}, {Reverse, "reverse"},
                {Strike, "strike"}};
  std::string out;
  auto add = [&](std::string_view w) {
    if (!out.empty()) out += ' ';
    out += w;
  };
  for (const auto& n : kNames) {
    if (!(set_ & n.bit)) continue;
    if (!(on_ & n.bit)) add("not");
    add(n.name);
  }
  if (has_fg_) add(fg_.name());
  if (has_bg_) {
    add("on");
    add(bg_.name());
  }
  if (link_ != 0) {
    add("link");
    add(link());  // cleaned targets hold no blanks (see clean_link)
  }
  return out.empty() ? "none" : out;
}

std::size_t Style::hash() const noexcept {
  auto color_bits = [](const Color& c) {
    const Rgb t = c.type() == Color::Type::TrueColor ? c.triplet() : Rgb{};
    return (static_cast<std::uint64_t>(c.type()) << 32) |
           (static_cast<std::uint64_t>(c.number()) << 24) |
           (static_cast<std::uint64_t>(t.r) << 16) | (static_cast<std::uint64_t>(t.g) << 8) | t.b;
  };
  std::uint64_t h = (static_cast<std::uint64_t>(set_) << 16) | on_;
  h = h * 0x9E3779B97F4A7C15ULL ^ (color_bits(fg_) | (static_cast<std::uint64_t>(has_fg_) << 40));
  h = h * 0x9E3779B97F4A7C15ULL ^ (color_bits(bg_) | (static_cast<std::uint64_t>(has_bg_) << 40));
  h = h * 0x9E3779B97F4A7C15ULL ^ link_;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

// ---- hyperlinks

namespace {

constexpr std::size_t kMaxLinkBytes = 4096;
// Enough for every link of a long session; beyond it new targets are simply not linked.
constexpr std::size_t kMaxLinks = 1u << 20;

struct LinkTable {
  std::mutex mutex;
  std::deque<std::string> targets{std::string()};  // a deque: elements never move
  std::unordered_map<std::string_view, std::uint32_t> ids;
};

LinkTable& links() {
  static LinkTable* table = new LinkTable;  // never destroyed: styles may outlive statics
  return *table;
}

}  // namespace

std::string clean_link(std::string_view url) {
  std::string out;
  out.reserve(url.size());
  for (std::size_t i = 0; i < url.size(); ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    if (c < 0x20 || c == 0x7F) continue;
    if (c == 0xC2 && i + 1 < url.size() && static_cast<unsigned char>(url[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(url[i + 1]) <= 0x9F) {
      ++i;  // C1 control
      continue;
    }
    // Blanks are percent-encoded so the target stays one word (also in a style definition).
    if (c == ' ') {
      out += "%20";
      continue;
    }
    out += static_cast<char>(c);
  }
  if (out.size() > kMaxLinkBytes) return {};
  const std::size_t colon = out.find(':');
  if (colon == std::string::npos) return {};
  std::string scheme = out.substr(0, colon);
  for (char& ch : scheme) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (scheme != "http" && scheme != "https" && scheme != "mailto" && scheme != "file") return {};
  return out;
}

std::uint32_t intern_link(std::string_view url) {
  const std::string clean = clean_link(url);
  if (clean.empty()) return 0;
  LinkTable& t = links();
  std::lock_guard lock(t.mutex);
  if (auto it = t.ids.find(clean); it != t.ids.end()) return it->second;
  if (t.targets.size() >= kMaxLinks) return 0;
  t.targets.push_back(clean);
  const auto id = static_cast<std::uint32_t>(t.targets.size() - 1);
  t.ids.emplace(t.targets.back(), id);
  return id;
}

std::string_view link_target(std::uint32_t id) {
  if (id == 0) return {};
  LinkTable& t = links();
  std::lock_guard lock(t.mutex);
  return id < t.targets.size() ? std::string_view(t.targets[id]) : std::string_view();
}

std::string_view Style::link() const {
  return link_target(link_);
}

Style Style::with_link(std::string_view url) const {
  return with_link_id(intern_link(url));
}

}  // namespace orvo::tui
