// label: threaded
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tui/framework/headless/headless_driver.hpp"
#include "tui/framework/term/frame_diff.hpp"
#include "tui/framework/term/terminal_driver.hpp"

namespace orvo::tui {
namespace {

using namespace std::chrono_literals;

std::string poll_text(HeadlessDriver& d, std::optional<std::chrono::milliseconds> timeout) {
  std::vector<InputEvent> events;
  d.poll(timeout, events);
  std::string s;
  for (const auto& e : events) s += (s.empty() ? "" : " ") + describe(e);
  return s;
}

TEST(HeadlessDriver, FramesReachTheScreenshot) {
  HeadlessDriver d({12, 3});
  d.start();
  d.with_terminal([](const VirtualTerminal& vt) {
    EXPECT_TRUE(vt.mode(1049));
    EXPECT_FALSE(vt.mode(25));  // cursor hidden
    EXPECT_TRUE(vt.mode(1006));
  });
  FrameDiffer comp(d.size());
  comp.frame().draw_text(0, 0, "Title", to_cell_style(Style::parse("bold")));
  comp.frame().draw_text(2, 2, "界 x");
  d.write_frame(comp.render());
  d.write_frame(comp.render());  // empty: not a frame
  EXPECT_EQ(d.frames_written(), 1u);
  EXPECT_EQ(d.screenshot(), "Title\n\n  界 x");
  EXPECT_EQ(d.screenshot(false), "Title       \n            \n  界 x      ");
  EXPECT_EQ(d.screenshot_ansi(), "\x1b[1mTitle\x1b[0m       \n            \n  界 x      ");
  d.stop();
  d.with_terminal([](const VirtualTerminal& vt) {
    EXPECT_FALSE(vt.mode(1049));
    EXPECT_TRUE(vt.mode(25));
  });
}

TEST(HeadlessDriver, SwitchesTheModesOfARealRunAndLeavesThem) {
  VirtualTerminal expected({12, 3});
  expected.feed(session_mode_sequence(TerminalOptions{}, true));
  HeadlessDriver d({12, 3});
  d.start();
  d.with_terminal([&](const VirtualTerminal& vt) {
    for (const ModeSwitch& m : session_modes(TerminalOptions{})) {
      const int n = static_cast<int>(m.mode);
      EXPECT_EQ(vt.mode(n), m.on) << n;
      EXPECT_EQ(vt.mode(n), expected.mode(n)) << n;
    }
  });
  d.stop();
  d.with_terminal([](const VirtualTerminal& vt) {
    for (const ModeSwitch& m : session_modes(TerminalOptions{})) {
      EXPECT_EQ(vt.mode(static_cast<int>(m.mode)), m.mode == TerminalMode::CursorVisible);
    }
  });
}

TEST(HeadlessDriver, InjectedBytesAndEvents) {
  HeadlessDriver d({20, 5});
  d.start();
  d.inject_bytes("q\x1b[<0;3;2M\x1b[6~");
  d.inject(KeyEvent{"f5", "", kModNone});
  EXPECT_EQ(d.pending_events(), 4u);
  EXPECT_EQ(poll_text(d, 0ms), "key(q 'q') mouse(down left 2,1) key(pagedown) key(f5)");
  EXPECT_EQ(poll_text(d, 0ms), "");
}

TEST(HeadlessDriver, LoneEscapeAfterTheTimeout) {
  HeadlessDriver d;
  d.start();
  d.inject_bytes("\x1b");
  EXPECT_EQ(d.pending_events(), 0u);
  EXPECT_TRUE(d.pending_input());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(poll_text(d, 0ms), "");  // a short deadline is kept; the escape waits
  EXPECT_EQ(poll_text(d, std::nullopt), "key(escape)");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, InputParser::kEscapeTimeout);
  EXPECT_FALSE(d.pending_input());
}

TEST(HeadlessDriver, ResizeChangesTheScreenAndQueuesAnEvent) {
  HeadlessDriver d({10, 2});
  d.start();
  d.resize({30, 4});
  EXPECT_EQ(d.size(), (Size{30, 4}));
  EXPECT_EQ(poll_text(d, 0ms), "resize(30x4)");
  EXPECT_EQ(d.screenshot(false), std::string(30, ' ') + "\n" + std::string(30, ' ') + "\n" +
                                     std::string(30, ' ') + "\n" + std::string(30, ' '));
}

TEST(HeadlessDriver, WakeAndInputFromOtherThreadsEndAWait) {
  HeadlessDriver d;
  d.start();
  std::thread waker([&] {
    std::this_thread::sleep_for(20ms);
    d.wake();
  });
  EXPECT_EQ(poll_text(d, std::nullopt), "");  // returned because of the wake-up
  waker.join();
  std::thread typist([&] {
    std::this_thread::sleep_for(20ms);
    d.inject_bytes("x");
  });
  EXPECT_EQ(poll_text(d, std::nullopt), "key(x 'x')");
  typist.join();
}

TEST(HeadlessDriver, PollTimesOut) {
  HeadlessDriver d;
  d.start();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(poll_text(d, 30ms), "");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 30ms);
}

}  // namespace
}  // namespace orvo::tui
