// Copying the selection: through the running application's terminal (OSC 52), else straight to
// the terminal device or a local clipboard command. A failure is told in the conversation, or
// to on_copied when the host listens.
#include <exception>
#include <optional>

#include "common/utf8.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/widgets/scrivlet/clipboard.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

void Scrivlet::_set_clipboard_osc52(const std::string& text) {
  std::optional<std::string> failure;
  App* a = clipboard_through_app ? app() : nullptr;
  if (a && a->running()) {
    try {
      a->write_to_terminal(clipboard::osc52_sequence(text));
    } catch (const std::exception& e) {
      failure = clipboard::copy_with_commands(text, clipboard_options,
                                              std::string("the terminal: ") + e.what());
    }
  } else {
    failure = clipboard::copy(text, clipboard_options);
  }
  if (on_copied) {
    on_copied(text::count_chars(text), failure);
  } else if (failure) {
    append_info("Could not copy the selection: " + *failure);
  }
}

}  // namespace orvo::tui::scrivlet
