// The chat's own keys, seen before the input box takes them (and again when nothing took them).
#include "common/utf8.hpp"
#include "host/chat/chat_app.hpp"

namespace orvo::host {

void KestravelTUI::copy_selection() {
  if (!log_) return;
  std::string sel = log_->get_selection();
  if (!text::has_visible(sel)) {
    log_->append_info("Nothing selected: drag over the conversation to select text.");
    return;
  }
  log_->_set_clipboard_osc52(sel);
}

bool KestravelTUI::handle_key(const tui::KeyEvent& e) {
  const std::string& k = e.key;
  // Only into an empty box: typed-ahead text that happens to hold a 1 must not approve.
  if (approval_pending_ && (k == "1" || k == "2") && input_ && input_->text().empty()) {
    answer_approval(k == "1");
    return true;
  }
  if (pending_choice_ && !approval_pending_ && (k == "1" || k == "2") && input_ &&
      input_->text().empty()) {
    answer_choice(k);
    return true;
  }
  if (k == "ctrl+c") {
    if (turn_running_) {
      interrupt();
    } else if (input_ && !input_->text().empty()) {
      input_->clear();
    } else {
      exit(0);
    }
    return true;
  }
  if (k == "escape") {
    if (turn_running_) interrupt();
    return true;
  }
  if (k == "ctrl+d" && input_ && input_->text().empty()) {
    exit(0);
    return true;
  }
  if (k == "pageup" || k == "pagedown") {
    if (log_) k == "pageup" ? log_->scroll_page_up() : log_->scroll_page_down();
    reader_scrolled();
    return true;
  }
  // End belongs to the box while it moves the cursor there; once the cursor is at the end of its
  // line (or the box is empty), End takes the reader back to the end of the log. Ctrl+End always.
  if (k == "ctrl+end" || (k == "end" && (!input_ || input_->buffer().at_line_end()))) {
    jump_to_end();
    return true;
  }
  if (k == "ctrl+l") {
    // Redraws the screen and lays the conversation out again, so a log drawn at another width
    // is repaired too.
    reflow_log();
    repaint_all();
    return true;
  }
  if (k == "ctrl+y") {
    copy_selection();
    return true;
  }
  return false;
}

bool KestravelTUI::on_unhandled_key(const tui::KeyEvent& e) {
  if (!has_current_screen() || screen().id() != "chat") return false;
  return handle_key(e);
}

}  // namespace orvo::host
