// Thinking blocks in the conversation: folded to a one-row preview or unfolded, toggled by a click.
#include <algorithm>
#include <exception>

#include "tui/framework/text/textwrap.hpp"
#include "tui/widgets/scrivlet/formatting.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

namespace fmt = scrivlet_format;

namespace {

constexpr int kPreviewOffset = 28, kPreviewFallback = 50, kPreviewFloor = 30;
constexpr int kBodyOffset = 6, kBodyFallback = 76, kBodyFloor = 40;
constexpr std::size_t kMaxShow = 30;
constexpr int kClickRows = 2;  // rows searched on either side of a click

}  // namespace

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

}  // namespace orvo::tui::scrivlet
