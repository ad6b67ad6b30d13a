// label: threaded
// The terminal driver on a pseudo-terminal: modes on and off, raw mode and its exact restore,
// input, synchronized output, resize, and the restore after signals (in child processes).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tui/framework/term/terminal_driver.hpp"

namespace orvo::tui {
namespace {

using namespace std::chrono_literals;

class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    grantpt(master_);
    unlockpt(master_);
    name_ = ptsname(master_);
    // Hold the slave open so that the driver's close does not hang up the line.
    slave_ = ::open(name_.c_str(), O_RDWR | O_NOCTTY);
    winsize ws{};
    ws.ws_col = 100;
    ws.ws_row = 30;
    ioctl(master_, TIOCSWINSZ, &ws);
  }
  ~Pty() {
    ::close(slave_);
    ::close(master_);
  }
  const std::string& name() const { return name_; }
  int slave() const { return slave_; }

  // Everything the driver wrote so far.
  std::string output() {
    std::string out;
    pollfd p{master_, POLLIN, 0};
    while (::poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
      char buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  void type(std::string_view bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void resize(int w, int h) {
    winsize ws{};
    ws.ws_col = static_cast<unsigned short>(w);
    ws.ws_row = static_cast<unsigned short>(h);
    ioctl(master_, TIOCSWINSZ, &ws);
  }
  termios attrs() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string name_;
};

bool same_termios(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

const char kEnter[] =
    "\x1b[?1049h\x1b[?25l\x1b[?1000h\x1b[?1002h\x1b[?1006h\x1b[?2004h\x1b[?2026$p";
const char kReset[] =
    "\x1b[?2026l\x1b[0m\x1b[?2004l\x1b[?1006l\x1b[?1002l\x1b[?1000l\x1b[?25h\x1b[?1049l";

std::string poll_text(TerminalDriver& d, std::chrono::milliseconds timeout) {
  std::vector<InputEvent> events;
  d.poll(timeout, events);
  std::string s;
  for (const auto& e : events) s += (s.empty() ? "" : " ") + describe(e);
  return s;
}

TerminalOptions options(const Pty& pty, bool signals = false) {
  TerminalOptions o;
  o.device = pty.name();
  o.handle_signals = signals;
  return o;
}

TEST(TerminalDriver, EntersAndRestoresExactly) {
  Pty pty;
  const termios before = pty.attrs();
  {
    TerminalDriver d(options(pty));
    d.start();
    EXPECT_EQ(pty.output(), kEnter);
    EXPECT_EQ(d.size(), (Size{100, 30}));
    const termios raw = pty.attrs();
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(raw.c_iflag & (ICRNL | IXON), 0u);
    d.stop();
    EXPECT_EQ(pty.output(), kReset);
    EXPECT_TRUE(same_termios(before, pty.attrs()));
    d.stop();  // idempotent
    EXPECT_EQ(pty.output(), "");
  }
}

// The driver and the headless driver share one list of modes: whatever the options, the driver
// enters exactly that list and its reset leaves every one of them.
TEST(TerminalDriver, EntersAndLeavesTheSessionModesOfItsOptions) {
  for (int bits = 0; bits < 8; ++bits) {
    Pty pty;
    TerminalOptions o = options(pty);
    o.mouse = bits & 1;
    o.bracketed_paste = bits & 2;
    o.alternate_screen = bits & 4;
    o.sync = TerminalOptions::Sync::Off;
    TerminalDriver d(o);
    d.start();
    EXPECT_EQ(pty.output(), session_mode_sequence(o, true)) << bits;
    d.stop();
    EXPECT_EQ(pty.output(), "\x1b[0m" + session_mode_sequence(o, false)) << bits;
    // Leaving undoes entering, mode by mode.
    std::string undone;
    const auto modes = session_modes(o);
    for (auto it = modes.rbegin(); it != modes.rend(); ++it) {
      undone += mode_sequence(it->mode, !it->on);
    }
    EXPECT_EQ(session_mode_sequence(o, false), undone);
    EXPECT_EQ(modes.size(), 1u + (o.mouse ? 3 : 0) + o.bracketed_paste + o.alternate_screen);
  }
}

TEST(TerminalDriver, DestructorRestoresWhenAnExceptionUnwinds) {
  Pty pty;
  const termios before = pty.attrs();
  try {
    TerminalDriver d(options(pty));
    d.start();
    throw std::runtime_error("boom");
  } catch (const std::runtime_error&) {
  }
  const std::string out = pty.output();
  EXPECT_NE(out.find(kReset), std::string::npos);
  EXPECT_TRUE(same_termios(before, pty.attrs()));
}

TEST(TerminalDriver, ParsesInputAndFlushesALoneEscape) {
  Pty pty;
  TerminalDriver d(options(pty));
  d.start();
  pty.type("a\x1b[<0;3;4M\x1b[200~x\ry\x1b[201~");
  EXPECT_EQ(poll_text(d, 1000ms), "key(a 'a') mouse(down left 2,3) paste(\"x\\x0dy\")");
  pty.type("\x1b");
  EXPECT_EQ(poll_text(d, 1000ms), "key(escape)");
}

TEST(TerminalDriver, SynchronizedOutputOnceTheTerminalSaysItKnowsIt) {
  Pty pty;
  TerminalDriver d(options(pty));
  d.start();
  pty.output();
  d.write_frame("A");
  EXPECT_EQ(pty.output(), "A");
  pty.type("\x1b[?2026;2$y");
  EXPECT_EQ(poll_text(d, 200ms), "");
  EXPECT_TRUE(d.synchronized_output());
  d.write_frame("B");
  EXPECT_EQ(pty.output(), "\x1b[?2026hB\x1b[?2026l");
}

TEST(TerminalDriver, SynchronizedOutputStaysOffForATerminalThatLacksIt) {
  Pty pty;
  TerminalDriver d(options(pty));
  d.start();
  pty.type("\x1b[?2026;0$y");
  poll_text(d, 200ms);
  EXPECT_FALSE(d.synchronized_output());
}

TEST(TerminalDriver, WakeFromAnotherThread) {
  Pty pty;
  TerminalDriver d(options(pty));
  d.start();
  std::thread t([&] {
    std::this_thread::sleep_for(20ms);
    d.wake();
  });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(poll_text(d, 5000ms), "");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2000ms);
  t.join();
}

TEST(TerminalDriver, WindowChangeSignalGivesAResize) {
  Pty pty;
  TerminalDriver d(options(pty, true));
  d.start();
  pty.resize(120, 40);
  raise(SIGWINCH);  // the pty is not our controlling terminal, so the kernel sends nothing
  EXPECT_EQ(poll_text(d, 1000ms), "resize(120x40)");
  EXPECT_EQ(d.size(), (Size{120, 40}));
}

// Runs `body` with a started driver in a child process; returns its wait status.
template <typename Body>
int in_child(Pty& pty, Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    TerminalDriver d(options(pty, true));
    d.start();
    body(d);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(TerminalDriver, CrashSignalRestoresTheTerminal) {
  Pty pty;
  const termios before = pty.attrs();
  const int status = in_child(pty, [](TerminalDriver&) { raise(SIGABRT); });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  const std::string out = pty.output();
  EXPECT_EQ(out.substr(out.size() - std::strlen(kReset)), kReset);
  EXPECT_TRUE(same_termios(before, pty.attrs()));
}

TEST(TerminalDriver, TerminationSignalRestoresInTheLoopAndEnds) {
  Pty pty;
  const termios before = pty.attrs();
  const int status = in_child(pty, [](TerminalDriver& d) {
    raise(SIGTERM);
    std::vector<InputEvent> events;
    d.poll(1000ms, events);  // restores, then the signal ends the process
    _exit(3);
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  const std::string out = pty.output();
  EXPECT_EQ(out.substr(out.size() - std::strlen(kReset)), kReset);
  EXPECT_TRUE(same_termios(before, pty.attrs()));
}

TEST(TerminalDriver, SecondTerminationSignalRestoresInTheHandler) {
  Pty pty;
  const termios before = pty.attrs();
  const int status = in_child(pty, [](TerminalDriver&) {
    raise(SIGHUP);  // the loop is busy elsewhere and does not see it
    raise(SIGHUP);
    _exit(3);
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGHUP);
  const std::string out = pty.output();
  EXPECT_EQ(out.substr(out.size() - std::strlen(kReset)), kReset);
  EXPECT_TRUE(same_termios(before, pty.attrs()));
}

TEST(TerminalDriver, SuspendRestoresAndResumeReenters) {
  Pty pty;
  const termios before = pty.attrs();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // stop only this child
    TerminalDriver d(options(pty, true));
    d.start();
    pty.output();
    [[maybe_unused]] const ssize_t n = ::write(ready[1], "r", 1);  // raw mode is on now
    std::vector<InputEvent> events;
    d.poll(10000ms, events);  // the parent types Ctrl+Z; after SIGCONT: redraw and resize
    const bool ok = events.size() == 2 && std::holds_alternative<RedrawEvent>(events[0]) &&
                    std::holds_alternative<ResizeEvent>(events[1]);
    _exit(ok ? 0 : 1);
  }
  char r = 0;
  ASSERT_EQ(::read(ready[0], &r, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  pty.type("\x1a");  // Ctrl+Z
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(status));
  EXPECT_EQ(pty.output(), kReset);
  EXPECT_TRUE(same_termios(before, pty.attrs()));
  kill(pid, SIGCONT);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string again = pty.output();
  EXPECT_NE(again.find("\x1b[?1049h\x1b[?25l"), std::string::npos);
}

}  // namespace
}  // namespace orvo::tui
