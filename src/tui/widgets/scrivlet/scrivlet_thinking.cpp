// Thinking blocks in the conversation: folded to a one-row preview or unfolded, toggled by a click.
#include <algorithm>
#include <exception>

#include "tui/framework/text/textwrap.hpp"
#include "tui/framework/text/themed.hpp"
#include "tui/widgets/scrivlet/formatting.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

namespace fmt = scrivlet_format;

namespace {

constexpr int kPreviewOffset = 28, kPreviewFallback = 50, kPreviewFloor = 30;
constexpr int kBodyOffset = 6, kBodyFallback = 76, kBodyFloor = 40;
constexpr std::size_t kMaxShow = 30;

}  // namespace

void Scrivlet::append_thinking(const std::string& text, bool expanded) {
  const int index = static_cast<int>(_history.size());
  _history.emplace_back("thinking", std::vector<std::string>{text});
  _thinking_states[index] = expanded;
  _draw_entry(index, expanded, [&] { _render_thinking(text, expanded, index); });
}

void Scrivlet::_render_thinking(const std::string& text, bool expanded, int hist_idx) {
  const ThemeKind theme = _theme();
  const Style &cyan = themed("cyan", theme), &dim_italic = themed("dim italic", theme),
              &dim_italic_cyan = themed("dim italic cyan", theme),
              &dim_cyan = themed("dim cyan", theme);
  const auto lines = fmt::thinking_lines(text);
  const std::size_t n = lines.size();
  if (n == 0) return;

  write(Text(""));
  _track_lines();
  // Keyed by the header's row, which a click names. Before the first layout the rows are held
  // and not counted yet: the logical line stands in until the next replay.
  const bool laid_out = held_writes() == 0 && size().width > 0;
  _thinking_line_map[laid_out ? static_cast<int>(RichLog::lines().size())
                              : _line_counter.value_or(0)] = hist_idx;

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
    // Only the header row that was clicked: blocks may sit on neighbouring rows.
    const auto it = _thinking_line_map.find(y);
    if (it == _thinking_line_map.end() || y < 0 || y >= static_cast<int>(lines().size())) return;
    const int hist_idx = it->second;
    const auto st = _thinking_states.find(hist_idx);
    _thinking_states[hist_idx] = !(st != _thinking_states.end() && st->second);
    _rerender();
  } catch (const std::exception&) {
  }
}

}  // namespace orvo::tui::scrivlet
