// App: timers of the UI loop and the deadline the loop sleeps until.
#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

#include "tui/framework/widgets/app.hpp"

namespace orvo::tui {

using Clock = std::chrono::steady_clock;

void App::check_timer_thread(const char* what) const {
  // The timer table belongs to the loop; another thread would race with it.
  if (running() && !on_ui_thread()) {
    throw std::logic_error(std::string(what) +
                           ": not on the UI thread (use call_from_thread from other threads)");
  }
}

TimerId App::set_interval(std::chrono::milliseconds interval, std::function<void()> fn) {
  check_timer_thread("set_interval");
  TimerId id = next_timer_++;
  if (interval.count() <= 0) interval = std::chrono::milliseconds(1);
  timers_[id] = Timer{Clock::now() + interval, interval, std::move(fn)};
  return id;
}

TimerId App::set_timer(std::chrono::milliseconds delay, std::function<void()> fn) {
  check_timer_thread("set_timer");
  TimerId id = next_timer_++;
  timers_[id] = Timer{Clock::now() + delay, std::chrono::milliseconds(0), std::move(fn)};
  return id;
}

void App::cancel_timer(TimerId id) {
  check_timer_thread("cancel_timer");
  timers_.erase(id);
}

void App::run_timers() {
  auto now = Clock::now();
  std::vector<TimerId> due;
  for (auto& [id, t] : timers_) {
    if (t.due <= now) due.push_back(id);
  }
  for (TimerId id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled by an earlier callback
    auto fn = it->second.fn;
    if (it->second.interval.count() > 0) {
      // Next tick from now: a loop that fell behind does not fire a burst.
      it->second.due = now + it->second.interval;
    } else {
      timers_.erase(it);
    }
    fn();
  }
}

std::optional<std::chrono::milliseconds> App::time_to_next_deadline() const {
  std::optional<Clock::time_point> next;
  for (const auto& [id, t] : timers_) {
    if (!next || t.due < *next) next = t.due;
  }
  if (holding_frames()) {
    // No frame before the terminal's answer or the end of the hold.
    if (!next || background_hold_until_ < *next) next = background_hold_until_;
  } else if (dirty_ || layout_dirty_) {
    auto frame = last_frame_ + kFrameInterval;
    if (!next || frame < *next) next = frame;
  }
  if (!next) return std::nullopt;
  auto d = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
  return std::max(d, std::chrono::milliseconds(0));
}

}  // namespace orvo::tui
