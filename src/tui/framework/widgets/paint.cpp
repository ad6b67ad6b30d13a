#include "tui/framework/widgets/paint.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "tui/framework/widgets/box_model.hpp"

namespace orvo::tui {

namespace {

struct BoxChars {
  const char *tl, *tr, *bl, *br, *h, *v;
};

BoxChars box_chars(BorderKind k) {
  switch (k) {
    case BorderKind::Round:
      return {"╭", "╮", "╰", "╯", "─", "│"};
    case BorderKind::Solid:
      return {"┌", "┐", "└", "┘", "─", "│"};
    case BorderKind::Heavy:
      return {"┏", "┓", "┗", "┛", "━", "┃"};
    case BorderKind::Double:
      return {"╔", "╗", "╚", "╝", "═", "║"};
    case BorderKind::Ascii:
      return {"+", "+", "+", "+", "-", "|"};
    case BorderKind::None:
      break;
  }
  return {" ", " ", " ", " ", " ", " "};
}

const Style& track_style() {
  static const Style s = Style::bg(Color::rgb(0x26, 0x2a, 0x30));
  return s;
}
const Style& thumb_style() {
  static const Style s = Style::fg(Color::rgb(0x5f, 0x6b, 0x7a)) + track_style();
  return s;
}

}  // namespace

void Painter::paint(CellBuffer& buf, Widget& w, Region clip) {
  if (w.styles_.display == Display::None) return;
  const Region vis = w.region_.intersect(clip);
  if (vis.empty()) return;
  const Style& base = w.base_style_;
  // Each cell is written about once: a widget with a background of its own fills only what its
  // rows do not cover (border, padding); the root fills everything once, cheaply.
  const bool own_bg = w.styles_.background.has_value() || !w.parent_;
  const CellStyle bg_cells = to_cell_style(base);
  const Region cv = w.content_.intersect(vis);
  if (!w.parent_) {
    buf.fill(vis, bg_cells);
  } else if (own_bg) {
    if (cv.empty()) {
      buf.fill(vis, bg_cells);
    } else {
      buf.fill(Region{vis.x, vis.y, vis.width, cv.y - vis.y}, bg_cells);
      buf.fill(Region{vis.x, cv.bottom(), vis.width, vis.bottom() - cv.bottom()}, bg_cells);
      buf.fill(Region{vis.x, cv.y, cv.x - vis.x, cv.height}, bg_cells);
      buf.fill(Region{cv.right(), cv.y, vis.right() - cv.right(), cv.height}, bg_cells);
    }
  }
  if (box_model::border(w.styles_) > 0) paint_border(buf, w, vis, base);

  if (!cv.empty()) {
    // Rows are drawn where they are stored when the widget keeps them (no copy per frame),
    // the base style laid under each segment and the cells past the row's end padded in it:
    // what apply_style(base, false) and adjust(width, base) would give, without the copies.
    Strip rendered;
    for (int row = cv.y; row < cv.bottom(); ++row) {
      const Strip* s = w.stored_line(row - w.content_.y);
      if (s == nullptr) {
        rendered = w.render_line(row - w.content_.y);
        s = &rendered;
      }
      if (s->empty()) {
        // Transparent widgets leave the parent's cells; the root is filled already.
        if (own_bg && w.parent_) buf.fill(Region{cv.x, row, cv.width, 1}, bg_cells);
        continue;
      }
      const int end = std::max(cv.x, buf.draw_strip(w.content_.x, row, *s, cv, base));
      if (end < cv.right()) buf.fill(Region{end, row, cv.right() - end, 1}, bg_cells);
    }
  }
  if (!w.scrollbar_.empty()) paint_scrollbar(buf, w, vis);

  if (!cv.empty()) {
    for (auto& c : w.children_) {
      if (c->styles_.dock.value_or(Dock::None) == Dock::None) paint(buf, *c, cv);
    }
    for (auto& c : w.children_) {
      if (c->styles_.dock.value_or(Dock::None) != Dock::None) paint(buf, *c, cv);
    }
  }
}

void Painter::paint_border(CellBuffer& buf, Widget& w, const Region& clip, const Style& base) {
  const Region r = w.region_;
  if (r.width < 2 || r.height < 2) return;
  Style st = base;
  if (w.styles_.border->color) st = st.with_color(*w.styles_.border->color);
  const BoxChars bc = box_chars(w.styles_.border->kind);
  std::string top = bc.tl, bottom = bc.bl;
  for (int i = 0; i < r.width - 2; ++i) {
    top += bc.h;
    bottom += bc.h;
  }
  top += bc.tr;
  bottom += bc.br;
  buf.draw_strip(r.x, r.y, Strip::of(top, st), clip);
  buf.draw_strip(r.x, r.bottom() - 1, Strip::of(bottom, st), clip);
  const Strip side = Strip::of(bc.v, st);
  for (int y = r.y + 1; y < r.bottom() - 1; ++y) {
    buf.draw_strip(r.x, y, side, clip);
    buf.draw_strip(r.right() - 1, y, side, clip);
  }
}

void Painter::paint_scrollbar(CellBuffer& buf, Widget& w, const Region& clip) {
  const Region sb = w.scrollbar_;
  const int h = sb.height;
  const int total = w.virtual_height();
  const int view = w.size().height;
  int thumb_len = 0, thumb_pos = 0;
  if (total > view && view > 0 && h > 0) {
    thumb_len = std::clamp(static_cast<int>(static_cast<long long>(h) * view / total), 1, h);
    const int max_scroll = total - view;
    thumb_pos = static_cast<int>(
        std::lround(static_cast<double>(h - thumb_len) * w.scroll_.y / max_scroll));
  }
  std::string track_text, thumb_text;
  for (int i = 0; i < sb.width; ++i) {
    track_text += ' ';
    thumb_text += "█";
  }
  const Strip track = Strip::of(track_text, track_style());
  const Strip thumb = Strip::of(thumb_text, thumb_style());
  for (int y = 0; y < h; ++y) {
    bool in_thumb = thumb_len > 0 && y >= thumb_pos && y < thumb_pos + thumb_len;
    buf.draw_strip(sb.x, sb.y + y, in_thumb ? thumb : track, clip);
  }
}

}  // namespace orvo::tui
