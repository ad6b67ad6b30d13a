// User prompts, queued prompts, notes and errors: one styled item each, its wrapped and further
// lines indented under its text.
#include "tui/framework/text/themed.hpp"
#include "tui/widgets/scrivlet/hanging.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

void Scrivlet::append_user(const std::string& text) {
  _history.emplace_back("user", std::vector<std::string>{text});
  _draw_entry(_history.size() - 1, false, [&] { _render_user(text); });
}

void Scrivlet::append_queued(const std::string& text) {
  _history.emplace_back("queued", std::vector<std::string>{text});
  _draw_entry(_history.size() - 1, false, [&] { _render_queued(text); });
}

void Scrivlet::append_info(const std::string& text) {
  _history.emplace_back("info", std::vector<std::string>{text});
  _draw_entry(_history.size() - 1, false, [&] { _render_info(text); });
}

void Scrivlet::append_error(const std::string& text) {
  _history.emplace_back("error", std::vector<std::string>{text});
  _draw_entry(_history.size() - 1, false, [&] { _render_error(text); });
}

void Scrivlet::_render_user(const std::string& text) {
  const ThemeKind theme = _theme();
  const Style &mark = themed("bold #5f87ff", theme), &body = themed("bold white", theme);
  write(Text(""));
  _track_lines();
  Text lead;
  lead.append("❯ ", mark);
  write(HangingText(lead, spaces(2), Text(text, body)));
  _track_lines();
}

void Scrivlet::_render_queued(const std::string& text) {
  const ThemeKind theme = _theme();
  const Style &mark = themed("dim yellow", theme), &body = themed("dim italic", theme);
  write(Text(""));
  _track_lines();
  Text lead;
  lead.append("  ↻ ", mark);
  Text t;
  t.append(text, body);
  t.append("  (queued)", mark);
  write(HangingText(lead, spaces(4), t));
  _track_lines();
}

void Scrivlet::_render_info(const std::string& text) {
  const ThemeKind theme = _theme();
  const Style& dim = themed("dim", theme);
  write(Text(""));
  _track_lines();
  write(HangingText(Text("  ", dim), Text("  ", dim), Text(text, dim)));
  _track_lines();
}

void Scrivlet::_render_error(const std::string& text) {
  const ThemeKind theme = _theme();
  const Style &mark = themed("bold red", theme), &body = themed("red", theme);
  Text lead;
  lead.append("  ✗ ", mark);
  write(HangingText(lead, spaces(4), Text(text, body)));
  _track_lines();
}

}  // namespace orvo::tui::scrivlet
