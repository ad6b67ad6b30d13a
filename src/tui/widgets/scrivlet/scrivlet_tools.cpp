// Tool calls, finished calls, results and the diffs among them.
#include <algorithm>
#include <string>

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
                                const std::string& summary) {
  _history.emplace_back("tool_done", std::vector<std::string>{name, args, summary});
  _draw_entry(_history.size() - 1, false, [&] { _render_tool_done(name, args, summary); });
}

void Scrivlet::append_tool_result(const std::string& result, bool error) {
  _history.emplace_back("tool_result", std::vector<std::string>{result, error ? "true" : "false"});
  _draw_entry(_history.size() - 1, false, [&] { _render_tool_result(result, error); });
}

void Scrivlet::_render_tool(const std::string& name, const std::string& args) {
  static const Style head("bold #5f87ff"), dim("dim");
  ++_step_count;
  Text header;
  header.append("  ● ", head);
  header.append(tool_header(name).first, head);
  if (!args.empty()) header.append("(" + args_short(args, 60) + ")", dim);
  write(header);
  _track_lines();
}

void Scrivlet::_render_tool_done(const std::string& name, const std::string& args,
                                 const std::string& summary) {
  static const Style head("bold #32cd32"), green("#32cd32"), dim_green("dim #32cd32");
  Text line("", Style(), true, Overflow::Ellipsis);
  line.append("  ✓ ", head);
  line.append(tool_header(name).first, head);
  if (!args.empty()) line.append("(" + args_short(args, 40) + ")", green);
  if (!summary.empty()) line.append("  " + std::string(cut(summary, 60)), dim_green);
  write(line);
  _track_lines();
}

void Scrivlet::_render_tool_result(const std::string& result, bool error) {
  static const Style dim("dim"), bold_red("bold red"), blue("dim #5f87ff"),
      more_style("dim italic");
  if (error) {
    Text t;
    t.append("    ⎿ ", dim);
    t.append(cut(result, 200), bold_red);
    write(t);
    _track_lines();
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
    Text t;
    t.append("    ⎿ ", blue);
    t.append(cut(lines[0], 120), dim);
    write(t);
    _track_lines();
    return;
  }
  const std::size_t max_lines = std::min<std::size_t>(total, 6);
  for (std::size_t i = 0; i < max_lines; ++i) {
    Text t;
    t.append(i < max_lines - 1 ? "    │ " : "    ⎿ ", blue);
    t.append(cut(lines[i], 120), dim);
    write(t);
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
  Text summary;
  summary.append("    ⎿ ", blue);
  summary.append(summary_text, dim);
  write(summary);
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
    Text dl;
    if (starts_with(line, "-")) {
      dl.append(number_field(old_line), del_num);
      dl.append("- ", del_sign);
      dl.append(std::string_view(line).substr(1), del_text);
      ++old_line;
    } else if (starts_with(line, "+")) {
      dl.append(number_field(new_line), add_num);
      dl.append("+ ", add_sign);
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
      dl.append(number_field(new_line), dim);
      dl.append("  ");
      dl.append(content, dim);
      ++old_line;
      ++new_line;
    }
    write(dl);
    _track_lines();
    ++shown;
  }
}

}  // namespace orvo::tui::scrivlet
