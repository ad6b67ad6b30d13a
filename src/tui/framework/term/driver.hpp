// The application's view of a terminal: start and stop the UI modes, the size, input events and
// frames out. TerminalDriver (terminal_driver.hpp) drives a real terminal; HeadlessDriver
// (headless_driver.hpp) a virtual one for tests.
//
// The UI thread's loop, in outline:
//
//   driver.start();                       // raw mode, alternate screen, mouse, paste ...
//   FrameDiffer comp(driver.size());
//   std::vector<InputEvent> events;
//   while (running) {
//     events.clear();
//     driver.poll(time_until_next_timer_or_frame, events);  // blocks; no busy loop
//     for (auto& e : events) {
//       if (auto* r = std::get_if<ResizeEvent>(&e)) comp.resize({r->width, r->height});
//       else if (std::holds_alternative<RedrawEvent>(e)) comp.invalidate();
//       dispatch(e);
//     }
//     run_posted_messages_and_due_timers();
//     if (something_visible_changed && frame_interval_passed) {
//       draw_dirty_widgets(comp.frame());
//       driver.write_frame(comp.render());
//     }
//   }
//   driver.stop();                        // also done by the destructor
//
// Other threads call driver.wake() after queueing a message so that poll() returns at once.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>
#include <vector>

#include "tui/framework/term/events.hpp"
#include "tui/framework/term/geometry.hpp"

namespace orvo::tui {

class Driver {
 public:
  virtual ~Driver() = default;

  // Enters the UI modes. Throws std::system_error when the terminal cannot be used.
  virtual void start() = 0;
  // Leaves the UI modes and restores the terminal as it was before start(). Idempotent; also
  // called by the destructors, so an exception that unwinds past the driver restores it too.
  virtual void stop() = 0;
  virtual bool running() const = 0;

  // The terminal size in cells (at least 1x1 once started).
  virtual Size size() const = 0;

  // Waits until input events are available, wake() is called, or `timeout` passes (nullopt: no
  // limit), then appends the complete events to `out` (possibly none). Returns at once when
  // events are already waiting. Handles the lone-Escape timeout itself: a held ESC is turned into
  // the Escape key after InputParser::kEscapeTimeout even when `timeout` is longer. Call from the
  // UI thread only. Throws (std::system_error or std::runtime_error) when the terminal went away;
  // the driver is stopped then.
  virtual void poll(std::optional<std::chrono::milliseconds> timeout,
                    std::vector<InputEvent>& out) = 0;

  // Makes a poll() in progress (or the next one) return. Callable from any thread.
  virtual void wake() = 0;

  // Writes one frame (the frame differ's bytes) in one write, wrapped in synchronized output where
  // the terminal supports it. Nothing is written for an empty frame.
  virtual void write_frame(std::string_view bytes) = 0;

  // Writes bytes to the terminal outside a frame, in one write (an OSC 52 clipboard sequence,
  // say). They must not move the cursor or change what is shown: the frame differ does not know
  // about them. UI thread only.
  virtual void write(std::string_view bytes) = 0;

  // Whether frames may carry colours (false under NO_COLOR: attributes only).
  virtual bool colors() const { return true; }
};

}  // namespace orvo::tui
