// A program run for real on the slave side of a pseudo-terminal, for tests that drive the
// kestravel binary as a user's terminal would: bytes in, every byte it writes kept.
#pragma once

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace orvo::testing {

class ProgramOnATerminal {
 public:
  // Runs `args` (args[0] the program's path) in `dir` on a cols×rows terminal. The environment is
  // `env` alone when `clean_env`, else the test's own with `env`'s NAME=value entries in place.
  ProgramOnATerminal(std::vector<std::string> args, std::vector<std::string> env, bool clean_env,
                     const std::filesystem::path& dir, int cols, int rows) {
    if (!clean_env) {
      for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& mine : env)
          replaced = replaced || (mine.size() > name.size() && mine.starts_with(name) &&
                                  mine[name.size()] == '=');
        if (!replaced) env.emplace_back(entry);
      }
    }
    // Built before the fork: the child only calls what is safe after it.
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string where = dir.string();
    struct winsize ws {};
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    pid_ = ::forkpty(&master_, nullptr, nullptr, &ws);
    if (pid_ == 0) {
      if (::chdir(where.c_str()) != 0) ::_exit(126);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
  }
  ~ProgramOnATerminal() {
    if (pid_ > 0 && !reaped_) kill9();
    if (master_ >= 0) ::close(master_);
  }
  ProgramOnATerminal(const ProgramOnATerminal&) = delete;
  ProgramOnATerminal& operator=(const ProgramOnATerminal&) = delete;

  bool started() const { return pid_ > 0; }
  void send(std::string_view bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads what the program writes until `done()` holds or the limit passes.
  bool read_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      read_some(50);
    }
    return true;
  }
  void drain(std::chrono::milliseconds d) {
    const auto end = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < end) read_some(20);
  }
  // The exit status once it ends within the limit, else -1.
  int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      read_some(20);
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
    }
    return -1;
  }
  void kill9() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  // Every byte written so far.
  const std::string& output() const { return output_; }

 private:
  void read_some(int ms) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return;
    char buf[4096];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0) output_.append(buf, static_cast<std::size_t>(n));
  }

  int master_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string output_;
};

}  // namespace orvo::testing
