#include "tui/framework/headless/pilot.hpp"

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "common/utf8.hpp"

namespace orvo::tui {

KeyEvent key_event(std::string_view key) {
  KeyEvent e;
  e.key = std::string(key);
  std::string_view rest = key;
  e.modifiers = take_modifier_prefixes(rest);  // a lone "+" is a key
  if (e.modifiers & (kModCtrl | kModAlt)) return e;
  if (rest == "space") {
    e.character.assign(1, ' ');
  } else if (text::count_chars(rest) == 1 && static_cast<unsigned char>(rest[0]) >= 0x20) {
    e.character = std::string(rest);
  }
  return e;
}

Pilot::Pilot(App& app, Size size) : app_(app), driver_(size) {
  app_.start(driver_);
  try {
    wait_idle();
  } catch (...) {
    app_.finish();  // the driver goes with this pilot
    throw;
  }
}

Pilot::~Pilot() {
  app_.finish();
}

void Pilot::send(InputEvent event) {
  driver_.inject(std::move(event));
  wait_idle();
}

void Pilot::press(std::string_view key) {
  send(key_event(key));
}

void Pilot::press(std::initializer_list<std::string_view> keys) {
  for (auto k : keys) press(k);
}

void Pilot::type(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t start = pos;
    char32_t cp = text::decode(text, pos);
    if (cp == ' ') {
      press("space");
    } else if (cp == '\n' || cp == '\r') {
      press("enter");
    } else if (cp == '\t') {
      press("tab");
    } else {
      press(text.substr(start, pos - start));
    }
  }
}

void Pilot::send_bytes(std::string_view bytes) {
  driver_.inject_bytes(bytes);
  wait_idle();
}

void Pilot::paste(std::string text) {
  send(PasteEvent{std::move(text)});
}

static MouseEvent mouse(MouseKind kind, MouseButton button, int x, int y) {
  MouseEvent e;
  e.kind = kind;
  e.button = button;
  e.x = x;
  e.y = y;
  return e;
}

void Pilot::mouse_down(int x, int y, MouseButton b) {
  send(mouse(MouseKind::Down, b, x, y));
}
void Pilot::mouse_move(int x, int y, MouseButton b) {
  send(mouse(MouseKind::Move, b, x, y));
}
void Pilot::mouse_up(int x, int y, MouseButton b) {
  send(mouse(MouseKind::Up, b, x, y));
}

void Pilot::click(int x, int y, MouseButton b) {
  mouse_down(x, y, b);
  mouse_up(x, y, b);
}

void Pilot::click(std::string_view selector, int x, int y) {
  const Region r = app_.query_one(selector).content_region();
  click(r.x + x, r.y + y);
}

void Pilot::drag(int x0, int y0, int x1, int y1) {
  mouse_down(x0, y0);
  const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
  for (int i = 1; i <= steps; ++i) {
    mouse_move(x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps);
  }
  mouse_up(x1, y1);
}

void Pilot::scroll_down(int x, int y, int times) {
  for (int i = 0; i < times; ++i) send(mouse(MouseKind::ScrollDown, MouseButton::None, x, y));
}

void Pilot::scroll_up(int x, int y, int times) {
  for (int i = 0; i < times; ++i) send(mouse(MouseKind::ScrollUp, MouseButton::None, x, y));
}

void Pilot::resize(int width, int height) {
  driver_.resize(Size{width, height});
  wait_idle();
}

void Pilot::wait_idle() {
  // A bounded number of turns: an application that never settles (a handler that always
  // refreshes) still returns here.
  for (int i = 0; i < 10000 && !app_.exiting(); ++i) {
    // Held bytes (a lone ESC) turn into a key only after the escape timeout: wait for it.
    const bool held = driver_.pending_events() == 0 && driver_.pending_input();
    app_.step(std::chrono::milliseconds(held ? 10 : 0), true);
    if (!driver_.pending_input() && app_.idle()) return;
  }
}

bool Pilot::wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    wait_idle();
    if (done()) return true;
    if (app_.exiting()) return false;
    auto now = std::chrono::steady_clock::now();
    if (now >= end) return false;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now);
    app_.step(std::min(left, std::chrono::milliseconds(50)), true);
  }
}

void Pilot::pause(std::chrono::milliseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (!app_.exiting()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= end) break;
    app_.step(std::chrono::ceil<std::chrono::milliseconds>(end - now), true);
  }
  wait_idle();
}

std::string Pilot::screenshot(bool trim) {
  wait_idle();
  return driver_.screenshot(trim);
}

std::string Pilot::screenshot_ansi() {
  wait_idle();
  return driver_.screenshot_ansi();
}

}  // namespace orvo::tui
