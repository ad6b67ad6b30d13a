#include "tui/framework/widgets/layout.hpp"

#include <algorithm>
#include <cmath>

#include "tui/framework/widgets/box_model.hpp"

namespace orvo::tui {

namespace {

using box_model::auto_height;
using box_model::auto_width;

int percent(int total, double p) {
  return static_cast<int>(std::floor(total * p / 100.0));
}

// Size across the stacking axis: unset and fractions fill; cells, percentages and auto are
// clamped to the space there is.
int cross_size(const std::optional<Scalar>& v, int avail, int auto_value) {
  if (!v) return avail;
  switch (v->unit) {
    case Scalar::Unit::Cells:
      return std::min(avail, static_cast<int>(v->value));
    case Scalar::Unit::Percent:
      return std::min(avail, percent(avail, v->value));
    case Scalar::Unit::Auto:
      return std::min(avail, auto_value);
    case Scalar::Unit::Fraction:
      return avail;
  }
  return avail;
}

// Splits `space` among fractions so that the parts add up exactly.
std::vector<int> share(int space, const std::vector<double>& fr) {
  double total = 0;
  for (double f : fr) total += f;
  std::vector<int> out;
  double acc = 0;
  int prev = 0;
  for (double f : fr) {
    acc += f;
    int end = total > 0 ? static_cast<int>(std::lround(space * acc / total)) : 0;
    out.push_back(end - prev);
    prev = end;
  }
  return out;
}

}  // namespace

void LayoutEngine::arrange(Widget& w, Region outer, std::vector<Widget*>& resized) {
  outer.width = std::max(0, outer.width);
  outer.height = std::max(0, outer.height);
  w.region_ = outer;
  const Styles& s = w.styles_;
  Region inner = box_model::inside_border(s, outer);
  w.content_ = box_model::inside_padding(s, inner);
  w.scrollbar_ = Region{};
  const OverflowMode oy = s.overflow_y.value_or(OverflowMode::Hidden);
  const int sbw = box_model::scrollbar_width(s);
  if (oy != OverflowMode::Hidden && sbw > 0 && inner.width > sbw) {
    bool show = oy == OverflowMode::Scroll || w.virtual_height() > w.content_.height;
    if (show) {
      w.scrollbar_ = Region{inner.right() - sbw, inner.y, sbw, inner.height};
      inner.width -= sbw;
      w.content_ = box_model::inside_padding(s, inner);
    }
  }
  const int max = w.max_scroll_y();
  if (w.scroll_anim_target_ < 0) {
    w.scroll_.y = w.following_end_ ? max : std::min(w.scroll_.y, max);
  } else {
    w.scroll_.y = std::min(w.scroll_.y, max);
  }
  const Size sz = w.size();
  if (sz != w.last_size_) {
    w.last_size_ = sz;
    resized.push_back(&w);
  }
  arrange_children(w, resized);
}

void LayoutEngine::arrange_children(Widget& w, std::vector<Widget*>& resized) {
  Region area = w.content_;
  std::vector<Widget*> flow;
  for (auto& cp : w.children_) {
    Widget& c = *cp;
    const Styles& s = c.styles_;
    if (s.display == Display::None) {
      c.region_ = c.content_ = c.scrollbar_ = Region{area.x, area.y, 0, 0};
      continue;
    }
    Dock dock = s.dock.value_or(Dock::None);
    if (dock == Dock::None) {
      flow.push_back(&c);
      continue;
    }
    if (dock == Dock::Top || dock == Dock::Bottom) {
      int cw = cross_size(s.width, area.width, auto_width(c));
      int ch;
      if (!s.height || s.height->unit == Scalar::Unit::Auto) {
        ch = auto_height(c, cw);
      } else if (s.height->unit == Scalar::Unit::Cells) {
        ch = static_cast<int>(s.height->value);
      } else if (s.height->unit == Scalar::Unit::Percent) {
        ch = percent(area.height, s.height->value);
      } else {
        ch = area.height;
      }
      ch = std::clamp(ch, 0, area.height);
      int y = dock == Dock::Top ? area.y : area.bottom() - ch;
      arrange(c, Region{area.x, y, cw, ch}, resized);
      if (dock == Dock::Top) area.y += ch;
      area.height -= ch;
    } else {
      int ch = cross_size(s.height, area.height, auto_height(c, area.width));
      int cw;
      if (!s.width || s.width->unit == Scalar::Unit::Auto) {
        cw = auto_width(c);
      } else if (s.width->unit == Scalar::Unit::Cells) {
        cw = static_cast<int>(s.width->value);
      } else if (s.width->unit == Scalar::Unit::Percent) {
        cw = percent(area.width, s.width->value);
      } else {
        cw = area.width;
      }
      cw = std::clamp(cw, 0, area.width);
      int x = dock == Dock::Left ? area.x : area.right() - cw;
      arrange(c, Region{x, area.y, cw, ch}, resized);
      if (dock == Dock::Left) area.x += cw;
      area.width -= cw;
    }
  }
  if (flow.empty()) return;

  const bool horizontal = w.styles_.layout == Layout::Horizontal;
  const int main_avail = horizontal ? area.width : area.height;
  const int cross_avail = horizontal ? area.height : area.width;
  std::vector<int> main(flow.size()), cross(flow.size());
  std::vector<double> fr;
  std::vector<std::size_t> fr_index;
  int fixed = 0;
  for (std::size_t i = 0; i < flow.size(); ++i) {
    Widget& c = *flow[i];
    const Styles& s = c.styles_;
    if (horizontal) {
      cross[i] = cross_size(s.height, cross_avail, 0);
      if (s.height && s.height->unit == Scalar::Unit::Auto) {
        cross[i] = std::min(cross_avail, -1);  // resolved below, once the width is known
      }
    } else {
      cross[i] = cross_size(s.width, cross_avail, auto_width(c));
    }
    const std::optional<Scalar>& m = horizontal ? s.width : s.height;
    // Unset: auto down a column, a share across a row.
    Scalar v = m ? *m : (horizontal ? Scalar::fr(1) : Scalar::automatic());
    switch (v.unit) {
      case Scalar::Unit::Cells:
        main[i] = static_cast<int>(v.value);
        break;
      case Scalar::Unit::Percent:
        main[i] = percent(main_avail, v.value);
        break;
      case Scalar::Unit::Auto:
        main[i] = horizontal ? auto_width(c) : auto_height(c, cross[i]);
        break;
      case Scalar::Unit::Fraction:
        main[i] = 0;
        fr.push_back(v.value);
        fr_index.push_back(i);
        break;
    }
    fixed += main[i];
  }
  if (!fr.empty()) {
    auto parts = share(std::max(0, main_avail - fixed), fr);
    for (std::size_t k = 0; k < fr_index.size(); ++k) main[fr_index[k]] = parts[k];
  }
  if (horizontal) {
    for (std::size_t i = 0; i < flow.size(); ++i) {
      if (cross[i] < 0) cross[i] = std::min(cross_avail, auto_height(*flow[i], main[i]));
    }
  }
  int total = 0;
  for (int m : main) total += m;

  const AlignH ah = w.styles_.align_h.value_or(AlignH::Left);
  const AlignV av = w.styles_.align_v.value_or(AlignV::Top);
  auto offset = [](int free, int mode) {  // 0 start, 1 centre, 2 end
    if (free <= 0) return 0;
    return mode == 1 ? free / 2 : mode == 2 ? free : 0;
  };
  const int hmode = ah == AlignH::Center ? 1 : ah == AlignH::Right ? 2 : 0;
  const int vmode = av == AlignV::Middle ? 1 : av == AlignV::Bottom ? 2 : 0;
  int pos = (horizontal ? area.x : area.y) + offset(main_avail - total, horizontal ? hmode : vmode);
  for (std::size_t i = 0; i < flow.size(); ++i) {
    int c_off = offset(cross_avail - cross[i], horizontal ? vmode : hmode);
    Region r = horizontal ? Region{pos, area.y + c_off, main[i], cross[i]}
                          : Region{area.x + c_off, pos, cross[i], main[i]};
    arrange(*flow[i], r, resized);
    pos += main[i];
  }
}

}  // namespace orvo::tui
