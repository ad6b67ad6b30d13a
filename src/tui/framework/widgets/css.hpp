// Stylesheets for widgets: a small CSS subset (type, #id, .class and descendant selectors) and the
// computed style values the layout engine and the renderer read.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "tui/framework/text/style.hpp"
#include "tui/framework/text/theme_kind.hpp"

namespace orvo::tui {

// Raised for CSS that cannot be parsed; the message names the origin and the line.
class CssError : public std::runtime_error {
 public:
  CssError(const std::string& what, int line) : std::runtime_error(what), line_(line) {}
  int line() const noexcept { return line_; }

 private:
  int line_;
};

// A length: cells, a fraction of the remaining space, a percentage of the container, or auto.
struct Scalar {
  enum class Unit { Cells, Fraction, Percent, Auto };
  Unit unit = Unit::Cells;
  double value = 0;

  static Scalar cells(int n) { return {Unit::Cells, static_cast<double>(n)}; }
  static Scalar fr(double n) { return {Unit::Fraction, n}; }
  static Scalar percent(double n) { return {Unit::Percent, n}; }
  static Scalar automatic() { return {Unit::Auto, 0}; }
  bool operator==(const Scalar&) const = default;
};

struct Spacing {
  int top = 0, right = 0, bottom = 0, left = 0;
  int horizontal() const { return left + right; }
  int vertical() const { return top + bottom; }
  bool operator==(const Spacing&) const = default;
};

enum class Layout { Vertical, Horizontal };
enum class Dock { None, Top, Bottom, Left, Right };
enum class OverflowMode { Auto, Hidden, Scroll };
enum class AlignH { Left, Center, Right };
enum class AlignV { Top, Middle, Bottom };
enum class BorderKind { None, Round, Solid, Heavy, Double, Ascii };
enum class Display { Block, None };

struct Border {
  BorderKind kind = BorderKind::None;
  std::optional<Color> color;  // unset: the widget's text colour
  bool operator==(const Border&) const = default;
};

// Style values of one rule or of a widget. Every field is three-state: unset (nullopt) lets a
// less specific rule or the default show through.
struct Styles {
  std::optional<Display> display;
  std::optional<Layout> layout;
  std::optional<Dock> dock;
  std::optional<Scalar> width, height;
  std::optional<Spacing> padding;
  std::optional<AlignH> align_h;
  std::optional<AlignV> align_v;
  // Parsed with the stylesheet, so that painting never parses; unset colours are inherited.
  std::optional<Color> color, background;
  std::optional<Border> border;
  std::optional<OverflowMode> overflow_x, overflow_y;
  std::optional<int> scrollbar_size_h;  // height of a horizontal scrollbar
  std::optional<int> scrollbar_size_v;  // width of a vertical scrollbar

  // Copies every field that `over` sets.
  void merge(const Styles& over);
};

// Named colours for `$name` references in stylesheets: each value is a colour of the stylesheet
// syntax (#rgb, #rrggbb or a name), checked where a rule uses it.
using Palette = std::map<std::string, std::string, std::less<>>;

// The default dark palette: background, surface, panel, primary, secondary, accent, foreground,
// text, text-muted, error, warning, success, boost, and the interface's own brand (marks and
// borders), status (the status row) and hint (key legends).
const Palette& default_palette();
// The same names for `kind`: default_palette() for dark, dark text on white for light.
const Palette& palette_for(ThemeKind kind);

// One simple selector: optional type, optional id, classes. Empty type and id = any widget.
struct CompoundSelector {
  std::string type;  // "" or "*" = any
  std::string id;
  std::vector<std::string> classes;
};

// A descendant chain, rightmost last: "A #b" = [A, #b].
struct Selector {
  std::vector<CompoundSelector> parts;
  // (ids, classes, types), compared lexicographically.
  std::tuple<int, int, int> specificity() const;
};

struct Rule {
  std::vector<Selector> selectors;
  Styles styles;
  int line = 0;
};

// What a selector is matched against: the widget's id, classes and type names (its own class
// first, then its bases), and its parent.
struct Selectable {
  virtual ~Selectable() = default;
  virtual const std::string& css_id() const = 0;
  virtual const std::vector<std::string>& css_types() const = 0;
  virtual const std::vector<std::string>& css_classes() const = 0;
  virtual const Selectable* css_parent() const = 0;
};

bool matches(const Selector& selector, const Selectable& node);

// The merged styles of every rule in `rules` that matches `node`: least specific first, source
// order breaking ties.
Styles cascade(const std::vector<Rule>& rules, const Selectable& node);

class Stylesheet {
 public:
  // Parses `css` and appends its rules. `origin` names the source in error messages (e.g. the
  // widget class). Colour variables are resolved against `palette` while parsing.
  // Throws CssError naming the origin and line; unknown properties are ignored.
  void add(std::string_view css, std::string_view origin = "<css>",
           const Palette& palette = default_palette());

  // The merged styles of every matching rule, least specific first, source order breaking ties.
  Styles compute(const Selectable& node) const;

  const std::vector<Rule>& rules() const { return rules_; }

 private:
  std::vector<Rule> rules_;
};

// Parses a stylesheet into rules (what Stylesheet::add does, without keeping them).
std::vector<Rule> parse_css(std::string_view css, std::string_view origin = "<css>",
                            const Palette& palette = default_palette());

}  // namespace orvo::tui
