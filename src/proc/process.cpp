#include "proc/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace orvo::proc {

namespace {

using Clock = std::chrono::steady_clock;

// Keeps the first half of the cap and a rolling last half.
class CappedOutput {
 public:
  explicit CappedOutput(std::size_t cap) : head_cap_(cap / 2), tail_cap_(cap - cap / 2) {}
  void add(const char* p, std::size_t n) {
    const std::size_t to_head = std::min(n, head_cap_ - std::min(head_cap_, head_.size()));
    head_.append(p, to_head);
    p += to_head;
    n -= to_head;
    if (n == 0) return;
    tail_.append(p, n);
    if (tail_.size() > 2 * tail_cap_ + 4096) trim();
  }
  std::string finish(std::size_t& dropped) {
    trim();
    dropped = dropped_;
    if (dropped_ == 0) return head_ + tail_;
    // Cut at line boundaries so no half line (or half UTF-8 character) is shown.
    std::string tail = tail_;
    if (const auto nl = tail.find('\n'); nl != std::string::npos && nl + 1 < tail.size()) {
      dropped += nl + 1;
      tail.erase(0, nl + 1);
    }
    std::string head = head_;
    if (const auto nl = head.rfind('\n'); nl != std::string::npos) {
      dropped += head.size() - nl - 1;
      head.erase(nl + 1);
    }
    dropped_ = dropped;
    return head + "\n[... " + std::to_string(dropped) + " bytes of output left out ...]\n" + tail;
  }

 private:
  void trim() {
    if (tail_.size() > tail_cap_) {
      dropped_ += tail_.size() - tail_cap_;
      tail_.erase(0, tail_.size() - tail_cap_);
    }
  }
  std::size_t head_cap_, tail_cap_;
  std::string head_, tail_;
  std::size_t dropped_ = 0;
};

bool reap(pid_t pid, int& status, bool block) {
  while (true) {
    const pid_t r = ::waitpid(pid, &status, block ? 0 : WNOHANG);
    if (r == pid) return true;
    if (r == 0) return false;
    if (errno == EINTR) continue;
    return true;  // ECHILD: someone else reaped it; nothing to wait for
  }
}

void kill_group(pid_t pgid, pid_t pid, int& status, bool& reaped) {
  ::kill(-pgid, SIGTERM);
  const auto until = Clock::now() + std::chrono::milliseconds(300);
  while (Clock::now() < until) {
    if (reap(pid, status, false)) {
      reaped = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(-pgid, SIGKILL);  // also whatever the group started in the background
  if (!reaped) reaped = reap(pid, status, true);
}

constexpr std::size_t kExitSlots = 256;
std::atomic<pid_t> g_exit_groups[kExitSlots];
static_assert(std::atomic<pid_t>::is_always_lock_free, "signal handlers need lock-free slots");

}  // namespace

bool group_alive(pid_t pgid) {
  return pgid > 0 && (::kill(-pgid, 0) == 0 || errno == EPERM);
}

void end_groups(const std::vector<pid_t>& pgids, std::chrono::milliseconds grace) {
  std::vector<pid_t> alive;
  for (const pid_t g : pgids) {
    if (group_alive(g) && ::kill(-g, SIGTERM) == 0) alive.push_back(g);
  }
  const auto until = Clock::now() + grace;
  while (!alive.empty() && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::erase_if(alive, [](pid_t g) { return !group_alive(g); });
  }
  for (const pid_t g : alive) ::kill(-g, SIGKILL);
}

void note_exit_group(pid_t pgid) {
  for (auto& slot : g_exit_groups) {
    pid_t empty = 0;
    if (slot.compare_exchange_strong(empty, pgid)) return;
  }
}

void forget_exit_group(pid_t pgid) {
  for (auto& slot : g_exit_groups) {
    pid_t expected = pgid;
    slot.compare_exchange_strong(expected, 0);
  }
}

void kill_exit_groups_now() noexcept {
  for (auto& slot : g_exit_groups) {
    const pid_t g = slot.exchange(0);
    if (g > 0) ::kill(-g, SIGKILL);
  }
}

std::optional<std::string> find_program(std::string_view program, std::string_view path) {
  const auto runnable = [](const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(file.c_str(), X_OK) == 0;
  };
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string_view::npos) {
    std::string file(program);
    if (runnable(file)) return file;
    return std::nullopt;
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view dir = path.substr(start, end - start);
    if (!dir.empty() && dir.front() == '/') {
      std::string file(dir);
      if (file.back() != '/') file += '/';
      file += program;
      if (runnable(file)) return file;
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::string> find_program(std::string_view program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  return find_program(program, path);
}

bool on_path(std::string_view program) {
  return find_program(program).has_value();
}

Spawned spawn(const SpawnOptions& options) {
  Spawned out;
  if (options.argv.empty()) {
    out.error = "nothing to run";
    return out;
  }
  // A relative path names a file in the directory the child starts in, as execvp would read it.
  const std::string& name = options.argv.front();
  const bool relative_path = name.find('/') != std::string::npos && name.front() != '/';
  const auto executable =
      find_program(relative_path && !options.cwd.empty() ? (options.cwd / name).string() : name);
  if (!executable) {
    out.error = std::strerror(ENOENT);
    return out;
  }
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&attr);
  const auto wire = [&fa](int fd, int target, int null_flags) {
    if (fd < 0) {
      posix_spawn_file_actions_addopen(&fa, target, "/dev/null", null_flags, 0);
    } else {
      posix_spawn_file_actions_adddup2(&fa, fd, target);
    }
  };
  wire(options.stdin_fd, 0, O_RDONLY);
  wire(options.stdout_fd, 1, O_WRONLY);
  wire(options.stderr_fd, 2, O_WRONLY);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, options.cwd.c_str());
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.own_group) {
    posix_spawnattr_setpgroup(&attr, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, flags);
  std::vector<char*> args;
  args.reserve(options.argv.size() + 1);
  for (const auto& a : options.argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, executable->c_str(), &fa, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    out.error = std::strerror(rc);
    return out;
  }
  out.pid = pid;
  return out;
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                          std::chrono::milliseconds timeout, std::size_t cap,
                          Canceller& canceller) {
  ProcessResult res;
  if (argv.empty()) {
    res.start_error = "nothing to run";
    return res;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    res.start_error = std::string("pipe: ") + std::strerror(errno);
    return res;
  }
  // Own process group, so a timeout or cancel reaches everything the command started.
  SpawnOptions spawn_options;
  spawn_options.argv = argv;
  spawn_options.stdout_fd = fds[1];
  spawn_options.stderr_fd = fds[1];
  spawn_options.cwd = cwd;
  spawn_options.own_group = true;
  const Spawned child = spawn(spawn_options);
  ::close(fds[1]);
  if (child.pid < 0) {
    ::close(fds[0]);
    res.start_error = argv[0] + ": " + child.error;
    return res;
  }
  const pid_t pid = child.pid;
  res.started = true;
  res.pgid = pid;

  CappedOutput out(cap);
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  bool reaped = false;
  bool pipe_open = true;
  Clock::time_point exited_at{};
  char buf[16384];
  while (true) {
    if (canceller.cancelled()) {
      res.cancelled = true;
      break;
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      res.timed_out = true;
      break;
    }
    if (!reaped && reap(pid, status, false)) {
      reaped = true;
      exited_at = now;
    }
    // A background process may keep the pipe open after the command itself has ended: read
    // what is there for a moment, then stop waiting for it.
    if (reaped && (!pipe_open || now - exited_at > std::chrono::milliseconds(200))) break;
    if (!pipe_open) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    pollfd p[2] = {{fds[0], POLLIN, 0}, {canceller.fd(), POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    const int wait = static_cast<int>(std::clamp<long long>(left.count(), 1, reaped ? 20 : 50));
    const int n = ::poll(p, 2, wait);
    if (n < 0 && errno != EINTR) break;
    if (n > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t r = ::read(fds[0], buf, sizeof buf);
      if (r > 0) {
        out.add(buf, static_cast<std::size_t>(r));
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        pipe_open = false;
      }
    }
  }
  ::close(fds[0]);
  if (res.cancelled || res.timed_out) {
    kill_group(pid, pid, status, reaped);
  } else if (!reaped) {
    reaped = reap(pid, status, true);
  }
  if (reaped) {
    if (WIFEXITED(status)) res.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) res.signal = WTERMSIG(status);
  }
  res.output = out.finish(res.dropped);
  return res;
}

}  // namespace orvo::proc
