// A driver without a terminal, for tests and the pilot: a virtual terminal of a given size that
// receives the frames, and an input queue that the test side fills with bytes or events.
//
// The application side (start, stop, size, poll, write_frame) runs on the UI thread; the test side
// (inject_*, resize, screenshot*, frames_written) may run on any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "tui/framework/headless/virtual_terminal.hpp"
#include "tui/framework/term/driver.hpp"
#include "tui/framework/term/input_parser.hpp"

namespace orvo::tui {

class HeadlessDriver final : public Driver {
 public:
  explicit HeadlessDriver(Size size = {80, 24});
  ~HeadlessDriver() override;

  void start() override;
  void stop() override;
  bool running() const override;
  Size size() const override;
  void poll(std::optional<std::chrono::milliseconds> timeout,
            std::vector<InputEvent>& out) override;
  void wake() override;
  void write_frame(std::string_view bytes) override;
  // Fed to the virtual terminal like a frame, and recorded (see written()).
  void write(std::string_view bytes) override;
  // As a terminal driver under NO_COLOR when false (from the next frame on).
  bool colors() const override { return colors_.load(); }
  void set_colors(bool on) { colors_.store(on); }

  // Terminal input as raw bytes, parsed as a terminal's would be (a lone ESC waits for the
  // escape timeout, as on a real terminal).
  void inject_bytes(std::string_view bytes);
  // A ready-made event.
  void inject(InputEvent event);
  // Changes the size of the virtual terminal and queues a ResizeEvent.
  void resize(Size size);

  // Events injected but not yet taken by poll() (held partial sequences not counted).
  std::size_t pending_events() const;
  // True while poll() still has something to deliver: queued events, or held bytes such as a lone
  // ESC that becomes a key after the escape timeout. A pilot waits for this to turn false.
  bool pending_input() const;
  // Frames written since construction (empty frames do not count).
  std::size_t frames_written() const;
  // Everything given to write() (not frames), in order: what a widget sent the terminal directly.
  std::string written() const;

  // The virtual screen: rows joined by "\n", trailing spaces of each row removed when `trim`.
  std::string screenshot(bool trim = true) const;
  std::string screenshot_ansi() const;
  // Runs `fn(const VirtualTerminal&)` under the driver's lock.
  template <typename Fn>
  auto with_terminal(Fn&& fn) const {
    std::lock_guard lock(mutex_);
    return fn(terminal_);
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  VirtualTerminal terminal_;
  InputParser parser_;
  std::deque<InputEvent> queue_;
  std::chrono::steady_clock::time_point escape_since_{};
  std::atomic<bool> colors_{true};
  bool woken_ = false;
  bool running_ = false;
  std::size_t frames_ = 0;
  std::string written_;
};

}  // namespace orvo::tui
