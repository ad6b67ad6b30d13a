// Cell geometry shared by the terminal layer and the widgets: sizes, offsets and rectangles, all in
// terminal cells with (0, 0) at the top-left corner.
#pragma once

#include <algorithm>

namespace orvo::tui {

struct Size {
  int width = 0;
  int height = 0;
  bool operator==(const Size&) const = default;
};

struct Offset {
  int x = 0;
  int y = 0;
  bool operator==(const Offset&) const = default;
};

// A rectangle of cells; empty when width or height is not positive.
struct Region {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool operator==(const Region&) const = default;
  bool empty() const { return width <= 0 || height <= 0; }
  int right() const { return x + width; }    // one past the last column
  int bottom() const { return y + height; }  // one past the last row
  bool contains(int cx, int cy) const {
    return cx >= x && cx < x + width && cy >= y && cy < y + height;
  }
  // The overlap of two regions (empty when they do not overlap).
  Region intersect(const Region& o) const {
    const int l = std::max(x, o.x), t = std::max(y, o.y);
    const int r = std::min(right(), o.right()), b = std::min(bottom(), o.bottom());
    if (r <= l || b <= t) return Region{l, t, 0, 0};
    return Region{l, t, r - l, b - t};
  }
};

}  // namespace orvo::tui
