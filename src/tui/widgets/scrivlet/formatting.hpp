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

// The token counts a server reported: "1.2k tokens in, 340 out", then " · 41.2 tokens/s" when
// `tokens_per_s` is above 0.
std::string format_usage(std::int64_t tokens_in, std::int64_t tokens_out, double tokens_per_s);

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

// The whole command of an approval prompt in rows of at most `width` cells (at least 1): every
// control made inert (U+FFFD, as the rest of the log shows them), a tab as spaces to the next
// multiple of 8 of its line, each line wrapped by cells after its last space that fits (a word
// longer than a row is folded; no character is ever split or dropped, the space stays at the end
// of its row). An empty line is an empty row. [begin, end) are the row's bytes in
// terminal_safe(command), so a match found there can be mapped to the rows that show it.
struct CommandRow {
  std::string text;
  std::size_t begin = 0;
  std::size_t end = 0;
};
std::vector<CommandRow> approval_command_rows(std::string_view command, int width);

// What of the reason for an approval may be found in the command: the words after the leading
// verb, stripped of brackets, quotes and a trailing '/' or punctuation, except filler words and
// bare numbers. "deletes src/" -> {"src"}; "writes outside the project (/etc/x)" -> {"/etc/x"}.
std::vector<std::string> approval_triggers(std::string_view reason);

// A row of a folded command: `row` indexes the full rows; a fold has hidden > 0 and stands for
// that many rows left out.
struct FoldedRow {
  std::size_t row = 0;
  std::size_t hidden = 0;
};

// Which rows of a command to show: every row when there are at most `max_rows`; otherwise the
// first `head` and the last `tail` rows and every row that shows part of an occurrence of a
// trigger in `safe_command` (the text the rows were cut from), with the gaps between them folded.
// A gap of one row shows the row instead. At most `max_trigger_rows` rows are kept for triggers
// (the first ones), so a command full of matches still folds.
std::vector<FoldedRow> fold_command_rows(const std::vector<CommandRow>& rows,
                                         std::string_view safe_command,
                                         const std::vector<std::string>& triggers,
                                         std::size_t max_rows, std::size_t head, std::size_t tail,
                                         std::size_t max_trigger_rows);

// The collapsed header's preview: the first `max_preview` characters of the first line, with
// trailing whitespace removed and "…" added when the block has more lines or the line was cut.
std::string thinking_preview(std::string_view first_line, std::size_t line_count, int max_preview);

// "  (+N lines)" for a collapsed block of more than one line, else "".
std::string thinking_more_count(std::size_t line_count);

// Source lines of a thinking text: trimmed, split at the Unicode line boundaries.
std::vector<std::string_view> thinking_lines(std::string_view text);

}  // namespace orvo::tui::scrivlet_format
