#include "agent/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace orvo::agent {

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

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::string p = path;
  std::size_t start = 0;
  while (start <= p.size()) {
    const auto end = p.find(':', start);
    const std::string dir =
        p.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
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
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
  posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
  // Own process group, so a timeout or cancel reaches everything the command started; default
  // signal handling, whatever the host changed for itself.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &fa, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    res.start_error = argv[0] + ": " + std::strerror(rc);
    return res;
  }
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

}  // namespace orvo::agent
