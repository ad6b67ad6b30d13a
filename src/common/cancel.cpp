#include "common/cancel.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

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

}  // namespace orvo
