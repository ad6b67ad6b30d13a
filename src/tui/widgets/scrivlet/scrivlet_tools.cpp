// Tool calls, finished calls, results and the diffs among them.
#include <algorithm>
#include <exception>
#include <string>

#include "tui/framework/text/themed.hpp"
#include "tui/widgets/scrivlet/hanging.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

namespace {

// `args` on one line: trimmed, each line feed a space, cut to `n` characters.
std::string args_short(const std::string& args, std::size_t n) {
  std::string s(strip(args));
  std::replace(s.begin(), s.end(), '\n', ' ');
  return std::string(cut(s, n));
}

bool starts_with(std::string_view s, std::string_view p) {
  return s.substr(0, p.size()) == p;
}

// The number after the first `sign` in `line` that is directly followed by a digit.
std::optional<long long> number_after(std::string_view line, char sign) {
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    if (line[i] != sign || line[i + 1] < '0' || line[i + 1] > '9') continue;
    long long v = 0;
    for (std::size_t j = i + 1; j < line.size() && line[j] >= '0' && line[j] <= '9'; ++j)
      v = v > 99'999'999'999'999'999LL ? v : v * 10 + (line[j] - '0');  // saturates, never wraps
    return v;
  }
  return std::nullopt;
}

// Four spaces, the number right-aligned in four columns (wider numbers in full), a space.
std::string number_field(long long n) {
  std::string digits = std::to_string(n);
  std::string out = "    ";
  if (digits.size() < 4) out.append(4 - digits.size(), ' ');
  out += digits;
  out += ' ';
  return out;
}

// A failed call's message: its first lines, each up to a bound cut after a word.
constexpr std::size_t kErrorLines = 6, kErrorLineChars = 400;

std::string error_line(std::string_view line) {
  const std::string_view head = cut(line, kErrorLineChars);
  if (head.size() == line.size()) return std::string(line);
  const std::size_t space = head.find_last_of(' ');
  const std::string_view kept =
      space != std::string_view::npos && space > head.size() / 2 ? head.substr(0, space) : head;
  return std::string(kept) + " …";
}

std::string more_lines(std::size_t n) {
  return "      … +" + std::to_string(n) + " more lines";
}

std::string fold_lines(std::size_t n) {
  return "      ▴ fold " + std::to_string(n) + " line" + (n == 1 ? "" : "s");
}

// An open output shows at most this many lines (a hostile tool can print millions).
constexpr std::size_t kOpenLines = 5000;

}  // namespace

bool _is_diff(std::string_view text) {
  int markers = 0;
  for (const std::string_view l : line_views(strip(text), 10)) {
    if (starts_with(l, "+") || starts_with(l, "-") || starts_with(l, "@@") ||
        starts_with(l, "diff "))
      ++markers;
  }
  return markers >= 3;
}

void Scrivlet::append_tool(const std::string& name, const std::string& args) {
  _history.emplace_back("tool", std::vector<std::string>{name, args});
  _draw_entry(_history.size() - 1, false, [&] { _render_tool(name, args); });
}

void Scrivlet::append_tool_done(const std::string& name, const std::string& args,
                                const std::string& summary, ToolEnd end) {
  _history.emplace_back("tool_done", tool_done_values(name, args, summary, end));
  _draw_entry(_history.size() - 1, false, [&] { _render_tool_done(name, args, summary, end); });
}

std::vector<std::string> Scrivlet::tool_done_values(const std::string& name,
                                                    const std::string& args,
                                                    const std::string& summary, ToolEnd end) {
  std::vector<std::string> v{name, args, summary};
  if (end == ToolEnd::failed) v.emplace_back("failed");
  if (end == ToolEnd::interrupted) v.emplace_back("interrupted");
  return v;
}

ToolEnd Scrivlet::tool_end_of(const HistoryEntry& e) {
  const auto& v = e.values();
  if (v.size() < 4) return ToolEnd::ok;
  if (v[3] == "failed") return ToolEnd::failed;
  if (v[3] == "interrupted") return ToolEnd::interrupted;
  return ToolEnd::ok;
}

std::optional<std::size_t> Scrivlet::_running_tool(const std::string& name,
                                                   const std::string& args) const {
  // Only the current turn: a prompt closes what came before it. Of equal calls still running
  // the earliest gets the first result.
  std::optional<std::size_t> found;
  for (std::size_t i = _history.size(); i-- > 0;) {
    const HistoryEntry& e = _history[i];
    if (e.kind() == "user") break;
    if (e.kind() == "tool" && e.values().size() >= 2 && e.value(0) == name && e.value(1) == args)
      found = i;
  }
  return found;
}

void Scrivlet::finish_tool(const std::string& name, const std::string& args,
                           const std::string& summary, ToolEnd end) {
  const std::optional<std::size_t> at = _running_tool(name, args);
  if (!at) {
    append_tool_done(name, args, summary, end);
    return;
  }
  // The running row becomes the finished one in place; the replay draws it anew and moves every
  // other entry's rows back.
  _history[*at] = HistoryEntry("tool_done", tool_done_values(name, args, summary, end));
  _replay_in_place();
}

void Scrivlet::interrupt_tools() {
  bool changed = false;
  for (std::size_t i = _history.size(); i-- > 0;) {
    HistoryEntry& e = _history[i];
    if (e.kind() == "user") break;
    if (e.kind() != "tool" || e.values().size() < 2) continue;
    e = HistoryEntry("tool_done",
                     tool_done_values(e.value(0), e.value(1), "interrupted", ToolEnd::interrupted));
    changed = true;
  }
  if (changed) _replay_in_place();
}

void Scrivlet::append_tool_result(const std::string& result, bool error) {
  _history.emplace_back("tool_result", std::vector<std::string>{result, error ? "true" : "false"});
  const int index = static_cast<int>(_history.size() - 1);
  const bool expanded = _tool_expanded(index);
  _draw_entry(_history.size() - 1, expanded,
              [&] { _render_tool_result(result, error, expanded, index); });
}

bool Scrivlet::_tool_expanded(int hist_idx) const {
  const auto it = _tool_states.find(hist_idx);
  return it != _tool_states.end() ? it->second : _tools_open;
}

bool Scrivlet::_handle_fold_click(int y) {
  const auto it = _fold_line_map.find(y);
  if (it == _fold_line_map.end() || y < 0 || y >= static_cast<int>(lines().size())) return false;
  // A click must never take the application down: ordinary errors end the click quietly.
  try {
    const int hist_idx = it->second;
    _tool_states[hist_idx] = !_tool_expanded(hist_idx);
    _replay_in_place();
  } catch (const std::exception&) {
  }
  return true;
}

bool Scrivlet::toggle_tool_output() {
  bool folded = false;
  bool open = false;
  for (const auto& [row, idx] : _fold_line_map) (_tool_expanded(idx) ? open : folded) = true;
  // Something folded opens everything; otherwise everything open folds; with nothing to fold
  // yet, the choice holds for the output to come.
  _tools_open = folded || (!open && !_tools_open);
  _tool_states.clear();
  if (folded || open) _replay_in_place();
  return _tools_open;
}

void Scrivlet::_write_fold_row(const std::string& text, int hist_idx) {
  const ThemeKind theme = _theme();
  const Style& more_style = themed("dim italic", theme);
  // Keyed by the row, which a click names; before the first layout nothing can be clicked.
  if (hist_idx >= 0 && held_writes() == 0 && size().width > 0)
    _fold_line_map[static_cast<int>(RichLog::lines().size())] = hist_idx;
  write(Text(text, more_style));
  _track_lines();
}

void Scrivlet::_render_tool(const std::string& name, const std::string& args) {
  const ThemeKind theme = _theme();
  const Style &head = themed("bold #5f87ff", theme), &dim = themed("dim", theme);
  ++_step_count;
  Text header;
  header.append(tool_header(name).first, head);
  if (!args.empty()) header.append("(" + args_short(args, 60) + ")", dim);
  write(HangingText(Text("  ● ", head), spaces(4), header));
  _track_lines();
}

void Scrivlet::_render_tool_done(const std::string& name, const std::string& args,
                                 const std::string& summary, ToolEnd end) {
  // (marker, marker and label, arguments, summary) by how the call ended: a failure is never
  // drawn as a success.
  struct Look {
    std::string_view marker;
    std::string_view head, args, summary;
  };
  static constexpr Look looks[] = {
      {"  ✓ ", "bold #32cd32", "#32cd32", "dim #32cd32"},
      {"  ✗ ", "bold red", "red", "dim red"},
      {"  ✗ ", "bold yellow", "yellow", "dim yellow"},
  };
  const Look& look = looks[static_cast<int>(end)];
  const ThemeKind theme = _theme();
  const Style& head = themed(look.head, theme);
  Text line("", Style(), true, Overflow::Ellipsis);
  line.append(look.marker, head);
  line.append(tool_header(name).first, head);
  if (!args.empty()) line.append("(" + args_short(args, 40) + ")", themed(look.args, theme));
  if (!summary.empty())
    line.append("  " + std::string(cut(summary, 60)), themed(look.summary, theme));
  write(line);
  _track_lines();
}

void Scrivlet::_render_tool_result(const std::string& result, bool error, bool expanded,
                                   int hist_idx) {
  const ThemeKind theme = _theme();
  const Style &dim = themed("dim", theme), &bold_red = themed("bold red", theme),
              &blue = themed("dim #5f87ff", theme);
  if (error && expanded) {
    const std::string_view body = strip(result);
    const auto lines = line_views(body, kOpenLines);
    std::string shown;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i != 0) shown += '\n';
      shown += lines[i];
    }
    write(HangingText(Text("    ⎿ ", dim), spaces(6), Text(shown, bold_red)));
    _track_lines();
    const std::size_t total = count_lines(body);
    if (total > lines.size()) {
      write(Text(more_lines(total - lines.size()) + " not shown", themed("dim italic", _theme())));
      _track_lines();
    }
    // Folded, the output showed fewer lines, or cut ones.
    std::size_t cut_lines = total > kErrorLines ? total - kErrorLines : 0;
    bool long_line = false;
    for (std::size_t i = 0; i < std::min(lines.size(), kErrorLines); ++i)
      long_line = long_line || error_line(lines[i]).size() != lines[i].size();
    if (cut_lines != 0 || long_line) _write_fold_row(fold_lines(cut_lines), hist_idx);
    return;
  }
  if (error) {
    // The whole message beside the gutter, up to a bound: a cut ends at a line or a space, never
    // inside a word, and says what it left out.
    const std::string_view body = strip(result);
    const std::size_t total = count_lines(body);
    const auto lines = line_views(body, kErrorLines);
    std::string shown;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i != 0) shown += '\n';
      shown += error_line(lines[i]);
    }
    write(HangingText(Text("    ⎿ ", dim), spaces(6), Text(shown, bold_red)));
    _track_lines();
    bool long_line = false;
    for (const auto& l : lines) long_line = long_line || error_line(l).size() != l.size();
    if (total > lines.size()) {
      _write_fold_row(more_lines(total - lines.size()), hist_idx);
    } else if (long_line) {
      // Only cut lines: nothing more to count, but they open in full all the same.
      _write_fold_row("      … more", hist_idx);
    }
    return;
  }
  const std::string_view body = strip(result);
  if (body.empty()) return;
  if (_is_diff(result)) {
    _render_diff(result, expanded, hist_idx);
    return;
  }
  // Only the shown lines are cut out; the rest are just counted.
  const std::size_t total = _output_facts(body, false, hist_idx).lines;
  if (expanded && total > 1) {
    const auto lines = line_views(body, kOpenLines);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const bool last = i + 1 == lines.size();
      write(HangingText(Text(last ? "    ⎿ " : "    │ ", blue),
                        Text(last ? "      " : "    │ ", blue), Text(lines[i], dim)));
      _track_lines();
    }
    if (total > lines.size()) {
      write(Text(more_lines(total - lines.size()) + " not shown", themed("dim italic", _theme())));
      _track_lines();
    }
    if (total > 6) _write_fold_row(fold_lines(total - 6), hist_idx);
    return;
  }
  const auto lines = line_views(body, 6);
  if (total == 1) {
    write(HangingText(Text("    ⎿ ", blue), spaces(6), Text(cut(lines[0], 120), dim)));
    _track_lines();
    return;
  }
  const std::size_t max_lines = std::min<std::size_t>(total, 6);
  for (std::size_t i = 0; i < max_lines; ++i) {
    // The bar runs down beside a wrapped line; the elbow closes the last one.
    const bool last = i == max_lines - 1;
    write(HangingText(Text(last ? "    ⎿ " : "    │ ", blue),
                      Text(last ? "      " : "    │ ", blue), Text(cut(lines[i], 120), dim)));
    _track_lines();
  }
  if (total > max_lines) _write_fold_row(more_lines(total - max_lines), hist_idx);
}

void Scrivlet::_render_diff(const std::string& diff_text, bool expanded, int hist_idx) {
  const ThemeKind theme = _theme();
  const Style &blue = themed("dim #5f87ff", theme), &dim = themed("dim", theme),
              &more_style = themed("dim italic", theme);
  const Style &del_num = themed("dim red", theme), &del_sign = themed("bold red", theme),
              &del_text = themed("red", theme);
  const Style &add_num = themed("dim #32cd32", theme), &add_sign = themed("bold #32cd32", theme),
              &add_text = themed("#32cd32", theme);
  const std::string_view body = strip(diff_text);
  const OutputFacts facts = _output_facts(body, true, hist_idx);
  const std::size_t added = facts.added, removed = facts.removed, line_total = facts.lines;
  std::vector<std::string> parts;
  if (added != 0)
    parts.push_back("Added " + std::to_string(added) + " line" + (added == 1 ? "" : "s"));
  if (removed != 0)
    parts.push_back("removed " + std::to_string(removed) + " line" + (removed == 1 ? "" : "s"));
  std::string summary_text = parts.empty() ? "no changes" : parts[0];
  if (parts.size() == 2) summary_text += ", " + parts[1];
  write(HangingText(Text("    ⎿ ", blue), spaces(6), Text(summary_text, dim)));
  _track_lines();

  long long old_line = 0, new_line = 0;
  std::size_t shown = 0;
  bool foldable = false;  // folded, the rows would stop after four lines
  // Lines are read one by one up to the last shown: the counts above cover the rest.
  std::size_t pos = 0;
  while (pos < body.size()) {
    const std::string_view line = text::next_line(body, pos);
    if (shown == 4 && expanded) foldable = true;
    if (shown >= (expanded ? kOpenLines : 4)) {
      if (expanded) {
        write(Text(more_lines(line_total - shown) + " not shown", more_style));
        _track_lines();
      } else {
        _write_fold_row(more_lines(line_total - shown), hist_idx);
      }
      break;
    }
    if (starts_with(line, "---") || starts_with(line, "+++")) continue;
    if (starts_with(line, "@@")) {
      if (auto n = number_after(line, '-')) old_line = *n;
      if (auto n = number_after(line, '+')) new_line = *n;
      continue;
    }
    // The number and the sign make the lead; a wrapped line continues under its text.
    Text lead, dl;
    if (starts_with(line, "-")) {
      lead.append(number_field(old_line), del_num);
      lead.append("- ", del_sign);
      dl.append(std::string_view(line).substr(1), del_text);
      ++old_line;
    } else if (starts_with(line, "+")) {
      lead.append(number_field(new_line), add_num);
      lead.append("+ ", add_sign);
      dl.append(std::string_view(line).substr(1), add_text);
      ++new_line;
    } else {
      const std::string_view content =
          starts_with(line, " ") ? std::string_view(line).substr(1) : std::string_view(line);
      if (!has_content(content)) {
        ++old_line;
        ++new_line;
        continue;
      }
      lead.append(number_field(new_line), dim);
      lead.append("  ");
      dl.append(content, dim);
      ++old_line;
      ++new_line;
    }
    write(HangingText(lead, spaces(lead.cell_len()), dl));
    _track_lines();
    ++shown;
  }
  if (foldable) _write_fold_row(fold_lines(line_total - 4), hist_idx);
}

Scrivlet::OutputFacts Scrivlet::_output_facts(std::string_view text, bool diff, int hist_idx) {
  const HistoryEntry* entry = nullptr;
  if (hist_idx >= 0 && static_cast<std::size_t>(hist_idx) < _history.size()) {
    const HistoryEntry& e = _history[static_cast<std::size_t>(hist_idx)];
    // Only the entry's own text: the view of it must lie inside its first value.
    if (!e.values().empty()) {
      const std::string& v = e.values()[0];
      if (text.data() >= v.data() && text.data() + text.size() <= v.data() + v.size()) entry = &e;
    }
  }
  if (entry) {
    if (const auto it = _facts.find(entry->id()); it != _facts.end()) return it->second;
  }
  OutputFacts f;
  if (diff) {
    std::size_t pos = 0;
    while (pos < text.size()) {
      const std::string_view l = text::next_line(text, pos);
      ++f.lines;
      if (starts_with(l, "+") && !starts_with(l, "+++")) ++f.added;
      if (starts_with(l, "-") && !starts_with(l, "---")) ++f.removed;
    }
  } else {
    f.lines = count_lines(text);
  }
  if (entry) {
    // Entries that left the history leave their facts behind: a bound keeps that small.
    if (_facts.size() > 2 * _history.size() + 64) _facts.clear();
    _facts.emplace(entry->id(), f);
  }
  return f;
}

}  // namespace orvo::tui::scrivlet
