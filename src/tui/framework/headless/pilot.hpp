// Headless testing: runs an application on a virtual terminal and drives it like a user.
//
//   MyApp app;
//   Pilot pilot(app, {80, 24});        // starts the app headless and waits until it is idle
//   pilot.press("pagedown");
//   pilot.type("hello");
//   pilot.click(10, 5);
//   EXPECT_EQ(pilot.screenshot(), "...");
//
// The pilot runs the application's loop on the calling thread (that thread is the UI thread):
// every action is followed by wait_idle(), which handles the input, the posted messages and the
// due timers and draws the pending frame. Messages posted by other threads are waited for with
// wait_until().
#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "tui/framework/headless/headless_driver.hpp"
#include "tui/framework/widgets/app.hpp"

namespace orvo::tui {

class Pilot {
 public:
  explicit Pilot(App& app, Size size = {80, 24});
  ~Pilot();
  Pilot(const Pilot&) = delete;
  Pilot& operator=(const Pilot&) = delete;

  App& app() { return app_; }
  HeadlessDriver& driver() { return driver_; }

  // Keys by name ("q", "enter", "pagedown", "ctrl+c", "space", "shift+tab"), one after another.
  void press(std::string_view key);
  void press(std::initializer_list<std::string_view> keys);
  // Each character of `text` as a key press.
  void type(std::string_view text);
  // Terminal input as raw bytes (parsed like a terminal's).
  void send_bytes(std::string_view bytes);
  void paste(std::string text);

  // Mouse, in screen cells.
  void mouse_down(int x, int y, MouseButton button = MouseButton::Left);
  void mouse_move(int x, int y, MouseButton button = MouseButton::Left);
  void mouse_up(int x, int y, MouseButton button = MouseButton::Left);
  void click(int x, int y, MouseButton button = MouseButton::Left);
  // A click at (x, y) of the content area of the widget matching `selector` on the current
  // screen (throws NoMatches when there is none).
  void click(std::string_view selector, int x = 0, int y = 0);
  // Press at (x0, y0), move to (x1, y1) through the cells between, release there.
  void drag(int x0, int y0, int x1, int y1);
  void scroll_down(int x, int y, int times = 1);
  void scroll_up(int x, int y, int times = 1);

  void resize(int width, int height);

  // Runs the loop until no input, message or frame is pending (timers may still be armed).
  void wait_idle();
  // Runs the loop until `done()` (checked after each turn) or `timeout`; false on timeout.
  bool wait_until(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Lets `duration` pass with the loop running (for timers and animations).
  void pause(std::chrono::milliseconds duration);

  // The virtual screen (rows joined by "\n"; trailing spaces removed when `trim`).
  std::string screenshot(bool trim = true);
  std::string screenshot_ansi();

  bool exited() const { return app_.exiting(); }

 private:
  void send(InputEvent event);

  App& app_;
  HeadlessDriver driver_;
};

// The KeyEvent the input layer reports for key name `key` ("a", "enter", "ctrl+x", "space").
KeyEvent key_event(std::string_view key);

}  // namespace orvo::tui
