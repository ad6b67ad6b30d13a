#include "tui/widgets/scrivlet/formatting.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "common/utf8.hpp"

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
