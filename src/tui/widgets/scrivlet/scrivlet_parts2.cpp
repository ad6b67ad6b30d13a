// Thinking blocks, approval prompts, turn summaries, mouse selection and the clipboard.
#include <algorithm>
#include <exception>
#include <limits>

#include "common/utf8.hpp"
#include "tui/framework/text/textwrap.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/widgets/scrivlet/clipboard.hpp"
#include "tui/widgets/scrivlet/formatting.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

namespace fmt = scrivlet_format;

namespace {

constexpr int kPreviewOffset = 28, kPreviewFallback = 50, kPreviewFloor = 30;
constexpr int kBodyOffset = 6, kBodyFallback = 76, kBodyFloor = 40;
constexpr int kCommandOffset = 12, kCommandFallback = 70, kCommandFloor = 40;
constexpr int kNoLimit = std::numeric_limits<int>::max();
// The whole command under an approval prompt: indented, folded past kWrapMaxRows rows to its
// first and last rows and those that show what the reason names.
constexpr int kWrapIndent = 4;
constexpr std::size_t kWrapMaxRows = 12, kWrapHead = 4, kWrapTail = 4, kWrapMaxTriggerRows = 200;
constexpr std::size_t kMaxShow = 30;
constexpr int kClickRows = 2;  // rows searched on either side of a click
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

}  // namespace

// --- thinking blocks

void Scrivlet::append_thinking(const std::string& text, bool expanded) {
  const int index = static_cast<int>(_history.size());
  _history.emplace_back("thinking", std::vector<std::string>{text});
  _thinking_states[index] = expanded;
  _draw_entry(index, expanded, [&] { _render_thinking(text, expanded, index); });
}

void Scrivlet::_render_thinking(const std::string& text, bool expanded, int hist_idx) {
  static const Style cyan("cyan"), dim_italic("dim italic"), dim_italic_cyan("dim italic cyan"),
      dim_cyan("dim cyan");
  const auto lines = fmt::thinking_lines(text);
  const std::size_t n = lines.size();
  if (n == 0) return;

  write(Text(""));
  _track_lines();
  _thinking_line_map[_line_counter.value_or(0)] = hist_idx;

  if (!expanded) {
    Text header("", Style(), /*no_wrap=*/true, Overflow::Ellipsis);
    header.append("  ▶ ", cyan);
    const int max_preview =
        fmt::budget(_app_width(), kPreviewOffset, kPreviewFallback, kPreviewFloor);
    header.append(fmt::thinking_preview(lines[0], n, max_preview), dim_italic);
    if (n > 1) header.append(fmt::thinking_more_count(n), dim_cyan);
    write(header);
    _track_lines();
    return;
  }

  Text header;
  header.append("  ▼ ", cyan);
  header.append("thinking (" + std::to_string(n) + " lines)", dim_italic_cyan);
  write(header);
  _track_lines();

  const int avail_w = fmt::budget(_app_width(), kBodyOffset, kBodyFallback, kBodyFloor);
  const std::size_t max_show = std::min(n, kMaxShow);
  for (std::size_t i = 0; i < max_show; ++i) {
    auto rows = orvo::tui::textwrap_wrap(lines[i], avail_w - 4, "    ", "    ");
    // A blank line still takes its row.
    if (rows.empty()) rows.emplace_back();
    for (const auto& row : rows) {
      write(Text(row, dim_italic));
      _track_lines();
    }
  }
  if (n > max_show) {
    Text more;
    more.append("    … +" + std::to_string(n - max_show) + " more lines", dim_italic);
    write(more);
    _track_lines();
  }
  write(Text(""));
  _track_lines();
}

void Scrivlet::_handle_thinking_click(int y) {
  // A click must never take the application down: ordinary errors end the click quietly.
  try {
    const int rows = static_cast<int>(lines().size());
    const int lo = std::max(0, y - kClickRows);
    const int hi = std::min(rows, y + kClickRows + 1);
    for (int check_y = lo; check_y < hi; ++check_y) {
      const auto it = _thinking_line_map.find(check_y);
      if (it == _thinking_line_map.end()) continue;
      const int hist_idx = it->second;
      const auto st = _thinking_states.find(hist_idx);
      _thinking_states[hist_idx] = !(st != _thinking_states.end() && st->second);
      _rerender();
      return;
    }
    // Logical lines and drawn rows part ways below wrapped items: fall back to the arrows.
    for (int check_y = lo; check_y < hi; ++check_y) {
      const std::string line_text = lines()[static_cast<std::size_t>(check_y)].text();
      if (line_text.find("▶") == std::string::npos && line_text.find("▼") == std::string::npos)
        continue;
      if (!_thinking_states.empty()) {
        auto first = _thinking_states.begin();
        first->second = !first->second;
        _rerender();
        return;
      }
      for (std::size_t idx = 0; idx < _history.size(); ++idx) {
        if (_history[idx].kind() == "thinking") {
          _thinking_states[static_cast<int>(idx)] = true;
          _rerender();
          return;
        }
      }
    }
  } catch (const std::exception&) {
  }
}

// --- approval prompts and turn summaries

void Scrivlet::append_approval(const std::string& tool_name, const std::string& command,
                               const std::string& reason) {
  _history.emplace_back("approval", std::vector<std::string>{tool_name, command, reason});
  _draw_entry(_history.size() - 1, false, [&] { _render_approval(tool_name, command, reason); });
}

void Scrivlet::_render_approval(const std::string& tool_name, const std::string& command,
                                const std::string& reason) {
  static const Style ask("bold yellow"), dim("dim"), key("bold white"), why_head("bold yellow"),
      why("yellow"), more_style("dim italic");
  write(Text(""));
  _track_lines();
  const int max_w = fmt::budget(_app_width(), kCommandOffset, kCommandFallback, kCommandFloor);
  const std::string oneline = fmt::approval_command(command, max_w);
  Text line("", Style(), /*no_wrap=*/true, Overflow::Ellipsis);
  line.append("  Allow ", ask);
  line.append(tool_name, ask);
  line.append("? ", ask);
  line.append(oneline, dim);
  // The width write() lays rows out at (unknown before the log has a size: then the row is
  // taken to fit, and only the budget can have cut the command).
  std::optional<int> row_width;
  try {
    if (size().width - 2 > 10) row_width = size().width - 2;
  } catch (const std::exception&) {
  }
  const bool cut = oneline != fmt::approval_command(command, kNoLimit) ||
                   (row_width && line.cell_len() > *row_width);
  write(line);
  _track_lines();
  Text hint;
  hint.append("  Press ", dim);
  hint.append("1", key);
  hint.append(" to allow, ", dim);
  hint.append("2", key);
  hint.append(" to deny", dim);
  write(hint);
  _track_lines();

  const std::string_view why_text = text::strip(reason);
  if (!why_text.empty()) {
    std::string flat(why_text);
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    Text w;
    w.append("  Why: ", why_head);
    w.append(flat, why);
    write(w);
    _track_lines();
  }

  // The one-row form hides part of the command: the whole of it follows, at this width.
  const std::string_view whole = text::strip(command);
  if (!cut && whole.find('\n') == std::string_view::npos) return;
  const int wrap_w = std::max(row_width.value_or(kCommandFallback + 8) - kWrapIndent, 8);
  const auto rows = fmt::approval_command_rows(whole, wrap_w);
  const auto shown =
      fmt::fold_command_rows(rows, text::terminal_safe(whole), fmt::approval_triggers(reason),
                             kWrapMaxRows, kWrapHead, kWrapTail, kWrapMaxTriggerRows);
  const std::string indent(static_cast<std::size_t>(kWrapIndent), ' ');
  for (const auto& r : shown) {
    if (r.hidden > 0) {
      write(Text(indent + "… +" + std::to_string(r.hidden) + " more rows", more_style));
    } else {
      Text t("", Style(), /*no_wrap=*/true, Overflow::Fold);
      t.append(indent + rows[r.row].text, dim);
      write(t);
    }
    _track_lines();
  }
}

void Scrivlet::append_turn_summary(double elapsed, const std::vector<std::string>& tools,
                                   long long tokens_in, long long tokens_out, double cost_saved) {
  (void)tokens_in;  // accepted for the host's convenience; not shown
  const std::string summary_text =
      fmt::format_turn_summary(elapsed, tools, tokens_out, cost_saved,
                               [](const std::string& name) { return tool_header(name).first; });
  _history.emplace_back("turn_summary", std::vector<std::string>{summary_text});
  _draw_entry(_history.size() - 1, false, [&] { _render_turn_summary(summary_text); });
}

void Scrivlet::_render_turn_summary(const std::string& summary_text) {
  static const Style dim("dim");
  write(Text(""));
  _track_lines();
  Text line;
  line.append("  ", Style());
  line.append(summary_text, dim);
  write(line);
  _track_lines();
}

// --- mouse selection

namespace {

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

void Scrivlet::_set_clipboard_osc52(const std::string& text) {
  std::optional<std::string> failure;
  App* a = clipboard_through_app ? app() : nullptr;
  if (a && a->running()) {
    try {
      a->write_to_terminal(clipboard::osc52_sequence(text));
    } catch (const std::exception& e) {
      failure = clipboard::copy_with_commands(text, clipboard_options,
                                              std::string("the terminal: ") + e.what());
    }
  } else {
    failure = clipboard::copy(text, clipboard_options);
  }
  if (failure) append_info("Could not copy the selection: " + *failure);
}

}  // namespace orvo::tui::scrivlet
