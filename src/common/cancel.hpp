// Cancellation shared by blocking steps (HTTP transfers, child processes): a flag, an eventfd that
// poll() loops wait on, and a waker for a loop that sleeps elsewhere (an HTTP transfer registers
// one that wakes its curl multi handle), called at once by cancel().
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

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

}  // namespace orvo
