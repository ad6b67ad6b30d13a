// A small terminal emulator for tests: interprets the sequences the frame differ and the drivers
// write (text, CR, LF, BS, cursor moves, erase, SGR, private modes) into a cell grid, from which
// screenshots are taken. Other sequences are skipped.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "tui/framework/term/cell_buffer.hpp"

namespace orvo::tui {

class VirtualTerminal {
 public:
  explicit VirtualTerminal(Size size = {80, 24});

  Size size() const { return screen_.size(); }
  // A new size; the content is cleared (the application repaints after a resize).
  void resize(Size size);

  // Interprets terminal output.
  void feed(std::string_view bytes);

  const CellBuffer& screen() const { return screen_; }
  // Rows joined by "\n"; with `trim` the trailing spaces of each row are removed.
  std::string screenshot(bool trim = true) const { return screen_.plain_text(trim); }
  std::string screenshot_ansi() const { return screen_.ansi_text(); }

  Offset cursor() const { return Offset{x_, y_}; }
  // True while private mode `mode` (e.g. 1049, 25) is set by DECSET; cursor (25) starts set.
  bool mode(int mode) const { return modes_.count(mode) != 0; }

 private:
  void flush_text();
  void print(std::string_view grapheme, int width);
  void line_feed();
  // Moves the rows of the scroll region up by `n`, blank rows coming in at its bottom.
  void scroll_up(int n);
  int bottom() const { return bottom_ < 0 ? screen_.height() - 1 : bottom_; }
  void control(unsigned char b);
  void csi(char final_byte);
  void sgr();

  enum class State { Ground, Esc, Csi, String, StringEsc };
  State state_ = State::Ground;
  std::string params_;
  std::string text_;  // printable text not yet laid out (graphemes may span feeds)
  CellBuffer screen_;
  CellStyle style_;
  int x_ = 0, y_ = 0;
  bool wrap_pending_ = false;
  int top_ = 0, bottom_ = -1;  // the scroll region's rows; bottom -1: the last row
  std::set<int> modes_{25};
};

}  // namespace orvo::tui
