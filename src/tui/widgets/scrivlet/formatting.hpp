// Text budgets and texts of the thinking blocks, approval prompts and turn summaries, kept apart
// from the widget so they can be checked without a screen.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::tui::scrivlet_format {

// A width budget from the application screen width: width - offset, or `fallback` when the width
// could not be read, never below `floor`.
int budget(std::optional<int> app_width, int offset, int fallback, int floor);

// `value` with exactly `decimals` digits after the point, correctly rounded (halfway to even).
std::string fixed(double value, int decimals);

// "12.3s" below a minute, "1m05s" from a minute on (no hour unit).
std::string format_elapsed(double elapsed);

// "850 tokens", "1.2k tokens".
std::string format_tokens(std::int64_t tokens_out);

// "Bash x2, Read, lint": labels in the order of first use, " xN" for repeats.
std::string format_tools(const std::vector<std::string>& tools,
                         const std::function<std::string(const std::string&)>& label);

// The whole summary line, its parts joined with " · ".
std::string format_turn_summary(double elapsed, const std::vector<std::string>& tools,
                                std::int64_t tokens_out, double cost_saved,
                                const std::function<std::string(const std::string&)>& label);

// The command of an approval prompt on one row: line breaks shown as " ↵ ", trimmed, cut to
// `max_chars` characters.
std::string approval_command(std::string_view command, int max_chars);

// The collapsed header's preview: the first `max_preview` characters of the first line, with
// trailing whitespace removed and "…" added when the block has more lines or the line was cut.
std::string thinking_preview(std::string_view first_line, std::size_t line_count, int max_preview);

// "  (+N lines)" for a collapsed block of more than one line, else "".
std::string thinking_more_count(std::size_t line_count);

// Source lines of a thinking text: trimmed, split at the Unicode line boundaries.
std::vector<std::string_view> thinking_lines(std::string_view text);

}  // namespace orvo::tui::scrivlet_format
