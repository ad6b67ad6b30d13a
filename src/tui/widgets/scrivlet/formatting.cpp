#include "tui/widgets/scrivlet/formatting.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "common/utf8.hpp"
#include "tui/framework/text/cells.hpp"

namespace orvo::tui::scrivlet_format {

int budget(std::optional<int> app_width, int offset, int fallback, int floor) {
  return std::max(app_width ? *app_width - offset : fallback, floor);
}

std::string fixed(double value, int decimals) {
  // to_chars gives the exact shortest-correct decimal of the double, rounded half to even on
  // exact ties; printf-style rounding through a scaled value would not.
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (res.ec != std::errc()) return std::isnan(value) ? "nan" : "inf";
  return std::string(buf, res.ptr);
}

std::string format_elapsed(double elapsed) {
  // A clock that went backwards or a broken value must not show "nans" or overflow below.
  if (!std::isfinite(elapsed) || elapsed < 0)
    elapsed = std::isinf(elapsed) && elapsed > 0 ? 1e15 : 0.0;
  if (elapsed < 60) return fixed(elapsed, 1) + "s";
  const auto t = static_cast<std::int64_t>(std::min(elapsed, 1e15));
  const std::int64_t m = t / 60;
  const std::int64_t s = t % 60;
  return std::to_string(m) + "m" + (s < 10 ? "0" : "") + std::to_string(s) + "s";
}

std::string format_tokens(std::int64_t tokens_out) {
  if (tokens_out >= 1000) return fixed(static_cast<double>(tokens_out) / 1000.0, 1) + "k tokens";
  return std::to_string(tokens_out) + " tokens";
}

std::string format_usage(std::int64_t tokens_in, std::int64_t tokens_out, double tokens_per_s) {
  const auto count = [](std::int64_t n) {
    return n >= 1000 ? fixed(static_cast<double>(n) / 1000.0, 1) + "k" : std::to_string(n);
  };
  std::string out = count(tokens_in) + " tokens in, " + count(tokens_out) + " out";
  if (tokens_per_s > 0) out += " \u00b7 " + fixed(tokens_per_s, 1) + " tokens/s";
  return out;
}

std::string format_tools(const std::vector<std::string>& tools,
                         const std::function<std::string(const std::string&)>& label) {
  std::vector<std::string> order;
  std::unordered_map<std::string, int> counts;
  for (const auto& t : tools)
    if (counts[t]++ == 0) order.push_back(t);
  std::string out;
  for (const auto& name : order) {
    if (!out.empty()) out += ", ";
    out += label(name);
    if (counts[name] > 1) out += " x" + std::to_string(counts[name]);
  }
  return out;
}

std::string format_turn_summary(double elapsed, const std::vector<std::string>& tools,
                                std::int64_t tokens_out, double cost_saved,
                                const std::function<std::string(const std::string&)>& label) {
  std::string out = format_elapsed(elapsed);
  const auto add = [&out](const std::string& part) { out += " \u00b7 " + part; };
  if (!tools.empty()) add(format_tools(tools, label));
  if (tokens_out != 0) add(format_tokens(tokens_out));
  if (cost_saved > 0) add("$" + fixed(cost_saved, 3) + " saved");
  return out;
}

std::string approval_command(std::string_view command, int max_chars) {
  std::string oneline;
  oneline.reserve(command.size());
  for (const char c : command) {
    if (c == '\n')
      oneline += " \u21b5 ";
    else
      oneline += c;
  }
  const auto trimmed = text::strip(oneline);
  return std::string(text::take_chars(trimmed, static_cast<std::size_t>(std::max(max_chars, 0))));
}

std::vector<CommandRow> approval_command_rows(std::string_view command, int width) {
  width = std::max(width, 1);
  const std::string safe = text::terminal_safe(command);
  std::vector<CommandRow> rows;
  std::size_t line_start = 0;
  while (true) {
    const std::size_t nl = safe.find('\n', line_start);
    const std::size_t line_end = nl == std::string::npos ? safe.size() : nl;
    const std::string_view line = std::string_view(safe).substr(0, line_end);
    CommandRow row{{}, line_start, line_start};
    int cells = 0;   // of the current row
    int column = 0;  // in the source line, for tab stops
    // The last place the row may break at: after a space (text length, source byte, cells).
    std::size_t brk_text = 0, brk_pos = 0;
    int brk_cells = 0;
    std::size_t pos = line_start;
    // Ends the row; what follows its last space moves on when `at_space` and there is one, so
    // words stay whole where they can. No character is dropped: the space ends the row.
    const auto flush = [&](bool at_space) {
      std::string carry;
      int carry_cells = 0;
      row.end = pos;
      if (at_space && brk_text > 0 && brk_text < row.text.size()) {
        carry = row.text.substr(brk_text);
        carry_cells = cells - brk_cells;
        row.text.resize(brk_text);
        row.end = brk_pos;
      }
      const std::size_t next_begin = row.end;
      rows.push_back(std::move(row));
      row = CommandRow{std::move(carry), next_begin, next_begin};
      cells = carry_cells;
      brk_text = 0;
    };
    while (pos < line_end) {
      if (safe[pos] == '\t') {
        int spaces = 8 - column % 8;
        column += spaces;
        // A tab's spaces may run over the row's end: the rest start the next row.
        while (spaces > 0) {
          if (cells == width) flush(false);
          const int take = std::min(spaces, width - cells);
          row.text.append(static_cast<std::size_t>(take), ' ');
          cells += take;
          spaces -= take;
        }
        ++pos;
        continue;
      }
      const Grapheme g = next_grapheme(line, pos);
      if (cells > 0 && cells + g.cells > width) {
        flush(safe[pos] != ' ');
        if (cells > 0 && cells + g.cells > width) flush(false);  // the carried word is too long
      }
      row.text.append(safe, g.begin, g.end - g.begin);
      cells += g.cells;
      column += g.cells;
      pos = g.end;
      if (safe[g.begin] == ' ') {
        brk_text = row.text.size();
        brk_pos = pos;
        brk_cells = cells;
      }
    }
    flush(false);
    if (nl == std::string::npos) break;
    line_start = nl + 1;
  }
  return rows;
}

std::vector<std::string> approval_triggers(std::string_view reason) {
  static const std::vector<std::string_view> filler = {
      "a",     "an",   "the",     "in",      "of",         "on",        "at",
      "to",    "and",  "or",      "for",     "from",       "into",      "with",
      "by",    "its",  "all",     "outside", "inside",     "project",   "file",
      "files", "dir",  "local",   "change",  "changes",    "directory", "directories",
      "than",  "more", "history", "branch",  "uncommitted"};
  std::vector<std::string> out;
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < reason.size()) {
    while (pos < reason.size() &&
           (reason[pos] == ' ' || reason[pos] == '\t' || reason[pos] == '\n'))
      ++pos;
    const std::size_t start = pos;
    while (pos < reason.size() && reason[pos] != ' ' && reason[pos] != '\t' && reason[pos] != '\n')
      ++pos;
    if (pos > start) words.push_back(reason.substr(start, pos - start));
  }
  // The leading word says what happens ("deletes"); what it happens to follows.
  for (std::size_t i = words.size() > 1 ? 1 : 0; i < words.size(); ++i) {
    std::string_view w = words[i];
    const auto edge = [](char c) {
      return c == '(' || c == ')' || c == '[' || c == ']' || c == '{' || c == '}' || c == '"' ||
             c == '\'' || c == '`' || c == ',' || c == ';' || c == ':';
    };
    while (!w.empty() && edge(w.front())) w.remove_prefix(1);
    while (!w.empty() && (edge(w.back()) || w.back() == '.')) w.remove_suffix(1);
    if (w.size() > 1 && w.back() == '/') w.remove_suffix(1);
    if (w.size() < 2) continue;
    if (std::all_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    std::string lower(w);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (std::find(filler.begin(), filler.end(), lower) != filler.end()) continue;
    if (std::find(out.begin(), out.end(), w) == out.end()) out.emplace_back(w);
  }
  return out;
}

std::vector<FoldedRow> fold_command_rows(const std::vector<CommandRow>& rows,
                                         std::string_view safe_command,
                                         const std::vector<std::string>& triggers,
                                         std::size_t max_rows, std::size_t head, std::size_t tail,
                                         std::size_t max_trigger_rows) {
  const std::size_t n = rows.size();
  std::vector<FoldedRow> out;
  if (n <= max_rows) {
    for (std::size_t i = 0; i < n; ++i) out.push_back({i, 0});
    return out;
  }
  std::vector<bool> keep(n, false);
  for (std::size_t i = 0; i < std::min(head, n); ++i) keep[i] = true;
  for (std::size_t i = n - std::min(tail, n); i < n; ++i) keep[i] = true;
  // Occurrences in the text the rows were cut from: one split over two rows keeps both. Rows are
  // in text order, so one forward walk maps every occurrence.
  std::vector<std::pair<std::size_t, std::size_t>> hits;
  for (const auto& t : triggers) {
    if (t.empty()) continue;
    // Each hit costs little and the rows were cut from this text, so every hit is found.
    for (std::size_t at = safe_command.find(t); at != std::string_view::npos;
         at = safe_command.find(t, at + t.size()))
      hits.emplace_back(at, at + t.size());
  }
  std::sort(hits.begin(), hits.end());
  std::size_t kept_for_triggers = 0;
  std::size_t r = 0;
  for (const auto& [b, e] : hits) {
    while (r < n && rows[r].end <= b) ++r;
    for (std::size_t i = r; i < n && rows[i].begin < e; ++i) {
      if (!keep[i]) {
        if (kept_for_triggers == max_trigger_rows) break;
        keep[i] = true;
        ++kept_for_triggers;
      }
    }
  }
  for (std::size_t i = 0; i < n;) {
    if (keep[i]) {
      out.push_back({i, 0});
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < n && !keep[j]) ++j;
    if (j - i == 1) {
      out.push_back({i, 0});
    } else {
      out.push_back({i, j - i});
    }
    i = j;
  }
  return out;
}

namespace {

std::string_view rstrip(std::string_view s) {
  std::size_t pos = 0;
  std::size_t end = 0;
  while (pos < s.size()) {
    const char32_t cp = text::decode(s, pos);
    if (!text::is_space(cp)) end = pos;
  }
  return s.substr(0, end);
}

}  // namespace

std::string thinking_preview(std::string_view first_line, std::size_t line_count, int max_preview) {
  const auto n = static_cast<std::size_t>(std::max(max_preview, 0));
  std::string_view preview = text::take_chars(first_line, n);
  if (line_count > 1 || text::count_chars(first_line) > n)
    return std::string(rstrip(preview)) + "\u2026";
  return std::string(preview);
}

std::string thinking_more_count(std::size_t line_count) {
  if (line_count <= 1) return "";
  return "  (+" + std::to_string(line_count - 1) + " lines)";
}

std::vector<std::string_view> thinking_lines(std::string_view text) {
  const auto trimmed = text::strip(text);
  if (trimmed.empty()) return {};
  return text::split_lines(trimmed);
}

}  // namespace orvo::tui::scrivlet_format
