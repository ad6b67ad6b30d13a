// Cancellation shared by blocking steps (HTTP transfers, child processes): a flag, an eventfd that
// poll() loops wait on, and a waker for a loop that sleeps elsewhere (an HTTP transfer registers
// one that wakes its curl multi handle), called at once by cancel().
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace orvo {

class Canceller {
 public:
  Canceller();
  ~Canceller();
  Canceller(const Canceller&) = delete;
  Canceller& operator=(const Canceller&) = delete;

  // Any thread.
  void cancel();
  bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }
  // Worker: clears the flag before a new turn.
  void reset();
  // Readable while cancelled; for poll().
  int fd() const { return fd_; }

  // The waker of the step currently running (none: nothing to wake); cancel() calls it under a
  // lock, so after detach() returns it is not called any more.
  void attach(std::function<void()> wake);
  void detach();

 private:
  std::atomic<bool> cancelled_{false};
  int fd_ = -1;
  std::mutex m_;
  std::function<void()> wake_;
};

// One blocking step on a thread of its own that its owner can stop: stop() cancels it and waits
// for it, so a step inside a library (an HTTP transfer) never runs on while the process exits
// under it. A step that does not heed its Canceller is waited for only up to stop()'s limit and
// then left to finish on its own (it holds nothing of the owner's but the shared state).
class CancellableTask {
 public:
  CancellableTask() = default;
  ~CancellableTask();
  CancellableTask(const CancellableTask&) = delete;
  CancellableTask& operator=(const CancellableTask&) = delete;

  // Stops the step that runs (as stop() does), then runs `step` on a new thread. What `step`
  // throws is swallowed.
  void start(std::function<void(Canceller&)> step);
  // Cancels the running step and waits up to `limit` for it to end; true when it has ended (or
  // none ran). Idempotent.
  bool stop(std::chrono::milliseconds limit = kStopLimit);
  bool running() const;

  static constexpr std::chrono::milliseconds kStopLimit{3000};

 private:
  struct Shared {
    Canceller canceller;
    std::mutex m;
    std::condition_variable cv;
    bool finished = false;
  };
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace orvo
