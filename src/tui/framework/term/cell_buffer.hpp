// A grid of terminal cells: what one frame of the screen shows.
//
// Each cell holds one grapheme (UTF-8), its style and its display width. A wide grapheme (width
// 2) sits in its left cell; the right cell is a continuation (width 0, empty text). A wide
// grapheme is never half-overwritten: writing over either half turns the other half into a space
// in the wide grapheme's style, and a wide grapheme that does not fit before the clip edge is drawn
// as a space.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "tui/framework/term/geometry.hpp"
#include "tui/framework/text/segment.hpp"
#include "tui/framework/text/style.hpp"

namespace orvo::tui {

// A fully resolved style of one cell: the colours of the text layer (Color's default means the
// terminal's default colour) and the attributes that are on (bits of Style::Attr).
struct CellStyle {
  Color fg;
  Color bg;
  std::uint16_t attrs = 0;
  std::uint32_t link = 0;  // hyperlink (an id of intern_link); 0: none
  bool operator==(const CellStyle&) const = default;
  bool same_sgr(const CellStyle& o) const { return fg == o.fg && bg == o.bg && attrs == o.attrs; }
};

// The cell style of a text-layer style: unset colours and attributes take the terminal defaults.
CellStyle to_cell_style(const Style& style);

// Appends the SGR sequence that switches the terminal from style `from` to style `to` (nothing
// when they are equal). Uses a reset (SGR 0) when that is shorter than switching attributes off.
// Hyperlinks are not SGR: see append_hyperlink.
void append_sgr_transition(const CellStyle& from, const CellStyle& to, std::string& out);

struct Cell {
  std::string text = " ";  // one grapheme; "" in the right half of a wide grapheme
  CellStyle style;
  std::uint8_t width = 1;  // 1, 2 (left half of a wide grapheme) or 0 (its right half)
  // The frame differ compares every cell of every frame: the cheap fields first, and a
  // one-byte text (nearly every cell) without a call to memcmp.
  bool operator==(const Cell& o) const {
    if (width != o.width || !(style == o.style) || text.size() != o.text.size()) return false;
    return text.size() == 1 ? text[0] == o.text[0] : text == o.text;
  }
};

class CellBuffer {
 public:
  explicit CellBuffer(Size size = {});

  Size size() const { return size_; }
  int width() const { return size_.width; }
  int height() const { return size_.height; }
  Region region() const { return Region{0, 0, size_.width, size_.height}; }

  // New size; every cell becomes a blank of the default style.
  void resize(Size size);
  // Every cell becomes a space of `style`.
  void clear(const CellStyle& style = {});

  // x, y must lie inside the buffer (not checked).
  const Cell& at(int x, int y) const {
    return cells_[static_cast<std::size_t>(y) * size_.width + x];
  }
  const Cell* row(int y) const { return &cells_[static_cast<std::size_t>(y) * size_.width]; }

  // Writes one grapheme of display width 1 or 2 at (x, y), clipped to `clip` and the buffer.
  // Width 0 (a lone combining mark, a control) is ignored.
  void put(int x, int y, std::string_view grapheme, int width, const CellStyle& style,
           const Region& clip);
  void put(int x, int y, std::string_view grapheme, int width, const CellStyle& style) {
    put(x, y, grapheme, width, style, region());
  }

  // Writes UTF-8 text from (x, y) rightwards, grapheme by grapheme, clipped to `clip`; returns the
  // column after the text (also when clipped). Controls and invalid bytes are drawn as U+FFFD.
  // A zero-width cluster at the start of `text` (a combining mark cut off its base by a segment
  // boundary) joins the cell before it when that cell is at or right of `join_from`.
  int draw_text(int x, int y, std::string_view text, const CellStyle& style, const Region& clip,
                int join_from = std::numeric_limits<int>::max());
  int draw_text(int x, int y, std::string_view text, const CellStyle& style = {}) {
    return draw_text(x, y, text, style, region());
  }

  // Draws a strip (a row of styled segments) from (x, y), clipped to `clip`; returns the column
  // after it. Zero-width pieces at the start of a segment join the cell before them. Unset style
  // attributes of a segment take the terminal's defaults.
  int draw_strip(int x, int y, const Strip& strip, const Region& clip);
  // The same with `under` laid under each segment's style (Strip::apply_style(under, false)).
  int draw_strip(int x, int y, const Strip& strip, const Region& clip, const Style& under);
  int draw_strip(int x, int y, const Strip& strip) { return draw_strip(x, y, strip, region()); }

  // Fills `area` (clipped to the buffer) with spaces of `style`.
  void fill(const Region& area, const CellStyle& style);

  // The screen as plain text: rows joined by "\n" (no newline after the last row), each wide
  // grapheme once. With `trim` the trailing spaces of each row are removed (the row count stays).
  std::string plain_text(bool trim = true) const;
  // The screen as ANSI text: like plain_text(false) with SGR sequences; every row ends in the
  // default style (SGR 0 when the row changed it).
  std::string ansi_text() const;

 private:
  friend class FrameDiffer;
  friend class VirtualTerminal;
  // Every change goes through here, so the rows it touches are known to the frame differ.
  Cell& cell(int x, int y) {
    dirty_[static_cast<std::size_t>(y)] = 1;
    return cells_[static_cast<std::size_t>(y) * size_.width + x];
  }
  void break_wide(int x, int y);

  Size size_;
  std::vector<Cell> cells_;
  std::vector<std::uint8_t> dirty_;  // rows changed since the frame differ last looked
};

}  // namespace orvo::tui
