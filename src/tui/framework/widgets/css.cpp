#include "tui/framework/widgets/css.hpp"

#include <cctype>
#include <charconv>

namespace orvo::tui {

void Styles::merge(const Styles& o) {
  auto take = [](auto& dst, const auto& src) {
    if (src) dst = src;
  };
  take(display, o.display);
  take(layout, o.layout);
  take(dock, o.dock);
  take(width, o.width);
  take(height, o.height);
  take(padding, o.padding);
  take(align_h, o.align_h);
  take(align_v, o.align_v);
  take(color, o.color);
  take(background, o.background);
  take(border, o.border);
  take(overflow_x, o.overflow_x);
  take(overflow_y, o.overflow_y);
  take(scrollbar_size_h, o.scrollbar_size_h);
  take(scrollbar_size_v, o.scrollbar_size_v);
}

const Palette& default_palette() {
  static const Palette palette = {
      {"background", "#121212"}, {"surface", "#1e1e1e"},    {"panel", "#262a30"},
      {"boost", "#2a2a2a"},      {"primary", "#0178d4"},    {"secondary", "#004578"},
      {"accent", "#ffa62b"},     {"foreground", "#e0e0e0"}, {"text", "#e0e0e0"},
      {"text-muted", "#9e9e9e"}, {"error", "#ba3c5b"},      {"warning", "#ffa62b"},
      {"success", "#4ebf71"},    {"brand", "#5f87ff"},      {"status", "#87af87"},
      {"hint", "#6c6c6c"},
  };
  return palette;
}

const Palette& palette_for(ThemeKind kind) {
  // Every colour keeps at least 4.5:1 against the background it is drawn on.
  static const Palette light = {
      {"background", "#ffffff"}, {"surface", "#f6f8fa"},    {"panel", "#eaeef2"},
      {"boost", "#f0f0f0"},      {"primary", "#0969da"},    {"secondary", "#0550ae"},
      {"accent", "#9a6700"},     {"foreground", "#1f2328"}, {"text", "#1f2328"},
      {"text-muted", "#59636e"}, {"error", "#cf222e"},      {"warning", "#9a6700"},
      {"success", "#1a7f37"},    {"brand", "#0969da"},      {"status", "#116329"},
      {"hint", "#59636e"},
  };
  return kind == ThemeKind::light ? light : default_palette();
}

namespace {

constexpr int kMaxCells = 100000;

bool is_ident_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

std::string printable(std::string_view s) {
  std::string out;
  for (unsigned char c : s.substr(0, 40)) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      static const char* hex = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  if (s.size() > 40) out += "...";
  return out;
}

std::vector<std::string_view> split_ws(std::string_view v) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < v.size()) {
    while (i < v.size() && std::isspace(static_cast<unsigned char>(v[i]))) ++i;
    std::size_t start = i;
    while (i < v.size() && !std::isspace(static_cast<unsigned char>(v[i]))) ++i;
    if (i > start) out.push_back(v.substr(start, i - start));
  }
  return out;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

class Parser {
 public:
  Parser(std::string_view src, std::string_view origin, const Palette& palette)
      : src_(src), origin_(origin), palette_(palette) {}

  std::vector<Rule> parse() {
    std::vector<Rule> rules;
    for (;;) {
      skip_space();
      if (pos_ >= src_.size()) break;
      rules.push_back(parse_rule());
    }
    return rules;
  }

 private:
  [[noreturn]] void fail(int line, const std::string& msg) const {
    throw CssError(std::string(origin_) + " line " + std::to_string(line) + ": " + msg, line);
  }

  void advance() {
    if (src_[pos_] == '\n') ++line_;
    ++pos_;
  }

  void skip_space() {
    while (pos_ < src_.size()) {
      char c = src_[pos_];
      if (std::isspace(static_cast<unsigned char>(c))) {
        advance();
      } else if (c == '/' && pos_ + 1 < src_.size() && src_[pos_ + 1] == '*') {
        int start = line_;
        pos_ += 2;
        for (;;) {
          if (pos_ + 1 >= src_.size()) fail(start, "unterminated comment");
          if (src_[pos_] == '*' && src_[pos_ + 1] == '/') break;
          advance();
        }
        pos_ += 2;
      } else {
        break;
      }
    }
  }

  Rule parse_rule() {
    Rule rule;
    rule.line = line_;
    rule.selectors = parse_selectors();
    // parse_selectors stops at '{'.
    int open_line = line_;
    advance();
    for (;;) {
      skip_space();
      if (pos_ >= src_.size()) fail(open_line, "unterminated rule block (missing '}')");
      char c = src_[pos_];
      if (c == '}') {
        advance();
        break;
      }
      if (c == ';') {
        advance();
        continue;
      }
      parse_declaration(rule.styles);
    }
    return rule;
  }

  std::vector<Selector> parse_selectors() {
    std::vector<Selector> out;
    Selector cur;
    int line = line_;
    bool space_before = false;
    for (;;) {
      if (pos_ >= src_.size()) fail(line, "expected '{' after selector");
      char c = src_[pos_];
      if (std::isspace(static_cast<unsigned char>(c)) ||
          (c == '/' && pos_ + 1 < src_.size() && src_[pos_ + 1] == '*')) {
        skip_space();
        space_before = true;
        continue;
      }
      if (c == '{' || c == ',') {
        if (cur.parts.empty()) fail(line_, "missing selector before '" + std::string(1, c) + "'");
        out.push_back(std::move(cur));
        cur = Selector{};
        if (c == '{') return out;
        advance();
        space_before = false;
        continue;
      }
      if (c == '}' || c == ';' || c == ':') {
        fail(line_, "unexpected '" + std::string(1, c) + "' in selector");
      }
      if (cur.parts.empty() || space_before) cur.parts.emplace_back();
      space_before = false;
      auto& comp = cur.parts.back();
      if (c == '#' || c == '.') {
        advance();
        std::string name = read_ident();
        if (name.empty()) fail(line_, std::string("expected a name after '") + c + "'");
        if (c == '#') {
          if (!comp.id.empty()) fail(line_, "two ids in one selector");
          comp.id = std::move(name);
        } else {
          comp.classes.push_back(std::move(name));
        }
      } else if (c == '*' || is_ident_char(c)) {
        if (!comp.type.empty() || !comp.id.empty() || !comp.classes.empty()) {
          fail(line_, "type name must come first in a selector");
        }
        if (c == '*') {
          advance();
          comp.type = "*";
        } else {
          comp.type = read_ident();
        }
      } else {
        fail(line_, "unexpected character '" + printable(std::string_view(&src_[pos_], 1)) +
                        "' in selector");
      }
    }
  }

  std::string read_ident() {
    std::size_t start = pos_;
    while (pos_ < src_.size() && is_ident_char(src_[pos_])) ++pos_;
    return std::string(src_.substr(start, pos_ - start));
  }

  void parse_declaration(Styles& styles) {
    int line = line_;
    std::string name = lower(read_ident());
    if (name.empty()) {
      fail(line,
           "expected a property name, found '" + printable(std::string_view(&src_[pos_], 1)) + "'");
    }
    while (pos_ < src_.size() && (src_[pos_] == ' ' || src_[pos_] == '\t')) ++pos_;
    if (pos_ >= src_.size() || src_[pos_] != ':') fail(line, "expected ':' after '" + name + "'");
    advance();
    std::size_t start = pos_;
    while (pos_ < src_.size() && src_[pos_] != ';' && src_[pos_] != '}') {
      if (src_[pos_] == '{') fail(line_, "unexpected '{' in the value of '" + name + "'");
      advance();
    }
    if (pos_ >= src_.size()) fail(line, "unterminated declaration of '" + name + "'");
    std::string_view value = src_.substr(start, pos_ - start);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front()))) {
      value.remove_prefix(1);
    }
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) {
      value.remove_suffix(1);
    }
    if (pos_ < src_.size() && src_[pos_] == ';') advance();
    apply(styles, name, value, line);
  }

  [[noreturn]] void bad_value(int line, const std::string& name, std::string_view value,
                              const char* expected) const {
    fail(line,
         "invalid value '" + printable(value) + "' for '" + name + "' (expected " + expected + ")");
  }

  std::optional<int> parse_int(std::string_view t) const {
    int v = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size() || v < 0 || v > kMaxCells) {
      return std::nullopt;
    }
    return v;
  }

  std::optional<double> parse_number(std::string_view t) const {
    // from_chars for double is not in every libstdc++; digits with one optional point suffice.
    if (t.empty() || t.size() > 12) return std::nullopt;
    double v = 0, scale = 0;
    for (char c : t) {
      if (c == '.') {
        if (scale != 0) return std::nullopt;
        scale = 1;
      } else if (c >= '0' && c <= '9') {
        v = v * 10 + (c - '0');
        if (scale != 0) scale *= 10;
      } else {
        return std::nullopt;
      }
    }
    if (t == ".") return std::nullopt;
    if (scale != 0) v /= scale;
    if (v > kMaxCells) return std::nullopt;
    return v;
  }

  std::optional<Scalar> parse_scalar(std::string_view t) const {
    if (t == "auto") return Scalar::automatic();
    if (t.size() > 2 && t.substr(t.size() - 2) == "fr") {
      auto n = parse_number(t.substr(0, t.size() - 2));
      if (!n || *n <= 0) return std::nullopt;
      return Scalar::fr(*n);
    }
    if (t.size() > 1 && t.back() == '%') {
      auto n = parse_number(t.substr(0, t.size() - 1));
      if (!n || *n > 100) return std::nullopt;
      return Scalar::percent(*n);
    }
    if (auto n = parse_int(t)) return Scalar::cells(*n);
    return std::nullopt;
  }

  // #rgb, #rrggbb or a name; nullopt for anything else.
  static std::optional<Color> parse_color_literal(std::string_view t) {
    static const char* const kNamed[] = {
        "default",     "black",        "red",           "green",       "yellow",
        "blue",        "magenta",      "cyan",          "white",       "bright_black",
        "bright_red",  "bright_green", "bright_yellow", "bright_blue", "bright_magenta",
        "bright_cyan", "bright_white", "grey",          "gray",
    };
    if (t.empty()) return std::nullopt;
    if (t[0] == '#') {
      auto hex = t.substr(1);
      if (hex.size() != 3 && hex.size() != 6) return std::nullopt;
      std::string full = "#";
      for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        full.append(hex.size() == 3 ? 2 : 1, c);
      }
      return Color::try_parse(full);
    }
    std::string l = lower(t);
    for (const char* n : kNamed) {
      if (l == n) return Color::try_parse(l);
    }
    return std::nullopt;
  }

  // A literal colour or a `$variable` of the palette. A palette entry that is no colour is an
  // error of the rule that uses it, reported with that rule's line.
  std::optional<Color> parse_color(std::string_view t, int line) const {
    if (t.empty() || t[0] != '$') return parse_color_literal(t);
    auto it = palette_.find(t.substr(1));
    if (it == palette_.end()) return std::nullopt;
    auto c = parse_color_literal(it->second);
    if (!c) {
      fail(line, "the palette's " + printable(t) + " is '" + printable(it->second) +
                     "', which is not a colour (#rgb, #rrggbb or a name)");
    }
    return c;
  }

  void apply(Styles& s, const std::string& name, std::string_view raw, int line) {
    auto toks = split_ws(raw);
    if (toks.empty()) fail(line, "missing value for '" + name + "'");
    auto one = [&](const char* expected) -> std::string_view {
      if (toks.size() != 1) bad_value(line, name, raw, expected);
      return toks[0];
    };
    auto keyword = [&](std::initializer_list<std::string_view> words, const char* expected) {
      std::string_view t = one(expected);
      int i = 0;
      for (auto w : words) {
        if (t == w) return i;
        ++i;
      }
      bad_value(line, name, raw, expected);
    };
    if (name == "display") {
      s.display = static_cast<Display>(keyword({"block", "none"}, "block or none"));
    } else if (name == "layout") {
      s.layout = static_cast<Layout>(keyword({"vertical", "horizontal"}, "vertical or horizontal"));
    } else if (name == "dock") {
      s.dock = static_cast<Dock>(
          keyword({"none", "top", "bottom", "left", "right"}, "top, bottom, left or right"));
    } else if (name == "width" || name == "height") {
      auto v = parse_scalar(one("a number of cells, Nfr, N% or auto"));
      if (!v) bad_value(line, name, raw, "a number of cells, Nfr, N% or auto");
      (name == "width" ? s.width : s.height) = *v;
    } else if (name == "padding") {
      if (toks.size() > 4) bad_value(line, name, raw, "1 to 4 numbers");
      std::vector<int> n;
      for (auto t : toks) {
        auto v = parse_int(t);
        if (!v) bad_value(line, name, raw, "1 to 4 numbers");
        n.push_back(*v);
      }
      Spacing p;
      switch (n.size()) {
        case 1:
          p = {n[0], n[0], n[0], n[0]};
          break;
        case 2:
          p = {n[0], n[1], n[0], n[1]};
          break;
        case 3:
          p = {n[0], n[1], n[2], n[1]};
          break;
        default:
          p = {n[0], n[1], n[2], n[3]};
          break;
      }
      s.padding = p;
    } else if (name == "align" || name == "align-horizontal" || name == "align-vertical") {
      static const char* kExpected = "left|center|right and top|middle|bottom";
      auto horizontal = [](std::string_view t) -> std::optional<AlignH> {
        if (t == "left") return AlignH::Left;
        if (t == "center") return AlignH::Center;
        if (t == "right") return AlignH::Right;
        return std::nullopt;
      };
      auto vertical = [](std::string_view t) -> std::optional<AlignV> {
        if (t == "top") return AlignV::Top;
        if (t == "middle") return AlignV::Middle;
        if (t == "bottom") return AlignV::Bottom;
        return std::nullopt;
      };
      std::optional<AlignH> h;
      std::optional<AlignV> v;
      if (name == "align" && toks.size() == 2) {
        h = horizontal(toks[0]);
        v = vertical(toks[1]);
        if (!h || !v) bad_value(line, name, raw, kExpected);
      } else if (name == "align-horizontal" && toks.size() == 1) {
        if (!(h = horizontal(toks[0]))) bad_value(line, name, raw, "left, center or right");
      } else if (name == "align-vertical" && toks.size() == 1) {
        if (!(v = vertical(toks[0]))) bad_value(line, name, raw, "top, middle or bottom");
      } else {
        bad_value(line, name, raw, kExpected);
      }
      if (h) s.align_h = h;
      if (v) s.align_v = v;
    } else if (name == "color" || name == "background") {
      auto c = parse_color(one("a colour: #rgb, #rrggbb, a name or $variable"), line);
      if (!c) bad_value(line, name, raw, "a colour: #rgb, #rrggbb, a name or $variable");
      (name == "color" ? s.color : s.background) = *c;
    } else if (name == "border") {
      static const char* kExpected = "none, or round|solid|heavy|double|ascii and a colour";
      if (toks.size() > 2) bad_value(line, name, raw, kExpected);
      static const std::pair<std::string_view, BorderKind> kKinds[] = {
          {"none", BorderKind::None},     {"round", BorderKind::Round},
          {"solid", BorderKind::Solid},   {"heavy", BorderKind::Heavy},
          {"double", BorderKind::Double}, {"ascii", BorderKind::Ascii},
      };
      Border b;
      bool found = false;
      for (auto& [w, k] : kKinds) {
        if (toks[0] == w) {
          b.kind = k;
          found = true;
        }
      }
      if (!found) bad_value(line, name, raw, kExpected);
      if (toks.size() == 2) {
        auto c = parse_color(toks[1], line);
        if (!c) bad_value(line, name, raw, kExpected);
        b.color = *c;
      }
      s.border = b;
    } else if (name == "overflow-x" || name == "overflow-y") {
      auto o = static_cast<OverflowMode>(
          keyword({"auto", "hidden", "scroll"}, "auto, hidden or scroll"));
      (name == "overflow-x" ? s.overflow_x : s.overflow_y) = o;
    } else if (name == "overflow") {
      if (toks.size() > 2) bad_value(line, name, raw, "auto, hidden or scroll");
      OverflowMode v[2];
      for (std::size_t i = 0; i < toks.size(); ++i) {
        if (toks[i] == "auto")
          v[i] = OverflowMode::Auto;
        else if (toks[i] == "hidden")
          v[i] = OverflowMode::Hidden;
        else if (toks[i] == "scroll")
          v[i] = OverflowMode::Scroll;
        else
          bad_value(line, name, raw, "auto, hidden or scroll");
      }
      s.overflow_x = v[0];
      s.overflow_y = toks.size() == 2 ? v[1] : v[0];
    } else if (name == "scrollbar-size") {
      if (toks.size() != 2) bad_value(line, name, raw, "two numbers: horizontal vertical");
      auto h = parse_int(toks[0]), v = parse_int(toks[1]);
      if (!h || !v || *h > 100 || *v > 100) {
        bad_value(line, name, raw, "two numbers: horizontal vertical");
      }
      s.scrollbar_size_h = *h;
      s.scrollbar_size_v = *v;
    }
    // Anything else is a property this engine does not draw; it is ignored on purpose.
  }

  std::string_view src_;
  std::string_view origin_;
  const Palette& palette_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace

std::vector<Rule> parse_css(std::string_view css, std::string_view origin, const Palette& palette) {
  return Parser(css, origin, palette).parse();
}

void Stylesheet::add(std::string_view css, std::string_view origin, const Palette& palette) {
  auto rules = parse_css(css, origin, palette);
  for (auto& r : rules) rules_.push_back(std::move(r));
}

}  // namespace orvo::tui
