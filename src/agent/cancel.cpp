#include "agent/cancel.hpp"

#include <curl/curl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

namespace orvo::agent {

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
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

void Canceller::reset() {
  std::uint64_t v = 0;
  while (::read(fd_, &v, sizeof v) > 0) {
  }
  cancelled_.store(false, std::memory_order_release);
}

void Canceller::attach(CURLM* multi) {
  std::lock_guard g(m_);
  multi_ = multi;
}

void Canceller::detach() {
  std::lock_guard g(m_);
  multi_ = nullptr;
}

}  // namespace orvo::agent
