// Colours and styles of the styled-text layer.
//
//   Color        one colour: the terminal default, one of the 16 standard colours, one of the 256
//                palette colours or a 24-bit RGB value. Color::parse("red" | "bright_cyan" |
//                "default" | "#5f87ff" | "color(208)" | "rgb(1,2,3)").
//   ColorSystem  what a terminal can show: None, Standard (16), EightBit (256), TrueColor, or
//                Monochrome (attributes only).
//                Color::downgrade picks the nearest colour a smaller system has.
//   Style        three-state attributes (bold, dim, italic, underline, blink, reverse, strike: each
//                unset, on or off) plus optional foreground and background colours.
//                Style::parse("bold #5f87ff on #2a2a2a") parses a definition (cached, cheap when
//                repeated); a bad one throws StyleSyntaxError. Style("bold red") does the same.
//                a + b overlays b on a: what b sets wins, what b leaves unset is inherited from a.
//                Style::bg(color) is a style with only a background; Style::fg(color) likewise.
//                render_sgr(system) gives the SGR escape ("\x1b[1;38;2;95;135;255m"), or "" for an
//                empty style or ColorSystem::None.
//                A style may carry a hyperlink target (with_link, "link URL" in a definition),
//                which terminals show as OSC 8 hyperlinks. Targets are untrusted: only http,
//                https, mailto and file URLs are kept, control characters removed; anything
//                else gives no link.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orvo::tui {

// A style or colour definition that cannot be parsed.
class StyleSyntaxError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Monochrome: attributes (bold, dim, italic, underline, reverse, ...) but no colours, as wanted
// under NO_COLOR on a terminal.
enum class ColorSystem : std::uint8_t { None, Standard, EightBit, TrueColor, Monochrome };

// "truecolor" | "256" | "standard" | "none" (also "24bit", "8bit", "16"); throws StyleSyntaxError.
ColorSystem parse_color_system(std::string_view name);

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

class Color {
 public:
  enum class Type : std::uint8_t { Default, Standard, EightBit, TrueColor };

  constexpr Color() = default;  // the terminal's default colour
  static constexpr Color standard(int n) { return Color(Type::Standard, n & 15, {}); }
  static constexpr Color eight_bit(int n) { return Color(Type::EightBit, n & 255, {}); }
  static constexpr Color rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return Color(Type::TrueColor, 0, {r, g, b});
  }
  // Throws StyleSyntaxError for anything that is not a colour.
  static Color parse(std::string_view name);
  static std::optional<Color> try_parse(std::string_view name) noexcept;

  Type type() const { return type_; }
  bool is_default() const { return type_ == Type::Default; }
  // Palette index for Standard (0..15) and EightBit (0..255) colours, 0 otherwise.
  int number() const { return number_; }
  // The RGB value (palette colours through the usual xterm palette; default is black).
  Rgb triplet() const;
  // The nearest colour `system` can show (unchanged when it can show this one).
  Color downgrade(ColorSystem system) const;
  // Appends the SGR parameters ("31", "38;5;208", "48;2;1;2;3", "39") for this colour as it is.
  void append_sgr_params(bool background, std::string& out) const;
  // A definition Color::parse accepts back ("red", "#5f87ff", "color(208)", "default").
  std::string name() const;

  friend bool operator==(const Color&, const Color&) = default;

 private:
  constexpr Color(Type t, int n, Rgb c)
      : type_(t), number_(static_cast<std::uint8_t>(n)), rgb_(c) {}
  Type type_ = Type::Default;
  std::uint8_t number_ = 0;
  Rgb rgb_{};
};

class Style {
 public:
  // Attribute bits.
  enum Attr : std::uint16_t {
    Bold = 1 << 0,
    Dim = 1 << 1,
    Italic = 1 << 2,
    Underline = 1 << 3,
    Blink = 1 << 4,
    Reverse = 1 << 5,
    Strike = 1 << 6,
  };

  constexpr Style() = default;
  // Parses a definition; throws StyleSyntaxError. Implicit so strings can be passed as styles.
  Style(std::string_view definition);  // NOLINT(google-explicit-constructor)
  Style(const char* definition) : Style(std::string_view(definition)) {}         // NOLINT
  Style(const std::string& definition) : Style(std::string_view(definition)) {}  // NOLINT

  // Cached parse of a definition; throws StyleSyntaxError.
  static Style parse(std::string_view definition);
  static std::optional<Style> try_parse(std::string_view definition) noexcept;

  static Style fg(Color c) {
    Style s;
    s.fg_ = c;
    s.has_fg_ = true;
    return s;
  }
  static Style bg(Color c) {
    Style s;
    s.bg_ = c;
    s.has_bg_ = true;
    return s;
  }
  static Style attrs(std::uint16_t on, std::uint16_t off = 0) {
    Style s;
    s.set_ = on | off;
    s.on_ = on;
    return s;
  }

  std::optional<Color> color() const { return has_fg_ ? std::optional<Color>(fg_) : std::nullopt; }
  std::optional<Color> bgcolor() const {
    return has_bg_ ? std::optional<Color>(bg_) : std::nullopt;
  }
  // State of one attribute: nullopt when unset.
  std::optional<bool> get(Attr a) const {
    return (set_ & a) ? std::optional<bool>((on_ & a) != 0) : std::nullopt;
  }
  bool is(Attr a) const { return (on_ & a) != 0; }  // set and on
  bool bold() const { return is(Bold); }
  bool dim() const { return is(Dim); }
  bool italic() const { return is(Italic); }
  bool underline() const { return is(Underline); }
  bool reverse() const { return is(Reverse); }
  bool strike() const { return is(Strike); }
  std::uint16_t set_mask() const { return set_; }
  std::uint16_t on_mask() const { return on_; }

  // The hyperlink target ("" for none) and its interned id (0 for none).
  std::string_view link() const;
  std::uint32_t link_id() const { return link_; }
  // A copy carrying `url` as its hyperlink (cleaned; a refused target gives no link).
  Style with_link(std::string_view url) const;
  Style with_link_id(std::uint32_t id) const {
    Style s = *this;
    s.link_ = id;
    return s;
  }

  // Copies with one thing changed.
  Style with(Attr a, bool on) const {
    Style s = *this;
    s.set_ |= a;
    s.on_ = on ? static_cast<std::uint16_t>(s.on_ | a) : static_cast<std::uint16_t>(s.on_ & ~a);
    return s;
  }
  Style without(Attr a) const {  // back to unset
    Style s = *this;
    s.set_ &= static_cast<std::uint16_t>(~a);
    s.on_ &= static_cast<std::uint16_t>(~a);
    return s;
  }
  Style with_color(std::optional<Color> c) const {
    Style s = *this;
    s.has_fg_ = c.has_value();
    s.fg_ = c.value_or(Color());
    return s;
  }
  Style with_bgcolor(std::optional<Color> c) const {
    Style s = *this;
    s.has_bg_ = c.has_value();
    s.bg_ = c.value_or(Color());
    return s;
  }

  bool empty() const { return set_ == 0 && !has_fg_ && !has_bg_ && link_ == 0; }
  // `over` laid on top of this style: what `over` sets wins.
  Style operator+(const Style& over) const;
  Style& operator+=(const Style& over) { return *this = *this + over; }

  // The SGR escape sequence for this style on `system` ("" when there is nothing to set).
  // Attributes explicitly off produce nothing: a row starts from a reset, so off is the default.
  std::string render_sgr(ColorSystem system) const;
  void append_sgr(ColorSystem system, std::string& out) const;
  // A definition that parses back to this style ("bold not italic #ff0000 on blue"; "none" if
  // empty).
  std::string to_string() const;

  friend bool operator==(const Style&, const Style&) = default;
  std::size_t hash() const noexcept;

 private:
  Color fg_{};
  Color bg_{};
  bool has_fg_ = false;
  bool has_bg_ = false;
  std::uint16_t set_ = 0;   // attributes that are set
  std::uint16_t on_ = 0;    // of those, the ones that are on (subset of set_)
  std::uint32_t link_ = 0;  // interned hyperlink target; 0: none
};

// A hyperlink target fit for a terminal: `url` without control characters (C0, DEL, C1), or ""
// when its scheme is not http, https, mailto or file, or it is longer than 4 KB.
std::string clean_link(std::string_view url);
// Interns a target (cleaned first): the same target always gives the same id; 0 for a refused
// target, or once the table holds too many (a style then carries no link).
std::uint32_t intern_link(std::string_view url);
// The target of an id from intern_link ("" for 0 or an unknown id).
std::string_view link_target(std::uint32_t id);

}  // namespace orvo::tui

template <>
struct std::hash<orvo::tui::Style> {
  std::size_t operator()(const orvo::tui::Style& s) const noexcept { return s.hash(); }
};
