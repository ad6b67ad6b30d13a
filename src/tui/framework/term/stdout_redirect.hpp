// Points file descriptor 1 (and so std::cout and printf) somewhere else while a full-screen UI
// owns the terminal: one stray write to standard output would scroll the screen under the frame
// differ, which never repairs it.
//
//   StdoutRedirect r;        // discards (opens /dev/null)
//   StdoutRedirect r(fd);    // to a descriptor of the caller's (duplicated; the caller keeps fd)
//   r.restore();             // or the destructor: fd 1 is the original again
//
// While one is active, the terminal driver's signal and crash paths put the original back too
// (restore_stdout_from_signal, async-signal-safe). One at a time per process.
#pragma once

namespace orvo::tui {

class StdoutRedirect {
 public:
  // Throws std::system_error when the descriptors cannot be set up (fd 1 is untouched then).
  explicit StdoutRedirect(int target_fd = -1);
  ~StdoutRedirect();
  StdoutRedirect(const StdoutRedirect&) = delete;
  StdoutRedirect& operator=(const StdoutRedirect&) = delete;

  // Flushes what was written meanwhile (to the target) and puts the original fd 1 back.
  // Idempotent.
  void restore() noexcept;
  // Leaves fd 1 pointed away for the rest of the process: for a thread that could not be stopped
  // and may still write. The destructor then restores nothing.
  void keep() noexcept;

 private:
  int saved_ = -1;
};

// Puts the original fd 1 back from a signal handler (dup2 only). No effect without a redirect.
void restore_stdout_from_signal() noexcept;

}  // namespace orvo::tui
