// label: threaded
#include "tui/widgets/scrivlet/clipboard.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace cb = orvo::tui::clipboard;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

TEST(ClipboardBase64, Rfc4648Vectors) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& c : cases) EXPECT_EQ(cb::base64_encode(c.in), c.out) << c.in;
  // High bytes, both index-62/63 characters, UTF-8 text, and no line breaks in long output.
  EXPECT_EQ(cb::base64_encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
  EXPECT_EQ(cb::base64_encode(std::string("\0\0\0", 3)), "AAAA");
  EXPECT_EQ(cb::base64_encode("héllo 界"), "aMOpbGxvIOeVjA==");
  const auto long_out = cb::base64_encode(std::string(10000, 'x'));
  EXPECT_EQ(long_out.find('\n'), std::string::npos);
  EXPECT_EQ(long_out.size(), 13336u);
}

TEST(ClipboardOsc52, SequenceBytes) {
  EXPECT_EQ(cb::osc52_sequence("hi"), "\x1b]52;c;aGk=\x07");
  EXPECT_EQ(cb::osc52_sequence(""), "\x1b]52;c;\x07");
}

// Reads from `fd` until `count` bytes arrived or nothing comes for a while.
std::string read_bytes(int fd, std::size_t count) {
  std::string got;
  char buf[65536];
  while (got.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

TEST(ClipboardOsc52, ExactBytesReachAPty) {
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  // Raw output: the bytes must arrive as written, without the line discipline's translation.
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  // A selection far larger than the pty's buffer: the writer blocks and resumes several times.
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + " ✓\n";
  const std::string expected = cb::osc52_sequence(text);
  std::string got;
  std::thread reader([&] { got = read_bytes(master, expected.size()); });
  cb::Options options;
  options.device = name;
  options.path = "";  // no fallback may run
  EXPECT_EQ(cb::copy(text, options), std::nullopt);
  reader.join();
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  EXPECT_EQ(got.substr(0, 7), "\x1b]52;c;");
  EXPECT_EQ(got.back(), '\x07');
  ::close(slave);
  ::close(master);
}

TEST(ClipboardOsc52, WriteAllGoesOnAfterPartialWrites) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  // A non-blocking pipe accepts only what fits and returns short counts and EAGAIN.
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  const std::string payload(1 << 20, 'z');
  std::string got;
  std::thread reader([&] {
    std::this_thread::sleep_for(20ms);  // let the writer fill the pipe first
    got = read_bytes(fds[0], payload.size());
  });
  EXPECT_EQ(cb::write_all(fds[1], payload), std::nullopt);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  EXPECT_EQ(got.size(), payload.size());
}

TEST(ClipboardOsc52, DeviceFailuresAreReported) {
  auto r = cb::write_device("/nonexistent/tty", "x");
  ASSERT_TRUE(r);
  EXPECT_NE(r->find("/nonexistent/tty"), std::string::npos);
  // /dev/full opens but every write fails with ENOSPC.
  if (::access("/dev/full", W_OK) == 0) {
    auto full = cb::write_device("/dev/full", "abc");
    ASSERT_TRUE(full);
    EXPECT_NE(full->find("/dev/full"), std::string::npos);
  }
}

// A folder of fake clipboard commands.
class FakeCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kv-clip-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void script(const std::string& name, const std::string& body) {
    const auto p = dir_ / name;
    std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(p, fs::perms::owner_all);
  }
  std::string out(const std::string& name) const { return (dir_ / name).string(); }
  std::string slurp(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  cb::Options options(std::string wayland = "", std::string display = "") const {
    cb::Options o;
    o.device = "/nonexistent/tty";
    o.path = dir_.string();
    o.wayland_display = std::move(wayland);
    o.display = std::move(display);
    o.time_limit = 1500ms;
    return o;
  }

  fs::path dir_;
};

TEST_F(FakeCommands, ChoiceFollowsTheEnvironment) {
  script("wl-copy", "exit 0");
  script("xclip", "exit 0");
  script("xsel", "exit 0");
  using V = std::vector<cb::Command>;
  const cb::Command wl{"wl-copy", {}}, xclip{"xclip", {"-selection", "clipboard"}},
      xsel{"xsel", {"--clipboard", "--input"}};
  EXPECT_EQ(cb::fallback_commands(dir_.string(), "", ""), V{});
  EXPECT_EQ(cb::fallback_commands(dir_.string(), "wayland-0", ""), V{wl});
  EXPECT_EQ(cb::fallback_commands(dir_.string(), "", ":0"), (V{xclip, xsel}));
  EXPECT_EQ(cb::fallback_commands(dir_.string(), "wayland-0", ":0"), (V{wl, xclip, xsel}));
  script("pbcopy", "exit 0");
  EXPECT_EQ(cb::fallback_commands(dir_.string(), "", "").front().program, "pbcopy");
}

TEST_F(FakeCommands, CommandReceivesExactlyTheText) {
  script("xclip", "cat > '" + out("got") + "'\necho noise; echo noise >&2");
  const std::string text = "first line\n  ✓ 界 \t tab\n\nlast without newline";
  EXPECT_EQ(cb::copy(text, options("", ":0")), std::nullopt);
  EXPECT_EQ(slurp("got"), text);
}

TEST_F(FakeCommands, ArgumentsArePassedWithoutAShell) {
  script("xclip", "printf '%s|' \"$@\" > '" + out("args") + "'; cat >/dev/null");
  EXPECT_EQ(cb::copy("x", options("", ":0")), std::nullopt);
  EXPECT_EQ(slurp("args"), "-selection|clipboard|");
}

TEST_F(FakeCommands, AFailingCommandFallsThroughToTheNext) {
  script("xclip", "cat >/dev/null; exit 3");
  script("xsel", "cat > '" + out("got") + "'");
  EXPECT_EQ(cb::copy("hello", options("", ":0")), std::nullopt);
  EXPECT_EQ(slurp("got"), "hello");
}

TEST_F(FakeCommands, FailuresAreReturnedNotThrown) {
  // No command at all.
  auto none = cb::copy("x", options());
  ASSERT_TRUE(none);
  EXPECT_NE(none->find("no clipboard command"), std::string::npos);
  // Non-zero exit.
  script("wl-copy", "cat >/dev/null; exit 4");
  auto status = cb::copy("x", options("wayland-0"));
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, "wl-copy exited with status 4");
}

TEST_F(FakeCommands, CommandThatClosesItsInputEarlyDoesNotKillUs) {
  // Exits at once without reading: the write sees a broken pipe (SIGPIPE must not end the test).
  script("wl-copy", "exec 0<&-; sleep 0.2; exit 0");
  const std::string big(4 << 20, 'q');
  auto r = cb::copy(big, options("wayland-0"));
  ASSERT_TRUE(r);
  EXPECT_NE(r->find("wl-copy"), std::string::npos);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST_F(FakeCommands, CommandThatNeverExitsIsLeftBehindAndReapedLater) {
  script("wl-copy", "cat >/dev/null; exec sleep 2");
  const auto start = std::chrono::steady_clock::now();
  auto o = options("wayland-0");
  o.time_limit = 300ms;
  auto r = cb::copy("x", o);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, "wl-copy did not finish in time");
  EXPECT_LT(took, 1500ms);
  EXPECT_EQ(cb::pending_children(), 1);
  for (int i = 0; i < 100 && cb::pending_children() > 0; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(cb::pending_children(), 0);
}

TEST_F(FakeCommands, CommandThatNeverReadsItsInputDoesNotBlock) {
  // More than a pipe holds, to a command that never reads: the write itself must time out.
  script("wl-copy", "exec sleep 2");
  auto o = options("wayland-0");
  o.time_limit = 300ms;
  const auto start = std::chrono::steady_clock::now();
  auto r = cb::copy(std::string(1 << 20, 'a'), o);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, "wl-copy did not finish in time");
  for (int i = 0; i < 100 && cb::pending_children() > 0; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(cb::pending_children(), 0);
}

TEST_F(FakeCommands, ProgramThatCannotStart) {
  // Executable bit set but not a program the kernel can run.
  std::ofstream(dir_ / "wl-copy") << "\x7f"
                                     "ELF garbage";
  fs::permissions(dir_ / "wl-copy", fs::perms::owner_all);
  auto r = cb::copy("x", options("wayland-0"));
  ASSERT_TRUE(r);
  EXPECT_NE(r->find("wl-copy"), std::string::npos);
}

}  // namespace
