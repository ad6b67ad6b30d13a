// App: key and mouse input, from the driver's events to widgets, bindings and actions.
#include "tui/framework/widgets/app.hpp"

#include <algorithm>
#include <variant>

#include "tui/framework/term/background.hpp"
#include "tui/framework/term/events.hpp"
#include "tui/framework/widgets/screen.hpp"

namespace orvo::tui {

void App::dispatch_input(const InputEvent& e) {
  if (auto* k = std::get_if<KeyEvent>(&e)) {
    if (!stack_.empty()) dispatch_key(*k);
  } else if (auto* m = std::get_if<MouseEvent>(&e)) {
    if (!stack_.empty()) dispatch_mouse(*m);
  } else if (auto* p = std::get_if<PasteEvent>(&e)) {
    if (focused_) focused_->on_paste(p->text);
  } else if (auto* r = std::get_if<ResizeEvent>(&e)) {
    size_ = Size{std::max(1, r->width), std::max(1, r->height)};
    if (frame_differ_) frame_differ_->resize(size_);
    invalidate_layout();
  } else if (std::holds_alternative<RedrawEvent>(e)) {
    if (frame_differ_) frame_differ_->invalidate();
    refresh();
  } else if (auto* c = std::get_if<ColorReplyEvent>(&e)) {
    // Only the answer to start()'s query counts: the terminal's background is read once.
    if (awaiting_background_ && c->slot == 11 &&
        std::chrono::steady_clock::now() < background_deadline_) {
      awaiting_background_ = false;
      set_theme(theme_for_background(*c));
    }
  } else if (std::holds_alternative<DeviceAttributesEvent>(e)) {
    // Terminals answer in order: this one came first, so no colour answer is on its way.
    awaiting_background_ = false;
  }
}

void App::dispatch_key(const KeyEvent& e) {
  Screen& s = screen();
  auto try_bindings = [&](Widget* owner) {
    for (const auto& b : owner->bindings()) {
      if (!b.matches(e.key)) continue;
      if (owner->run_action(b.action) || run_action(b.action)) return true;
    }
    return false;
  };
  Widget* f = focused_;
  if (f && f->on_key(e)) return;
  for (Widget* w = f; w && w != &s; w = w->parent()) {
    if (try_bindings(w)) return;
  }
  if (try_bindings(&s)) return;
  for (const auto& b : bindings_) {
    if (b.matches(e.key) && run_action(b.action)) return;
  }
  if (e.key == "tab") {
    focus_next(1);
    return;
  }
  if (e.key == "shift+tab") {
    focus_next(-1);
    return;
  }
  if (e.key == "ctrl+l") {
    repaint_all();
    return;
  }
  on_unhandled_key(e);
}

Widget* App::widget_at(Widget& root, int x, int y) {
  if (root.styles_.display == Display::None || !root.region_.contains(x, y)) return nullptr;
  // Docked children are drawn last, so they are on top; later siblings over earlier ones.
  const auto& ch = root.children();
  for (int pass = 0; pass < 2; ++pass) {
    for (auto it = ch.rbegin(); it != ch.rend(); ++it) {
      bool docked = (*it)->styles_.dock.value_or(Dock::None) != Dock::None;
      if (docked != (pass == 0)) continue;
      if (!root.content_.contains(x, y)) continue;
      if (Widget* hit = widget_at(**it, x, y)) return hit;
    }
  }
  return &root;
}

void App::dispatch_mouse(const MouseEvent& e) {
  if (too_small()) return;  // nothing under the pointer is what is drawn
  Widget* target = captured_ ? captured_ : widget_at(screen(), e.x, e.y);
  if (!target) return;
  MouseEvent local = e;
  local.x = e.x - target->content_.x;
  local.y = e.y - target->content_.y;
  switch (e.kind) {
    case MouseKind::Down:
      if (target->can_focus()) set_focus(target);
      target->on_mouse_down(local);
      break;
    case MouseKind::Move:
      target->on_mouse_move(local);
      break;
    case MouseKind::Up:
      target->on_mouse_up(local);
      break;
    case MouseKind::ScrollUp:
    case MouseKind::ScrollDown:
      for (Widget* w = target; w; w = w->parent()) {
        MouseEvent rel = e;
        rel.x = e.x - w->content_.x;
        rel.y = e.y - w->content_.y;
        if (w->on_mouse_scroll(rel)) break;
      }
      break;
  }
}

}  // namespace orvo::tui
