// The chat's own keys, seen before the input box takes them (and again when nothing took them).
#include "common/utf8.hpp"
#include "host/chat/chat_app.hpp"

namespace orvo::host {

namespace {

using namespace std::chrono_literals;

// How long "copied N characters" and the like stay in the status row.
constexpr auto kNoteTime = 3s;
// A second Ctrl+C within this time quits.
constexpr auto kQuitWindow = 2s;

}  // namespace

void KestravelTUI::copy_selection() {
  if (!log_) return;
  std::string sel = log_->get_selection();
  if (!text::has_visible(sel)) {
    // In the status row, not the log: a key that copies nothing must not move the reader.
    show_note("nothing selected: drag over the conversation to select text", kNoteTime);
    return;
  }
  log_->_set_clipboard_osc52(sel);
}

void KestravelTUI::copied(std::size_t characters, const std::optional<std::string>& failure) {
  if (failure) {
    show_note("copy failed: " + *failure, 2 * kNoteTime);
  } else {
    show_note(
        "copied " + std::to_string(characters) + (characters == 1 ? " character" : " characters"),
        kNoteTime);
  }
}

bool KestravelTUI::handle_key(const tui::KeyEvent& e) {
  const std::string& k = e.key;
  if (k != "ctrl+c" && quit_armed_until_ != std::chrono::steady_clock::time_point{}) {
    // Any other key disarms quitting: the second Ctrl+C must follow the first.
    quit_armed_until_ = {};
    clear_note();
  }
  if (menu_key(e)) return true;
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
    } else if (std::chrono::steady_clock::now() < quit_armed_until_) {
      exit(0);
    } else {
      // One stray Ctrl+C (meant for a turn that just ended, say) must not end the session.
      quit_armed_until_ = std::chrono::steady_clock::now() + kQuitWindow;
      show_note("press Ctrl+C again to quit", kQuitWindow);
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
  if (k == "ctrl+o") {
    if (log_) log_->toggle_tool_output();
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
