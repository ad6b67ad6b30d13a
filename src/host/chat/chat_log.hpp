// The chat's conversation view: a Scrivlet that never takes the keyboard. A click, a drag or the
// wheel in it leaves the focus in the input box, so typing and Enter keep working; the keys that
// move the log (PageUp, PageDown, End) reach the host through the box's key filter.
#pragma once

#include <functional>
#include <utility>

#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::host {

class ChatLog : public tui::Scrivlet {
 public:
  explicit ChatLog(tui::scrivlet::ScrivletOptions options) : Scrivlet(std::move(options)) {
    set_can_focus(false);
  }

  // Called after the wheel moved the log, so the host can tell when the reader is back at the end.
  std::function<void()> on_scrolled;

  bool on_mouse_scroll(const tui::MouseEvent& event) override {
    const bool moved = Scrivlet::on_mouse_scroll(event);
    if (moved && on_scrolled) on_scrolled();
    return moved;
  }
};

}  // namespace orvo::host
