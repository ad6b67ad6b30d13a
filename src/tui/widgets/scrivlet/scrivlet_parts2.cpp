// Thinking blocks, approval prompts, turn summaries, mouse selection and the clipboard.
// The renderers and handlers here are placeholders until those features land: they draw
// nothing and select nothing, but the entries are recorded so a replay draws them once they do.
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

void Scrivlet::append_thinking(const std::string& text, bool expanded) {
  const int index = static_cast<int>(_history.size());
  _history.emplace_back("thinking", std::vector<std::string>{text});
  _thinking_states[index] = expanded;
  _render_thinking(text, expanded, index);
}

void Scrivlet::append_approval(const std::string& tool_name, const std::string& command) {
  _history.emplace_back("approval", std::vector<std::string>{tool_name, command});
  _render_approval(tool_name, command);
}

void Scrivlet::append_turn_summary(double elapsed, const std::vector<std::string>& tools,
                                   long long tokens_in, long long tokens_out, double cost_saved) {
  (void)elapsed;
  (void)tools;
  (void)tokens_in;
  (void)tokens_out;
  (void)cost_saved;
  const std::string summary_text;
  _history.emplace_back("turn_summary", std::vector<std::string>{summary_text});
  _render_turn_summary(summary_text);
}

void Scrivlet::_render_thinking(const std::string&, bool, int) {}
void Scrivlet::_handle_thinking_click(int) {}
void Scrivlet::_render_approval(const std::string&, const std::string&) {}
void Scrivlet::_render_turn_summary(const std::string&) {}

void Scrivlet::on_mouse_down(const MouseEvent&) {}
void Scrivlet::on_mouse_move(const MouseEvent&) {}
void Scrivlet::on_mouse_up(const MouseEvent&) {}
Strip Scrivlet::render_line(int y) {
  return RichLog::render_line(y);
}

std::optional<std::tuple<int, int, int, int>> Scrivlet::_sel_range() const {
  return std::nullopt;
}
std::string Scrivlet::_extract_selection() const {
  return "";
}
std::string Scrivlet::get_selection() const {
  return _selected_text;
}
void Scrivlet::_set_clipboard_osc52(const std::string&) {}

}  // namespace orvo::tui::scrivlet
