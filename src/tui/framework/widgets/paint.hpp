// Painting of a laid-out widget tree (used by App; exposed for tests and benchmarks).
//
// Each widget fills its background, draws its border, asks render_line for the rows of its
// content area, draws the vertical scrollbar, then its children clipped to its content area:
// flowing children first, docked ones over them.
#pragma once

#include "tui/framework/term/cell_buffer.hpp"
#include "tui/framework/term/geometry.hpp"
#include "tui/framework/text/style.hpp"
#include "tui/framework/widgets/widget.hpp"

namespace orvo::tui {

struct Painter {
  // Draws `w` and its subtree into `buf`, clipped to `clip`.
  static void paint(CellBuffer& buf, Widget& w, Region clip);

 private:
  static void paint_border(CellBuffer& buf, Widget& w, const Region& clip, const Style& base);
  static void paint_scrollbar(CellBuffer& buf, Widget& w, const Region& clip);
};

}  // namespace orvo::tui
