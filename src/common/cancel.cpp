#include "common/cancel.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace orvo {

Canceller::Canceller() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Canceller::~Canceller() {
  ::close(fd_);
}

void Canceller::cancel() {
  cancelled_.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(fd_, &one, sizeof one);
  std::lock_guard g(m_);
  if (wake_) wake_();
}

void Canceller::reset() {
  std::uint64_t v = 0;
  while (::read(fd_, &v, sizeof v) > 0) {
  }
  cancelled_.store(false, std::memory_order_release);
}

void Canceller::attach(std::function<void()> wake) {
  std::lock_guard g(m_);
  wake_ = std::move(wake);
}

void Canceller::detach() {
  std::lock_guard g(m_);
  wake_ = nullptr;
}

CancellableTask::~CancellableTask() {
  stop();
}

void CancellableTask::start(std::function<void(Canceller&)> step) {
  stop();
  shared_ = std::make_shared<Shared>();
  thread_ = std::thread([shared = shared_, step = std::move(step)] {
    try {
      step(shared->canceller);
    } catch (...) {
      // The step reports through its own means; nothing is left to tell here.
    }
    std::lock_guard g(shared->m);
    shared->finished = true;
    shared->cv.notify_all();
  });
}

bool CancellableTask::stop(std::chrono::milliseconds limit) {
  if (!thread_.joinable()) return true;
  shared_->canceller.cancel();
  bool ended = false;
  {
    std::unique_lock lock(shared_->m);
    ended = shared_->cv.wait_for(lock, limit, [&] { return shared_->finished; });
  }
  if (ended) {
    thread_.join();
  } else {
    thread_.detach();  // a step that ignores cancelling: not worth a hang on the way out
  }
  shared_.reset();
  return ended;
}

bool CancellableTask::running() const {
  if (!shared_) return false;
  std::lock_guard g(shared_->m);
  return !shared_->finished;
}

}  // namespace orvo
