// Tool calls, finished calls, results and the diffs among them.
#include <algorithm>
#include <string>

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
  _draw_entry(_history.size() - 1, false, [&] { _render_tool_result(result, error); });
}

void Scrivlet::_render_tool(const std::string& name, const std::string& args) {
  static const Style head("bold #5f87ff"), dim("dim");
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
    Style head, args, summary;
  };
  static const Look looks[] = {
      {"  ✓ ", Style("bold #32cd32"), Style("#32cd32"), Style("dim #32cd32")},
      {"  ✗ ", Style("bold red"), Style("red"), Style("dim red")},
      {"  ✗ ", Style("bold yellow"), Style("yellow"), Style("dim yellow")},
  };
  const Look& look = looks[static_cast<int>(end)];
  Text line("", Style(), true, Overflow::Ellipsis);
  line.append(look.marker, look.head);
  line.append(tool_header(name).first, look.head);
  if (!args.empty()) line.append("(" + args_short(args, 40) + ")", look.args);
  if (!summary.empty()) line.append("  " + std::string(cut(summary, 60)), look.summary);
  write(line);
  _track_lines();
}

void Scrivlet::_render_tool_result(const std::string& result, bool error) {
  static const Style dim("dim"), bold_red("bold red"), blue("dim #5f87ff"),
      more_style("dim italic");
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
    if (total > lines.size()) {
      write(Text(more_lines(total - lines.size()), more_style));
      _track_lines();
    }
    return;
  }
  const std::string_view body = strip(result);
  if (body.empty()) return;
  if (_is_diff(result)) {
    _render_diff(result);
    return;
  }
  // Only the shown lines are cut out; the rest are just counted.
  const std::size_t total = count_lines(body);
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
  if (total > max_lines) {
    write(Text(more_lines(total - max_lines), more_style));
    _track_lines();
  }
}

void Scrivlet::_render_diff(const std::string& diff_text) {
  static const Style blue("dim #5f87ff"), dim("dim"), more_style("dim italic");
  static const Style del_num("dim red"), del_sign("bold red"), del_text("red");
  static const Style add_num("dim #32cd32"), add_sign("bold #32cd32"), add_text("#32cd32");
  const auto lines = line_views(strip(diff_text));
  std::size_t added = 0, removed = 0;
  for (const auto& l : lines) {
    if (starts_with(l, "+") && !starts_with(l, "+++")) ++added;
    if (starts_with(l, "-") && !starts_with(l, "---")) ++removed;
  }
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
  for (const auto& line : lines) {
    if (shown >= 4) {
      write(Text(more_lines(lines.size() - shown), more_style));
      _track_lines();
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
}

}  // namespace orvo::tui::scrivlet
