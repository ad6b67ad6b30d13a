// Cancellation shared by the agent's blocking steps: a flag, an eventfd that poll() loops wait on,
// and the curl multi handle of a running transfer, which is woken at once.
#pragma once

#include <atomic>
#include <mutex>

#include <curl/curl.h>

namespace orvo::agent {

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

  // The transfer currently running (nullptr: none); cancel() wakes its poll.
  void attach(CURLM* multi);
  void detach();

 private:
  std::atomic<bool> cancelled_{false};
  int fd_ = -1;
  std::mutex m_;
  CURLM* multi_ = nullptr;
};

}  // namespace orvo::agent
