// Selecting text with the mouse: the range follows the drag, is painted with a highlight and is
// copied when the button comes up; a click without a drag goes to the thinking blocks instead.
// Columns are terminal cells, as the pointer reports them, and whole grapheme clusters are taken:
// the highlight and the copied text are the same characters, exactly those under the pointer.
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "common/utf8.hpp"
#include "tui/framework/text/themed.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

namespace {

constexpr int kClickColumns = 2;

// A background colour; without colours (NO_COLOR) reverse video, or the range would not show.
const Style& highlight_style(bool colors, ThemeKind theme) {
  static const Style reversed = Style("reverse");
  return colors ? themed("on #264f78", theme) : reversed;
}

// A cluster at cells [col, col + cells) is selected when it overlaps the selected cells
// [from, to): what is under the pointer, a wide character by either half, is taken whole. A
// cluster of no width counts as one cell here, so it can be taken at all.
bool cluster_selected(int col, int cells, int from, int to) {
  return col < to && col + std::max(cells, 1) > from;
}

// Paints the clusters of `seg` (which starts at cell `col`) that are selected with the
// highlight, the rest in the segment's style; returns the segment's cells.
int paint_segment(const Segment& seg, int col, int from, int to, const Style& highlight,
                  std::vector<Segment>& out) {
  const std::string& s = seg.text;
  std::size_t run_start = 0;
  int c = col;
  bool run_selected = false, first = true;
  text::for_each_grapheme(s, [&](const text::Grapheme& g) {
    const bool selected = cluster_selected(c, g.cells, from, to);
    if (!first && selected != run_selected) {
      out.emplace_back(s.substr(run_start, g.begin - run_start),
                       run_selected ? highlight : seg.style);
      run_start = g.begin;
    }
    run_selected = selected;
    first = false;
    c += g.cells;
  });
  if (run_start < s.size())
    out.emplace_back(s.substr(run_start), run_selected ? highlight : seg.style);
  return c - col;
}

// A mouse position in content coordinates (scrolled rows counted).
std::pair<int, int> position(const Widget& w, const MouseEvent& event) {
  return {event.x, event.y + w.scroll_offset().y};
}

}  // namespace

void Scrivlet::on_mouse_down(const MouseEvent& event) {
  // A press drops the previous range; repaint so its highlight does not linger on screen.
  const bool had_range = _sel_range().has_value();
  _sel_start = position(*this, event);
  _sel_end = _sel_start;
  _selecting = true;
  _selected_text = "";
  capture_mouse();
  if (had_range) refresh();
}

void Scrivlet::on_mouse_move(const MouseEvent& event) {
  if (!_selecting) return;
  const auto p = position(*this, event);
  if (_sel_end == p) return;  // same cell: nothing to repaint
  _sel_end = p;
  refresh();
}

void Scrivlet::on_mouse_up(const MouseEvent& event) {
  if (!_selecting) return;
  _selecting = false;
  release_mouse();
  const auto p = position(*this, event);
  const bool moved = _sel_end != p;
  _sel_end = p;
  if (!_sel_start || !_sel_end) return;
  const int dx = std::abs(_sel_end->first - _sel_start->first);
  const int dy = std::abs(_sel_end->second - _sel_start->second);
  if (dx <= kClickColumns && dy == 0) {
    const int line = _sel_start->second;
    _sel_start.reset();
    _sel_end.reset();
    // A click that is not on a block still drops the small range painted while pressed.
    refresh();
    if (!_handle_fold_click(line)) _handle_thinking_click(line);
    return;
  }
  // The range ends where the button came up, which a last move may not have painted.
  if (moved) refresh();
  _selected_text = _extract_selection();
  if (text::has_visible(_selected_text)) _set_clipboard_osc52(_selected_text);
}

std::optional<std::tuple<int, int, int, int>> Scrivlet::_sel_range() const {
  if (!_sel_start || !_sel_end) return std::nullopt;
  const auto [x1, y1] = *_sel_start;
  const auto [x2, y2] = *_sel_end;
  if (y1 > y2 || (y1 == y2 && x1 > x2)) return std::make_tuple(y2, x2, y1, x1);
  return std::make_tuple(y1, x1, y2, x2);
}

Strip Scrivlet::render_line(int y) {
  Strip strip = RichLog::render_line(y);
  const auto sel = _sel_range();
  if (!sel) return strip;
  const auto [y1, x1, y2, x2] = *sel;
  const int content_y = y + scroll_offset().y;
  if (content_y < y1 || content_y > y2) return strip;

  // Cells [from, to) of this row that are selected.
  constexpr int kEnd = std::numeric_limits<int>::max();
  const int from = content_y == y1 ? x1 : 0;
  const int to = content_y == y2 ? x2 : kEnd;
  if (from >= to) return strip;
  std::vector<Segment> out;
  out.reserve(strip.segments().size() + 2);
  int col = 0;
  const App* a = app();
  const Style& highlight = highlight_style(a == nullptr || a->colors(), _theme());
  for (const Segment& seg : strip.segments())
    col += paint_segment(seg, col, from, to, highlight, out);
  // Only styles changed, so the row keeps its width.
  return Strip(std::move(out), strip.cell_length());
}

const Strip* Scrivlet::stored_line(int y) {
  // A selected row is drawn restyled (render_line); the others as stored.
  if (const auto sel = _sel_range()) {
    const int content_y = y + scroll_offset().y;
    if (content_y >= std::get<0>(*sel) && content_y <= std::get<2>(*sel)) return nullptr;
  }
  return RichLog::stored_line(y);
}

std::string Scrivlet::_extract_selection() const {
  const auto sel = _sel_range();
  if (!sel) return "";
  const auto [y1, x1, y2, x2] = *sel;
  const auto& rows = lines();
  const int count = static_cast<int>(rows.size());
  std::string out;
  bool first = true;
  for (int y = std::max(y1, 0); y <= y2 && y < count; ++y) {
    const std::string lt = rows[static_cast<std::size_t>(y)].text();
    // The same cells and clusters the highlight paints.
    const int from = y == y1 ? x1 : 0;
    const int to = y == y2 ? x2 : std::numeric_limits<int>::max();
    std::string piece;
    int col = 0;
    if (from < to) {
      text::for_each_grapheme(lt, [&](const text::Grapheme& g) {
        if (cluster_selected(col, g.cells, from, to)) piece.append(lt, g.begin, g.end - g.begin);
        col += g.cells;
      });
    }
    if (!first) out += '\n';
    out += piece;
    first = false;
  }
  return out;
}

std::string Scrivlet::get_selection() const {
  if (_sel_start && _sel_end) return _extract_selection();
  return _selected_text;
}

}  // namespace orvo::tui::scrivlet
