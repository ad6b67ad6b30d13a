// Turns frames into the fewest bytes that update the terminal.
//
// The frame differ keeps two cell buffers: the frame being drawn (frame()) and the frame the
// terminal shows. render() compares them and writes only the cells that changed: a cursor move
// (CUP) only where the next changed cell is not where the cursor already is, and SGR changes
// only where the style differs from the previous cell written. The frame being drawn keeps its
// content after render(), so a caller may redraw only what changed or everything each time.
//
//   FrameDiffer comp({80, 24});
//   comp.frame().draw_text(0, 0, "hello", style);
//   driver.write_frame(comp.render());   // one write per frame
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tui/framework/term/cell_buffer.hpp"

namespace orvo::tui {

class FrameDiffer {
 public:
  explicit FrameDiffer(Size size = {});

  Size size() const { return frame_.size(); }
  // A new screen size: the frame is cleared and the next render() repaints everything.
  void resize(Size size);
  // The terminal's content is unknown (after a suspend, say): the next render() clears the
  // screen and repaints every cell.
  void invalidate();

  // The frame to draw into.
  CellBuffer& frame() { return frame_; }
  const CellBuffer& frame() const { return frame_; }
  // What the terminal shows after the last render().
  const CellBuffer& shown() const { return shown_; }

  // The bytes that bring the terminal from the shown frame to frame(); "" when nothing changed.
  // Afterwards the shown frame equals frame(). The bytes end in the default style.
  std::string render();
  // As render(), appending to `out`; returns the number of cells written.
  int render(std::string& out);

  // Whether cells carrying a link are written as OSC 8 hyperlinks (off: their text only).
  void set_hyperlinks(bool on) { hyperlinks_ = on; }
  bool hyperlinks() const { return hyperlinks_; }
  // Whether colours are written (off for NO_COLOR: bold, dim, italic, underline and reverse
  // stay). A change repaints everything on the next render().
  void set_colors(bool on) {
    if (on != colors_) full_ = true;
    colors_ = on;
  }
  bool colors() const { return colors_; }
  // Whether a frame whose rows moved up (a log that scrolled) scrolls the terminal's rows
  // (a scroll region and SU) instead of writing every moved row again. Off by default: it writes
  // about a fifth of the bytes for a log that follows a stream, but finding the shift costs the
  // UI thread more time than the bytes it saves.
  void set_scroll(bool on) { scroll_ = on; }

 private:
  // Scrolls the band of changed rows when that saves rewriting rows, and moves the shown rows
  // the same way.
  void scroll(std::string& out);
  CellBuffer frame_;
  CellBuffer shown_;
  bool full_ = true;  // next render clears the screen first
  bool hyperlinks_ = false;
  bool colors_ = true;
  bool scroll_ = false;
  std::vector<std::uint8_t> same_;  // per row of the band: unchanged (kept for reuse)
};

}  // namespace orvo::tui
