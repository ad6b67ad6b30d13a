#include "tui/framework/term/terminal_driver.hpp"
#include "tui/framework/term/stdout_redirect.hpp"
#include "tui/framework/text/sgr_filter.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace orvo::tui {

namespace {

// Synchronized output: BSU (begin) and ESU (end) as DECSET/DECRST 2026.
constexpr std::string_view kBeginSync = "\x1b[?2026h";
constexpr std::string_view kEndSync = "\x1b[?2026l";
// DECRQM: ask whether the terminal knows mode 2026; the reply is CSI ? 2026 ; Ps $ y.
constexpr std::string_view kQuerySync = "\x1b[?2026$p";
// SGR 0: default colours and attributes.
constexpr std::string_view kResetStyle = "\x1b[0m";

// ---- State shared with the signal handlers. Plain data only; set before handlers go in. ----
constexpr int kCrashSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
constexpr int kTermSignals[] = {SIGTERM, SIGHUP, SIGINT};
constexpr int kFlagSignals[] = {SIGWINCH, SIGTSTP, SIGCONT};
// Every other signal whose default action ends the process (with or without a core). Handled only
// while its disposition is the default: a program that ignores or handles one keeps doing so.
constexpr int kFatalByDefault[] = {
    SIGQUIT,   SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ,
    SIGVTALRM, SIGPROF, SIGSYS,  SIGTRAP, SIGPIPE, SIGIO,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};
bool g_fatal_installed[65];  // which of them (and of the real-time signals) have our handler

volatile sig_atomic_t g_winch = 0;
volatile sig_atomic_t g_tstp = 0;
volatile sig_atomic_t g_cont = 0;
volatile sig_atomic_t g_term = 0;  // the termination signal received, 0 if none
int g_fd = -1;                     // the terminal, for the emergency reset
int g_wake = -1;                   // the wake-up pipe's write end
termios g_saved{};
char g_reset[256];
std::size_t g_reset_len = 0;
struct sigaction g_old[65];  // the dispositions before start(), by signal number
TerminalDriver* g_active = nullptr;

void wake_fd(int fd) {
  if (fd < 0) return;
  const char b = 1;
  const int saved = errno;
  [[maybe_unused]] const ssize_t n = ::write(fd, &b, 1);  // a full pipe is awake already
  errno = saved;
}

// Restores the terminal from a handler: one write of the precomputed reset, then the termios.
void emergency_restore() {
  restore_stdout_from_signal();
  if (g_fd < 0) return;
  std::size_t off = 0;
  while (off < g_reset_len) {
    const ssize_t n = ::write(g_fd, g_reset + off, g_reset_len - off);
    if (n > 0) {
      off += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::tcsetattr(g_fd, TCSANOW, &g_saved);
}

void reraise(int sig) {
  ::sigaction(sig, &g_old[sig], nullptr);
  ::raise(sig);
}

void crash_handler(int sig) {
  emergency_restore();
  g_fd = -1;
  reraise(sig);  // delivered when this handler returns (the signal is blocked while it runs)
}

void term_handler(int sig) {
  if (g_term != 0) {  // the loop did not get to the first one: do it here
    emergency_restore();
    g_fd = -1;
    reraise(sig);
    return;
  }
  g_term = sig;
  wake_fd(g_wake);
}

void flag_handler(int sig) {
  if (sig == SIGWINCH) g_winch = 1;
  if (sig == SIGTSTP) g_tstp = 1;
  if (sig == SIGCONT) g_cont = 1;
  wake_fd(g_wake);
}

void set_handler(int sig, void (*fn)(int), bool save) {
  struct sigaction sa {};
  sa.sa_handler = fn;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(sig, &sa, save ? &g_old[sig] : nullptr);
}

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

std::string mode_sequence(TerminalMode mode, bool on) {
  // DECSET is CSI ? n h, DECRST is CSI ? n l.
  return "\x1b[?" + std::to_string(static_cast<int>(mode)) + (on ? "h" : "l");
}

std::vector<ModeSwitch> session_modes(const TerminalOptions& options) {
  std::vector<ModeSwitch> modes;
  if (options.alternate_screen) modes.push_back({TerminalMode::AlternateScreen, true});
  modes.push_back({TerminalMode::CursorVisible, false});
  if (options.mouse) {
    modes.push_back({TerminalMode::MousePress, true});
    modes.push_back({TerminalMode::MouseDrag, true});
    modes.push_back({TerminalMode::MouseSgr, true});
  }
  if (options.bracketed_paste) modes.push_back({TerminalMode::BracketedPaste, true});
  return modes;
}

std::string session_mode_sequence(const TerminalOptions& options, bool entering) {
  const std::vector<ModeSwitch> modes = session_modes(options);
  std::string out;
  if (entering) {
    for (const ModeSwitch& m : modes) out += mode_sequence(m.mode, m.on);
  } else {
    for (auto it = modes.rbegin(); it != modes.rend(); ++it)
      out += mode_sequence(it->mode, !it->on);
  }
  return out;
}

TerminalDriver::TerminalDriver(TerminalOptions options) : options_(std::move(options)) {
  if (::pipe2(wake_pipe_, O_NONBLOCK | O_CLOEXEC) != 0) throw_errno("pipe");
  sync_ = options_.sync == TerminalOptions::Sync::On;
}

TerminalDriver::~TerminalDriver() {
  stop();
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
}

void TerminalDriver::start() {
  if (running_) return;
  if (g_active != nullptr) throw std::logic_error("another terminal driver is running");
  fd_ = ::open(options_.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) throw_errno(options_.device.c_str());
  if (::tcgetattr(fd_, &saved_) != 0) {
    const int err = errno;
    ::close(fd_);
    fd_ = -1;
    throw std::system_error(err, std::generic_category(), "not a terminal");
  }

  // The reset undoes the modes in the reverse order of entering them.
  reset_.clear();
  if (options_.sync != TerminalOptions::Sync::Off) reset_ += kEndSync;
  reset_ += kResetStyle;
  reset_ += session_mode_sequence(options_, false);

  g_active = this;
  g_fd = fd_;
  g_wake = wake_pipe_[1];
  g_saved = saved_;
  g_reset_len = std::min(reset_.size(), sizeof g_reset);
  std::memcpy(g_reset, reset_.data(), g_reset_len);
  g_winch = 0;
  g_tstp = 0;
  g_cont = 0;
  g_term = 0;
  running_ = true;
  if (options_.handle_signals) install_handlers();
  parser_.reset();
  try {
    enter_modes();
  } catch (...) {
    stop();
    throw;
  }
  if (options_.sync == TerminalOptions::Sync::Query) write_all(kQuerySync);
  size_ = query_size();
}

void TerminalDriver::stop() {
  if (!running_) return;
  leave_modes();
  if (options_.handle_signals) remove_handlers();
  g_fd = -1;
  g_wake = -1;
  g_active = nullptr;
  ::close(fd_);
  fd_ = -1;
  running_ = false;
  // A termination signal that the loop has not acted on yet gets its original disposition now.
  const int pending = g_term;
  g_term = 0;
  if (pending != 0) {
    restore_stdout_from_signal();  // the process may end here
    ::raise(pending);
  }
}

namespace {

template <class F>
void for_each_fatal_by_default(F&& fn) {
  for (int s : kFatalByDefault) fn(s);
  for (int s = SIGRTMIN; s <= SIGRTMAX && s < 65; ++s) fn(s);
}

}  // namespace

void TerminalDriver::install_handlers() {
  for_each_fatal_by_default([](int s) {
    struct sigaction current {};
    g_fatal_installed[s] = false;
    if (::sigaction(s, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
        (current.sa_flags & SA_SIGINFO) != 0)
      return;
    set_handler(s, crash_handler, true);
    g_fatal_installed[s] = true;
  });
  for (int s : kCrashSignals) set_handler(s, crash_handler, true);
  for (int s : kTermSignals) set_handler(s, term_handler, true);
  for (int s : kFlagSignals) set_handler(s, flag_handler, true);
}

void TerminalDriver::remove_handlers() {
  for_each_fatal_by_default([](int s) {
    if (g_fatal_installed[s]) ::sigaction(s, &g_old[s], nullptr);
    g_fatal_installed[s] = false;
  });
  for (int s : kCrashSignals) ::sigaction(s, &g_old[s], nullptr);
  for (int s : kTermSignals) ::sigaction(s, &g_old[s], nullptr);
  for (int s : kFlagSignals) ::sigaction(s, &g_old[s], nullptr);
}

void TerminalDriver::enter_modes() {
  termios raw = saved_;
  // Raw mode: bytes arrive one by one, unechoed, untranslated; no signals from keys (Ctrl+C,
  // Ctrl+Z arrive as keys) and no output processing.
  raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF);
  raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  raw.c_cflag |= CS8;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(fd_, TCSANOW, &raw) != 0) throw_errno("tcsetattr");
  modes_on_ = true;

  write_all(session_mode_sequence(options_, true));
}

void TerminalDriver::leave_modes() {
  if (!modes_on_) return;
  modes_on_ = false;
  try {
    write_all(reset_);
  } catch (const std::system_error&) {
    // The terminal is gone; the termios below is all that is left to restore.
  }
  // TCSAFLUSH: once the reset is out, drop input still pending (mouse reports, late replies),
  // so none of it reaches the shell as junk.
  ::tcsetattr(fd_, TCSAFLUSH, &saved_);
}

Size TerminalDriver::query_size() const {
  winsize ws{};
  if (fd_ >= 0 && ::ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0)
    return Size{ws.ws_col, ws.ws_row};
  return Size{80, 24};
}

void TerminalDriver::write_all(std::string_view bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + off, bytes.size() - off);
    if (n > 0) {
      off += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      if (errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    } else {
      throw_errno("write to terminal");
    }
  }
}

void TerminalDriver::write(std::string_view bytes) {
  if (running_ && !bytes.empty()) write_all(bytes);
}

bool TerminalDriver::colors() const {
  return options_.colors ? *options_.colors : !no_color_requested();
}

void TerminalDriver::write_frame(std::string_view bytes) {
  if (!running_ || bytes.empty()) return;
  if (!sync_) {
    write_all(bytes);
    return;
  }
  frame_.clear();
  frame_.reserve(bytes.size() + kBeginSync.size() + kEndSync.size());
  frame_ += kBeginSync;
  frame_ += bytes;
  frame_ += kEndSync;
  write_all(frame_);
}

void TerminalDriver::wake() {
  wake_fd(wake_pipe_[1]);
}

void TerminalDriver::suspend(std::vector<InputEvent>& out) {
  if (!running_) return;
  leave_modes();
  // Stop the whole process group as the terminal's Ctrl+Z would, with the default action.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  struct sigaction ours {};
  ::sigaction(SIGTSTP, &dfl, &ours);
  ::kill(0, SIGTSTP);
  // Here after SIGCONT.
  ::sigaction(SIGTSTP, &ours, nullptr);
  g_tstp = 0;
  g_cont = 0;
  parser_.reset();
  enter_modes();
  size_ = query_size();
  out.emplace_back(RedrawEvent{});
  out.emplace_back(ResizeEvent{size_.width, size_.height});
}

bool TerminalDriver::handle_signal_flags(std::vector<InputEvent>& out) {
  if (g_term != 0) {
    stop();  // restores, then re-raises the signal with the disposition from before start()
    return true;
  }
  if (g_tstp) {
    g_tstp = 0;
    suspend(out);
  }
  if (g_cont) {
    // Stopped and continued by someone else: the shell may have changed the terminal.
    g_cont = 0;
    enter_modes();
    parser_.reset();
    size_ = query_size();
    out.emplace_back(RedrawEvent{});
    out.emplace_back(ResizeEvent{size_.width, size_.height});
    g_winch = 0;
  }
  if (g_winch) {
    g_winch = 0;
    const Size s = query_size();
    if (s != size_) {
      size_ = s;
      out.emplace_back(ResizeEvent{size_.width, size_.height});
    }
  }
  return !out.empty();
}

void TerminalDriver::read_input(std::vector<InputEvent>& out) {
  char buf[4096];
  const ssize_t n = ::read(fd_, buf, sizeof buf);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    const int err = errno;
    stop();
    throw std::system_error(err, std::generic_category(), "read from terminal");
  }
  if (n == 0) {
    stop();
    throw std::runtime_error("the terminal was closed");
  }
  last_input_ = std::chrono::steady_clock::now();
  const std::size_t first = out.size();
  parser_.feed(std::string_view(buf, static_cast<std::size_t>(n)), out);
  for (const auto& r : parser_.take_mode_reports()) {
    // 1 set, 2 reset, 3 permanently set: the terminal knows the mode. 0 unknown, 4 permanently
    // reset: it does not.
    if (r.mode == static_cast<int>(TerminalMode::SynchronizedOutput) &&
        options_.sync == TerminalOptions::Sync::Query)
      sync_ = r.value >= 1 && r.value <= 3;
  }
  if (!options_.ctrl_z_suspends) return;
  for (std::size_t i = first; i < out.size(); ++i) {
    const auto* k = std::get_if<KeyEvent>(&out[i]);
    if (k && k->key == "ctrl+z") {
      out.erase(out.begin() + static_cast<std::ptrdiff_t>(i));
      g_tstp = 1;  // handled by the next round of the loop, after the events before it
      wake();
      break;
    }
  }
}

void TerminalDriver::poll(std::optional<std::chrono::milliseconds> timeout,
                          std::vector<InputEvent>& out) {
  using Clock = std::chrono::steady_clock;
  const std::size_t first = out.size();
  const auto start = Clock::now();
  while (running_) {
    if (handle_signal_flags(out) && out.size() > first) return;
    if (!running_) return;

    const auto now = Clock::now();
    int wait_ms = -1;
    if (timeout) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(start + *timeout - now).count();
      wait_ms = static_cast<int>(std::max<long long>(0, left));
    }
    if (parser_.pending_escape()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            last_input_ + InputParser::kEscapeTimeout - now)
                            .count();
      if (left <= 0) {
        parser_.flush(out);
        if (out.size() > first) return;
        continue;
      }
      wait_ms = wait_ms < 0 ? static_cast<int>(left) : std::min(wait_ms, static_cast<int>(left));
    }

    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    const int r = ::poll(fds, 2, wait_ms);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw_errno("poll");
    }
    bool woken = false;
    if (fds[1].revents & POLLIN) {
      char buf[64];
      while (::read(wake_pipe_[0], buf, sizeof buf) > 0) {
      }
      woken = true;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) read_input(out);
    if (out.size() > first) return;
    if (g_tstp || g_cont || g_winch || g_term) continue;  // the wake-up came from a signal
    if (woken) return;
    if (timeout && Clock::now() - start >= *timeout) return;
  }
}

}  // namespace orvo::tui
