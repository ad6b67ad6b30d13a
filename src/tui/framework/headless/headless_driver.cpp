#include "tui/framework/headless/headless_driver.hpp"

#include "tui/framework/term/terminal_driver.hpp"

namespace orvo::tui {

namespace {

// The mode switches of a real run with every option on, so the virtual screen's modes match.
std::string enter_sequence() {
  return session_mode_sequence(TerminalOptions{}, true);
}

std::string leave_sequence() {
  return "\x1b[0m" + session_mode_sequence(TerminalOptions{}, false);
}

}  // namespace

HeadlessDriver::HeadlessDriver(Size size) : terminal_(size) {}

HeadlessDriver::~HeadlessDriver() {
  stop();
}

void HeadlessDriver::start() {
  std::lock_guard lock(mutex_);
  if (running_) return;
  running_ = true;
  terminal_.feed(enter_sequence());
}

void HeadlessDriver::stop() {
  std::lock_guard lock(mutex_);
  if (!running_) return;
  running_ = false;
  terminal_.feed(leave_sequence());
}

bool HeadlessDriver::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

Size HeadlessDriver::size() const {
  std::lock_guard lock(mutex_);
  return terminal_.size();
}

void HeadlessDriver::poll(std::optional<std::chrono::milliseconds> timeout,
                          std::vector<InputEvent>& out) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(mutex_);
  const auto deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
  while (true) {
    if (!queue_.empty()) {
      for (auto& e : queue_) out.push_back(std::move(e));
      queue_.clear();
      return;
    }
    if (woken_) {
      woken_ = false;
      return;
    }
    auto until = deadline;
    if (parser_.pending_escape()) {
      const auto escape_at = escape_since_ + InputParser::kEscapeTimeout;
      if (Clock::now() >= escape_at) {
        std::vector<InputEvent> flushed;
        parser_.flush(flushed);
        for (auto& e : flushed) queue_.push_back(std::move(e));
        continue;
      }
      until = std::min(until, escape_at);
    }
    if (until == Clock::time_point::max()) {
      cv_.wait(lock);
    } else {
      cv_.wait_until(lock, until);
    }
    // At the caller's deadline with nothing to report: return (a held escape waits for the
    // next poll, which flushes it in time).
    if (Clock::now() >= deadline && queue_.empty() && !woken_) return;
  }
}

void HeadlessDriver::wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  cv_.notify_all();
}

void HeadlessDriver::write_frame(std::string_view bytes) {
  if (bytes.empty()) return;
  std::lock_guard lock(mutex_);
  terminal_.feed(bytes);
  ++frames_;
}

void HeadlessDriver::write(std::string_view bytes) {
  if (bytes.empty()) return;
  std::lock_guard lock(mutex_);
  terminal_.feed(bytes);
  written_.append(bytes);
}

std::string HeadlessDriver::written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

void HeadlessDriver::inject_bytes(std::string_view bytes) {
  {
    std::lock_guard lock(mutex_);
    std::vector<InputEvent> events;
    parser_.feed(bytes, events);
    for (auto& e : events) queue_.push_back(std::move(e));
    if (parser_.pending_escape()) escape_since_ = std::chrono::steady_clock::now();
  }
  cv_.notify_all();
}

void HeadlessDriver::inject(InputEvent event) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(event));
  }
  cv_.notify_all();
}

void HeadlessDriver::resize(Size size) {
  {
    std::lock_guard lock(mutex_);
    terminal_.resize(size);
    queue_.push_back(ResizeEvent{size.width, size.height});
  }
  cv_.notify_all();
}

std::size_t HeadlessDriver::pending_events() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

bool HeadlessDriver::pending_input() const {
  std::lock_guard lock(mutex_);
  return !queue_.empty() || parser_.pending_escape();
}

std::size_t HeadlessDriver::frames_written() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::string HeadlessDriver::screenshot(bool trim) const {
  std::lock_guard lock(mutex_);
  return terminal_.screenshot(trim);
}

std::string HeadlessDriver::screenshot_ansi() const {
  std::lock_guard lock(mutex_);
  return terminal_.screenshot_ansi();
}

}  // namespace orvo::tui
