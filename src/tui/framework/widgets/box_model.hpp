// The box model: what border, padding and the vertical scrollbar take around a widget's content.
//
// From the outer edge inwards: the border (one cell each side when set), the vertical scrollbar
// (at the right, inside the border), the padding, then the content area that render_line fills.
// A stylesheet's width and height are of the outer box. Auto sizing, layout and painting all
// take these numbers from here, so a box sized by its content has room for exactly that content.
#pragma once

#include <algorithm>

#include "tui/framework/term/geometry.hpp"
#include "tui/framework/widgets/css.hpp"
#include "tui/framework/widgets/widget.hpp"

namespace orvo::tui::box_model {

// Cells the border takes on each side: 1, or 0 without a border.
inline int border(const Styles& s) {
  return s.border && s.border->kind != BorderKind::None ? 1 : 0;
}

inline Spacing padding(const Styles& s) {
  return s.padding.value_or(Spacing{});
}

// Width of the vertical scrollbar whenever it is shown.
inline int scrollbar_width(const Styles& s) {
  return std::max(0, s.scrollbar_size_v.value_or(1));
}

// Width of a scrollbar shown whatever the content (overflow-y: scroll), else 0. One shown only
// when the content overflows is not counted: sizing to the content means it does not overflow.
inline int fixed_scrollbar_width(const Styles& s) {
  return s.overflow_y == OverflowMode::Scroll ? scrollbar_width(s) : 0;
}

// What the box adds to its content across and down.
inline int chrome_width(const Styles& s) {
  return 2 * border(s) + padding(s).horizontal() + fixed_scrollbar_width(s);
}
inline int chrome_height(const Styles& s) {
  return 2 * border(s) + padding(s).vertical();
}

inline int outer_width(const Styles& s, int content) {
  return content + chrome_width(s);
}
inline int outer_height(const Styles& s, int content) {
  return content + chrome_height(s);
}
inline int content_width(const Styles& s, int outer) {
  return std::max(0, outer - chrome_width(s));
}
inline int content_height(const Styles& s, int outer) {
  return std::max(0, outer - chrome_height(s));
}

// The area inside the border of a box placed at `outer`.
inline Region inside_border(const Styles& s, const Region& outer) {
  const int b = border(s);
  return Region{outer.x + b, outer.y + b, std::max(0, outer.width - 2 * b),
                std::max(0, outer.height - 2 * b)};
}

// The area inside the padding of `r`.
inline Region inside_padding(const Styles& s, const Region& r) {
  const Spacing p = padding(s);
  return Region{r.x + p.left, r.y + p.top, std::max(0, r.width - p.horizontal()),
                std::max(0, r.height - p.vertical())};
}

// Outer size of a widget sized by its content: width: auto, and height: auto at outer `width`.
inline int auto_width(Widget& w) {
  return outer_width(w.styles(), w.content_width());
}
inline int auto_height(Widget& w, int width) {
  const Styles& s = w.styles();
  return outer_height(s, w.content_height(content_width(s, width)));
}

}  // namespace orvo::tui::box_model
