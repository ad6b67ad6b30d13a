// Text: a plain string with styled spans, laid out into rows of Strips.
//
//   Text t("hello", "bold");          plain text + base style
//   t.append(" world", "#5f87ff");    appends a run (its style laid over the base style)
//   t.append(other_text);             appends another Text with its spans
//   t.stylize(style, start, end);     adds a span over bytes [start, end) of plain()
//   t.no_wrap = true; t.overflow = Overflow::Ellipsis;
//   t.rich_wrap(width) / render_lines(console, width) -> std::vector<Strip>
//   Text::from_ansi(s)                SGR sequences become spans; everything else is dropped
//   Text::from_markup(s) / render_markup(s)   console markup "[bold red]x[/]"
//
// Offsets are byte offsets into plain(). plain() never holds control characters: text given to
// the constructor or append has tabs expanded to the next multiple of 8 cells, every other
// control except '\n' (and invalid UTF-8) replaced by U+FFFD. from_ansi instead interprets
// controls and drops them (see there).
//
// Layout at a width: the text is split at '\n' into lines. With no_wrap each line is one row,
// cut to the width by `overflow` (Fold still folds, Crop cuts, Ellipsis cuts and ends the row
// with "…"). Otherwise each line is wrapped greedily at spaces; the spaces at a break are
// dropped (spaces ending a line are kept as far as they fit), words longer than a row are
// folded (never splitting a grapheme cluster); with Crop or Ellipsis such a word gets a row of
// its own, cut. Rows are not padded to the width; Justify::Center/Right pad on the left. An
// empty line gives one empty row, so Text("") is one blank row.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tui/framework/text/renderable.hpp"
#include "tui/framework/text/segment.hpp"
#include "tui/framework/text/style.hpp"

namespace orvo::tui {

class Theme;

enum class Overflow : unsigned char { Fold, Crop, Ellipsis };
enum class Justify : unsigned char { Left, Center, Right };

// "fold" | "crop" | "ellipsis"; "left" | "center" | "right". Throw std::invalid_argument.
Overflow parse_overflow(std::string_view name);
Justify parse_justify(std::string_view name);

// A style over bytes [start, end) of a Text's plain string.
struct Span {
  std::size_t start = 0;
  std::size_t end = 0;
  Style style;
  friend bool operator==(const Span&, const Span&) = default;
};

class Text : public Renderable {
 public:
  Text() = default;
  explicit Text(std::string_view text, Style style = {});
  Text(std::string_view text, Style style, bool no_wrap_, Overflow overflow_ = Overflow::Fold);

  // Parses ANSI text. SGR: reset (0 / empty), bold 1, dim 2, italic 3, underline 4 (and 21),
  // blink 5/6, reverse 7, strike 9, resets 22 23 24 25 27 29, colours 30-37 90-97 38;5;n
  // 38;2;r;g;b 39, backgrounds 40-47 100-107 48;5;n 48;2;r;g;b 49 (also with ':' separators).
  // Any other CSI, OSC (BEL or ST terminated), DCS/SOS/PM/APC strings, two-byte escapes, lone
  // ESC, C1 controls and other C0 controls are dropped; an unterminated string sequence ends at
  // the next line break. "\r\n" is a line break; a lone CR
  // discards what came before it on the line once more text follows (a progress bar keeps
  // its final state). Tabs expand to the next multiple of 8 cells. Invalid UTF-8 -> U+FFFD.
  static Text from_ansi(std::string_view ansi, Style base = {});

  // Console markup: "[bold red]x[/]", "[dim]x[/dim]", "[/]" closes the latest open tag,
  // "[/name]" the latest tag with that definition, "\[" is a literal "[", "\\[" a literal
  // backslash before a tag. A tag is a style definition, or a theme name when `theme` is given.
  // Anything that does not parse (unknown style, stray closing tag, unterminated "[") stays in
  // the text literally; tags left open at the end just run to the end. Never throws.
  static Text from_markup(std::string_view markup, Style base = {}, const Theme* theme = nullptr);

  const std::string& plain() const { return plain_; }
  const std::vector<Span>& spans() const { return spans_; }
  const Style& style() const { return style_; }
  void set_style(Style s) { style_ = s; }
  bool empty() const { return plain_.empty(); }
  // Display cells of the whole plain text (as one line).
  int cell_len() const;

  Text& append(std::string_view text, Style style = {});
  Text& append(const Text& other);
  // Adds a span over bytes [start, end) (clamped); later spans win over earlier ones.
  Text& stylize(Style style, std::size_t start = 0, std::size_t end = std::string::npos);
  // Removes trailing whitespace (and the spans over it).
  Text& rstrip();

  // The text split at '\n' (the newline itself belongs to no line).
  std::vector<Text> split_lines() const;

  // The whole text as one row of segments (newlines kept as they are; use on one line).
  Strip to_strip() const;
  // Rows at `width` cells (see the header comment): rich-text wrapping with styles, by terminal
  // cells; textwrap_wrap (textwrap.hpp) is the plain-string kind. width < 1 counts as 1.
  std::vector<Strip> rich_wrap(int width) const;
  std::vector<Strip> render_lines(const Console& console, int width) const override;
  std::unique_ptr<Renderable> clone() const override { return std::make_unique<Text>(*this); }

  bool no_wrap = false;
  Overflow overflow = Overflow::Fold;
  Justify justify = Justify::Left;

  friend bool operator==(const Text& a, const Text& b) {
    return a.plain_ == b.plain_ && a.spans_ == b.spans_ && a.style_ == b.style_;
  }

 private:
  friend class AnsiParser;
  friend class MarkupParser;
  std::string plain_;
  std::vector<Span> spans_;
  Style style_;
};

// Same as Text::from_markup.
Text render_markup(std::string_view markup, Style base = {}, const Theme* theme = nullptr);
// `text` with every "[" that could start a tag escaped, so from_markup shows it literally.
std::string escape_markup(std::string_view text);

}  // namespace orvo::tui
