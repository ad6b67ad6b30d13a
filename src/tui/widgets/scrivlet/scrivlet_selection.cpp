// Selecting text with the mouse: the range follows the drag, is painted with a highlight and is
// copied when the button comes up; a click without a drag goes to the thinking blocks instead.
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "common/utf8.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

namespace {

constexpr int kClickColumns = 2;

const Style& highlight_style() {
  static const Style s = Style::bg(Color::parse("#264f78"));
  return s;
}

// Splits `seg` at character offsets [from, to) of the row (seg starts at character `col`) and
// paints the part inside with the highlight. A zero-width character (a combining mark) stays with
// the character before it, so a cluster is never split between two styles.
void paint_segment(const Segment& seg, int col, int from, int to, std::vector<Segment>& out) {
  const std::string& s = seg.text;
  std::size_t pos = 0, run_start = 0;
  int c = col;
  bool run_selected = false, first = true;
  while (pos < s.size()) {
    const std::size_t at = pos;
    const char32_t cp = text::decode(s, pos);
    const bool joins = !first && text::char_width(cp) == 0;
    const bool selected = joins ? run_selected : (c >= from && c < to);
    if (!first && selected != run_selected) {
      out.emplace_back(s.substr(run_start, at - run_start),
                       run_selected ? highlight_style() : seg.style);
      run_start = at;
    }
    run_selected = selected;
    first = false;
    ++c;
  }
  if (run_start < s.size())
    out.emplace_back(s.substr(run_start), run_selected ? highlight_style() : seg.style);
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
    _handle_thinking_click(line);
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

  // Character columns [from, to) of this row that are selected.
  constexpr int kEnd = std::numeric_limits<int>::max();
  const int from = content_y == y1 ? x1 : 0;
  const int to = content_y == y2 ? x2 : kEnd;
  if (from >= to) return strip;
  std::vector<Segment> out;
  out.reserve(strip.segments().size() + 2);
  int col = 0;
  for (const Segment& seg : strip.segments()) {
    const int len = static_cast<int>(text::count_chars(seg.text));
    if (col >= from && col + len <= to) {
      out.emplace_back(seg.text, highlight_style());
    } else if (col + len <= from || col >= to) {
      out.push_back(seg);
    } else {
      paint_segment(seg, col, from, to, out);
    }
    col += len;
  }
  // Only styles changed, so the row keeps its width.
  return Strip(std::move(out), strip.cell_length());
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
    const auto n = static_cast<long long>(text::count_chars(lt));
    long long from = y == y1 ? x1 : 0;
    long long to = y == y2 ? x2 : n;
    from = std::clamp(from, 0LL, n);
    to = std::clamp(to, 0LL, n);
    std::string piece;
    if (from < to) {
      const auto head = text::take_chars(lt, static_cast<std::size_t>(from));
      const std::string_view rest = std::string_view(lt).substr(head.size());
      piece = std::string(text::take_chars(rest, static_cast<std::size_t>(to - from)));
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
