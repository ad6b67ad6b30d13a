#include "tui/framework/term/stdout_redirect.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <system_error>

namespace orvo::tui {

namespace {

// The saved original of fd 1 while a redirect is active, for the signal paths.
std::atomic<int> g_saved_stdout{-1};

void flush_stdout() noexcept {
  try {
    std::cout.flush();
  } catch (...) {
    // A stream set to throw on a failed flush: nothing to save either way.
  }
  std::fflush(stdout);
}

}  // namespace

StdoutRedirect::StdoutRedirect(int target_fd) {
  if (g_saved_stdout.load() >= 0) {
    throw std::system_error(EBUSY, std::generic_category(),
                            "standard output is redirected already");
  }
  flush_stdout();  // what was written before goes to the original
  const int target = target_fd >= 0 ? target_fd : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (target < 0) throw std::system_error(errno, std::generic_category(), "open /dev/null");
  saved_ = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (saved_ < 0 || ::dup2(target, 1) < 0) {
    const int err = errno;
    if (saved_ >= 0) ::close(saved_);
    saved_ = -1;
    if (target != target_fd) ::close(target);
    throw std::system_error(err, std::generic_category(), "redirect standard output");
  }
  if (target != target_fd) ::close(target);
  g_saved_stdout.store(saved_);
}

StdoutRedirect::~StdoutRedirect() {
  restore();
}

void StdoutRedirect::restore() noexcept {
  if (saved_ < 0) return;
  flush_stdout();  // what the run wrote goes to the target, not to the terminal afterwards
  g_saved_stdout.store(-1);
  while (::dup2(saved_, 1) < 0 && errno == EINTR) {
  }
  ::close(saved_);
  saved_ = -1;
}

void StdoutRedirect::keep() noexcept {
  if (saved_ < 0) return;
  flush_stdout();
  g_saved_stdout.store(-1);
  ::close(saved_);
  saved_ = -1;
}

void restore_stdout_from_signal() noexcept {
  const int saved = g_saved_stdout.load();
  if (saved >= 0) ::dup2(saved, 1);
}

}  // namespace orvo::tui
