// Themes and the Console that turns renderables into ANSI text.
//
//   Theme        named styles: Theme({{"markdown.code", "#d72b6b on #2a2a2a"}, ...}) from style
//                definitions (throws StyleSyntaxError on a bad one) or from Style values.
//                Theme::default_theme() holds the layer's defaults (markdown.*, repr.*, ...).
//   Console      ConsoleOptions{width, color_system, force_terminal, out, no_color}.
//                Writes to `out` when given, else to an internal buffer (buffer(), take_buffer(),
//                export_text() for the text without escapes).
//                No SGR at all when the output is not a terminal and force_terminal is false.
//                With NO_COLOR set in the environment (or no_color) on a terminal, colours are
//                dropped and attributes kept (ColorSystem::Monochrome).
//                Otherwise color_system is the given one, or detected from COLORTERM/TERM.
//                push_theme/pop_theme stack themes over the default theme; get_style(name or
//                definition) resolves theme names first, then parses (throws StyleSyntaxError).
//                print(renderable) renders at width() and writes each row followed by "\n";
//                styled segments are reset at their end so every row ends in the default state.
#pragma once

#include <initializer_list>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tui/framework/text/renderable.hpp"
#include "tui/framework/text/segment.hpp"
#include "tui/framework/text/style.hpp"
#include "tui/framework/text/text.hpp"

namespace orvo::tui {

class Theme {
 public:
  Theme() = default;
  // From definitions; throws StyleSyntaxError naming the bad entry.
  Theme(std::initializer_list<std::pair<const std::string, std::string>> defs);
  explicit Theme(const std::map<std::string, std::string>& defs);
  explicit Theme(const std::map<std::string, Style>& styles)
      : styles_(styles.begin(), styles.end()) {}

  // The style named `name`, or nullptr.
  const Style* get(std::string_view name) const;
  void set(std::string name, Style style) { styles_.insert_or_assign(std::move(name), style); }
  const std::map<std::string, Style, std::less<>>& styles() const { return styles_; }

  // The layer's default named styles.
  static const Theme& default_theme();

 private:
  std::map<std::string, Style, std::less<>> styles_;
};

struct ConsoleOptions {
  int width = 80;                           // < 1: the terminal's width, $COLUMNS, or 80
  std::optional<ColorSystem> color_system;  // nullopt: detect from the environment
  bool force_terminal = false;              // treat the output as a terminal
  std::ostream* out = nullptr;              // nullptr: an internal buffer
  std::optional<bool> no_color;             // nullopt: NO_COLOR from the environment
  // OSC 8 hyperlinks in the output; nullopt: on for a terminal known to show them
  // (terminal_shows_hyperlinks()).
  std::optional<bool> hyperlinks;
};

// Whether the terminal we run in is known to show OSC 8 hyperlinks (KV_HYPERLINKS=0/1 decides
// when set). Others may print the sequence's bytes, so unknown terminals get none.
bool terminal_shows_hyperlinks();

class Console {
 public:
  explicit Console(ConsoleOptions options = {});
  Console(std::ostream& out, int width, ColorSystem system, bool force_terminal = true);

  int width() const { return width_; }
  void set_width(int width) { width_ = width < 1 ? 1 : width; }
  // The colour system actually used (None when colour is off).
  ColorSystem color_system() const { return color_system_; }
  bool is_terminal() const { return is_terminal_; }
  // Whether rendered text carries hyperlinks (OSC 8).
  bool hyperlinks() const { return hyperlinks_; }

  void push_theme(const Theme& theme, bool inherit = true);
  void pop_theme();  // no effect on the base theme
  // A theme name (latest pushed theme first) or else a style definition; throws
  // StyleSyntaxError when it is neither.
  Style get_style(std::string_view name_or_definition) const;
  // As get_style, with `fallback` instead of an exception.
  Style get_style(std::string_view name_or_definition, const Style& fallback) const;
  // The merged theme currently in effect (for markup tag lookup).
  const Theme& theme() const { return themes_.back(); }

  // Rows of `r` at `width` (default: the console's width).
  std::vector<Strip> render_lines(const Renderable& r, int width = -1) const;
  // ANSI text of `r`: each row followed by "\n".
  std::string render(const Renderable& r, int width = -1) const;
  // Appends one row as ANSI text (no line break).
  void render_strip(const Strip& strip, std::string& out) const;

  // Renders `r` and writes it to the output.
  void print(const Renderable& r);
  // Console markup, rendered as Text at the console's width.
  void print(std::string_view markup);
  // Writes text as it is.
  void write(std::string_view raw);

  // The internal buffer (only used when no stream was given).
  const std::string& buffer() const { return buffer_; }
  std::string take_buffer() { return std::exchange(buffer_, std::string()); }
  // The buffer with every escape sequence removed.
  std::string export_text() const;

 private:
  int width_ = 80;
  ColorSystem color_system_ = ColorSystem::None;
  bool is_terminal_ = false;
  bool hyperlinks_ = false;
  std::ostream* out_ = nullptr;
  std::string buffer_;
  std::vector<Theme> themes_;  // merged themes; front is the default theme
};

}  // namespace orvo::tui
