#include "tui/widgets/scrivlet/clipboard.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "proc/process.hpp"

namespace orvo::tui::clipboard {

namespace {

using Clock = std::chrono::steady_clock;

std::string errno_text(int err) {
  return std::strerror(err);
}

std::atomic<int> g_pending{0};

// A command that outlived its limit is waited for on a thread of its own, so it never stays a
// zombie and the UI never blocks on it.
void reap_later(pid_t pid) {
  g_pending.fetch_add(1);
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    g_pending.fetch_sub(1);
  }).detach();
}

// Blocks SIGPIPE on this thread while it lives, and throws away a SIGPIPE raised meanwhile, so a
// command that closes its input early cannot end the process.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_set_);
    sigaddset(&pipe_set_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_set_, &old_) == 0;
  }
  ~SigpipeGuard() {
    if (!blocked_) return;
    if (!was_pending_) {
      const timespec zero{0, 0};
      while (sigtimedwait(&pipe_set_, nullptr, &zero) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_set_{};
  sigset_t old_{};
  bool was_pending_ = false;
  bool blocked_ = false;
};

// Like write_all, but gives up at `deadline` (returns "timeout").
std::optional<std::string> write_until(int fd, std::string_view bytes,
                                       std::optional<Clock::time_point> deadline) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int wait_ms = -1;
      if (deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
        if (left.count() <= 0) return std::string("timeout");
        wait_ms = static_cast<int>(left.count());
      }
      pollfd p{fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, wait_ms);
      if (r < 0 && errno != EINTR) return errno_text(errno);
      if (r > 0 && (p.revents & (POLLERR | POLLNVAL)) != 0 && (p.revents & POLLOUT) == 0)
        return std::string("the output was closed");
      continue;
    }
    // write() returning 0 for a non-empty buffer would loop forever.
    return n == 0 ? std::string("nothing was written") : errno_text(errno);
  }
  return std::nullopt;
}

std::string env_or_empty(const std::optional<std::string>& given, const char* name) {
  if (given) return *given;
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const unsigned v = byte(i) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    const unsigned v = (byte(i) << 16) | (byte(i + 1) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string osc52_sequence(std::string_view text) {
  return "\x1b]52;c;" + base64_encode(text) + "\x07";
}

std::optional<std::string> write_all(int fd, std::string_view bytes) {
  return write_until(fd, bytes, std::nullopt);
}

std::optional<std::string> write_device(const std::string& device, std::string_view bytes) {
  const int fd = ::open(device.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return device + ": " + errno_text(errno);
  auto failed = write_all(fd, bytes);
  // close() may report a failed write-back; the descriptor is released either way.
  if (::close(fd) != 0 && !failed && errno != EINTR) failed = errno_text(errno);
  if (failed) return device + ": " + *failed;
  return std::nullopt;
}

std::vector<Command> fallback_commands(const std::string& path, const std::string& wayland_display,
                                       const std::string& display) {
  std::vector<Command> candidates{{"pbcopy", {}}};
  if (!wayland_display.empty()) candidates.push_back({"wl-copy", {}});
  if (!display.empty()) {
    candidates.push_back({"xclip", {"-selection", "clipboard"}});
    candidates.push_back({"xsel", {"--clipboard", "--input"}});
  }
  std::vector<Command> found;
  for (auto& c : candidates)
    if (proc::find_program(c.program, path)) found.push_back(std::move(c));
  return found;
}

std::optional<std::string> run_command(const std::string& executable,
                                       const std::vector<std::string>& args, std::string_view input,
                                       std::chrono::milliseconds time_limit) {
  const std::string name = executable.substr(executable.rfind('/') + 1);
  SigpipeGuard sigpipe_guard;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return name + ": " + errno_text(errno);

  proc::SpawnOptions options;
  options.argv.push_back(executable);
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.stdin_fd = fds[0];
  const proc::Spawned child = proc::spawn(options);
  ::close(fds[0]);
  if (child.pid < 0) {
    ::close(fds[1]);
    return name + ": " + child.error;
  }
  const pid_t pid = child.pid;

  const auto deadline = Clock::now() + time_limit;
  ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  auto write_failure = write_until(fds[1], input, deadline);
  ::close(fds[1]);
  if (write_failure && *write_failure == "timeout") {
    reap_later(pid);
    return name + " did not finish in time";
  }

  int status = 0;
  auto pause = std::chrono::microseconds(200);
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return name + ": " + errno_text(errno);
    if (Clock::now() >= deadline) {
      reap_later(pid);
      return name + " did not finish in time";
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    // A command that exits 0 without reading all of the text did not copy it.
    if (write_failure) return name + ": " + *write_failure;
    return std::nullopt;
  }
  if (WIFEXITED(status)) {
    if (WEXITSTATUS(status) == 127) return name + ": could not be started";
    return name + " exited with status " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) return name + " was ended by signal " + std::to_string(WTERMSIG(status));
  return name + " failed";
}

std::optional<std::string> copy_with_commands(std::string_view text, const Options& options,
                                              const std::string& why) {
  const std::string path = env_or_empty(options.path, "PATH");
  const auto commands =
      fallback_commands(path, env_or_empty(options.wayland_display, "WAYLAND_DISPLAY"),
                        env_or_empty(options.display, "DISPLAY"));
  if (commands.empty()) return why + ", and no clipboard command was found";
  std::optional<std::string> first_failure;
  for (const auto& c : commands) {
    const auto exe = proc::find_program(c.program, path);
    if (!exe) continue;
    auto failure = run_command(*exe, c.args, text, options.time_limit);
    if (!failure) return std::nullopt;
    if (!first_failure) first_failure = failure;
    // A command still running may yet have copied the text; a second one would race it.
    if (failure->ends_with("did not finish in time")) return failure;
  }
  return first_failure;
}

std::optional<std::string> copy(std::string_view text, const Options& options) {
  auto device_failure = write_device(options.device, osc52_sequence(text));
  if (!device_failure) return std::nullopt;
  return copy_with_commands(text, options, *device_failure);
}

int pending_children() {
  return g_pending.load();
}

}  // namespace orvo::tui::clipboard
