// Layout of a widget tree (used by App; exposed for tests and benchmarks).
//
// Box model: width and height include border and padding. A vertical scrollbar sits inside the
// border at the right edge, outside the padding. Docked children are placed first (top, bottom,
// left, right in their order) and shrink the area the other children share; the rest are
// stacked by the layout (vertical or horizontal). Along the stacking axis: cells are exact, a
// percentage is of the container, auto is the content plus border and padding, and fractions
// share what is left. Across it: unset or fractions fill the container, a width of cells or
// auto is placed by align. A group smaller than the container is aligned as a whole along the
// stacking axis.
#pragma once

#include <vector>

#include "tui/framework/term/geometry.hpp"
#include "tui/framework/widgets/widget.hpp"

namespace orvo::tui {

struct LayoutEngine {
  // Lays out `w` and its subtree in `outer`; appends widgets whose content size changed.
  static void arrange(Widget& w, Region outer, std::vector<Widget*>& resized);

 private:
  static void arrange_children(Widget& w, std::vector<Widget*>& resized);
};

}  // namespace orvo::tui
