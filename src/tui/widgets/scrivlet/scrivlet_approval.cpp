// Approval prompts (the command, why it needs consent, and the keys that answer) and the summary
// row that ends a turn.
#include <algorithm>
#include <exception>
#include <limits>
#include <optional>

#include "common/utf8.hpp"
#include "tui/framework/text/themed.hpp"
#include "tui/widgets/scrivlet/formatting.hpp"
#include "tui/widgets/scrivlet/hanging.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

namespace fmt = scrivlet_format;

namespace {

constexpr int kCommandOffset = 12, kCommandFallback = 70, kCommandFloor = 40;
constexpr int kNoLimit = std::numeric_limits<int>::max();
// The whole command under an approval prompt: indented, folded past kWrapMaxRows rows to its
// first and last rows and those that show what the reason names.
constexpr int kWrapIndent = 4;
constexpr std::size_t kWrapMaxRows = 12, kWrapHead = 4, kWrapTail = 4, kWrapMaxTriggerRows = 200;

}  // namespace

void Scrivlet::append_approval(const std::string& tool_name, const std::string& command,
                               const std::string& reason) {
  _history.emplace_back("approval", std::vector<std::string>{tool_name, command, reason});
  _draw_entry(_history.size() - 1, false, [&] { _render_approval(tool_name, command, reason); });
}

void Scrivlet::_render_approval(const std::string& tool_name, const std::string& command,
                                const std::string& reason) {
  const ThemeKind theme = _theme();
  const Style &ask = themed("bold yellow", theme), &dim = themed("dim", theme),
              &key = themed("bold white", theme), &why_head = themed("bold yellow", theme),
              &why = themed("yellow", theme), &more_style = themed("dim italic", theme);
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
    // Wrapped rows of a long reason stay under its text, not under "Why:".
    write(HangingText(Text("  Why: ", why_head), spaces(7), Text(flat, why)));
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

void Scrivlet::append_turn_summary(double elapsed, const std::vector<std::string>& tools,
                                   const ReportedUsage& usage) {
  const std::string summary_text =
      fmt::format_turn_summary(elapsed, tools, 0, 0.0,
                               [](const std::string& name) { return tool_header(name).first; }) +
      " \u00b7 " + fmt::format_usage(usage.tokens_in, usage.tokens_out, usage.tokens_per_s);
  _history.emplace_back("turn_summary", std::vector<std::string>{summary_text});
  _draw_entry(_history.size() - 1, false, [&] { _render_turn_summary(summary_text); });
}

void Scrivlet::_render_turn_summary(const std::string& summary_text) {
  const ThemeKind theme = _theme();
  const Style& dim = themed("dim", theme);
  write(Text(""));
  _track_lines();
  Text line;
  line.append("  ", Style());
  line.append(summary_text, dim);
  write(line);
  _track_lines();
}
}  // namespace orvo::tui::scrivlet
