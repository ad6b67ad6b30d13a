// OutputManager: the tool call log and the result preview.
#include <string>
#include <string_view>

#include "common/utf8.hpp"
#include "output/internal.hpp"
#include "output/output_manager.hpp"

namespace orvo {

namespace {

bool is_noise(std::string_view line) {
  return line.find("MallocStackLogging") != std::string_view::npos ||
         line.find("can't turn off") != std::string_view::npos;
}

// True when `s` holds any line boundary other than LF.
bool has_other_boundaries(std::string_view s) {
  for (std::size_t i = 0; (i = text::next_break_candidate(s, i)) < s.size(); ++i) {
    if (s[i] != '\n' && text::line_break_at(s, i) != 0) return true;
  }
  return false;
}

}  // namespace

using detail::cut;
using detail::flag;
using detail::flush_out;
using detail::put;

std::string OutputManager::_filter_noise(std::string_view text) {
  const bool maybe_noise = text.find("MallocStackLogging") != std::string_view::npos ||
                           text.find("can't turn off") != std::string_view::npos;
  if (!maybe_noise && !has_other_boundaries(text)) {
    // Already "\n"-separated and clean: only a final line end goes.
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return std::string(text);
  }
  std::string out;
  out.reserve(text.size());
  bool first = true;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::string_view line = text::next_line(text, pos);
    if (maybe_noise && is_noise(line)) continue;
    if (!first) out.push_back('\n');
    out.append(line);
    first = false;
  }
  return out;
}

int OutputManager::log_tool(std::string_view name, std::string_view args) {
  _start_clock_if_unset();
  _stop_indicator();
  int idx;
  {
    std::lock_guard guard(_lock);
    idx = static_cast<int>(state.tool_actions.size());
    state.tool_actions.push_back(ToolAction{std::string(name), std::string(args), "running", ""});
  }
  _emit_event("tool_start", make_payload({{"name", std::string(name)},
                                          {"args", cut(args, 200)},
                                          {"index", std::int64_t{idx}}}));
  std::string_view header = name;
  for (const auto& [tool, word] : TOOL_HEADERS) {
    if (tool == name) header = word;
  }
  put("\n\x1b[1m▪ " + text::terminal_safe(header) + "\x1b[0m \x1b[36m" +
      text::terminal_safe(text::take_chars(args, 80)) + "\x1b[0m\n");
  flush_out();
  _start_indicator();
  return idx;
}

void OutputManager::tool_result(std::string_view raw_result, bool error, std::int64_t idx) {
  _start_clock_if_unset();
  const std::string result = _filter_noise(raw_result);
  std::string name;
  std::string args;
  {
    std::lock_guard guard(_lock);
    const bool known = idx >= 0 && static_cast<std::size_t>(idx) < state.tool_actions.size();
    if (known) {
      ToolAction& action = state.tool_actions[static_cast<std::size_t>(idx)];
      action.status = error ? "error" : "done";
      action.result = result;
      name = action.name;
      args = cut(action.args, 200);
    }
    _core->custom_stage.clear();
  }
  _emit_event("tool_result", make_payload({{"error", flag(error)},
                                           {"index", idx},
                                           {"result", cut(result, 4000)},
                                           {"name", std::move(name)},
                                           {"args", std::move(args)}}));
  _stop_indicator();

  // Preview: the first lines under a tree branch; only the count of the rest is read.
  const std::string_view body = text::strip(result);
  const std::size_t limit = error ? 5 : 8;
  const char* open = error ? "\x1b[31m  └ " : "\x1b[2m  └ ";
  std::size_t shown = 0;
  std::size_t pos = 0;
  while (pos < body.size() && shown < limit) {
    const std::string_view line = text::next_line(body, pos);
    // Colour and cursor sequences of the tool (ls --color) go whole; lone controls show as U+FFFD.
    put(open + text::terminal_safe(text::take_chars(text::strip_escapes(line), 90)) + "\x1b[0m\n");
    ++shown;
  }
  if (!error && pos < body.size()) {
    std::size_t rest = 0;
    while (pos < body.size()) {
      text::next_line(body, pos);
      ++rest;
    }
    put("\x1b[2m    … +" + std::to_string(rest) + " lines\x1b[0m\n");
  }
  flush_out();
  _start_indicator();
}

}  // namespace orvo
