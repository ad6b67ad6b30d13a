// label: threaded
// The status indicator: exact frames, the block as a terminal shows it, and thread life.
#include <sys/wait.h>
#include <unistd.h>
#include <vterm.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "capture.hpp"
#include "common/utf8.hpp"
#include "output/output_manager.hpp"
#include "output/testing.hpp"

namespace orvo {
namespace {

using namespace std::chrono_literals;
using test::CoutCapture;

std::string rule(int n) {
  std::string r = "  ";
  for (int i = 0; i < n; ++i) r += "─";
  return r;
}

// A screen fed with the captured bytes as a terminal (with the tty's LF -> CR LF) would show them.
class Screen {
 public:
  Screen(int rows, int cols) : rows_(rows), cols_(cols), vt_(vterm_new(rows, cols)) {
    vterm_set_utf8(vt_, 1);
    screen_ = vterm_obtain_screen(vt_);
    static VTermScreenCallbacks cbs{};
    cbs.settermprop = [](VTermProp prop, VTermValue* val, void* user) {
      if (prop == VTERM_PROP_CURSORVISIBLE)
        static_cast<Screen*>(user)->cursor_visible = val->boolean;
      return 1;
    };
    vterm_screen_set_callbacks(screen_, &cbs, this);
    vterm_screen_reset(screen_, 1);
  }
  ~Screen() { vterm_free(vt_); }

  void feed(const std::string& bytes) {
    std::string tty;
    for (char c : bytes) {
      if (c == '\n') tty += '\r';
      tty += c;
    }
    vterm_input_write(vt_, tty.data(), tty.size());
  }
  std::string row(int r) const {
    std::string out;
    for (int c = 0; c < cols_; ++c) {
      VTermScreenCell cell;
      vterm_screen_get_cell(screen_, VTermPos{r, c}, &cell);
      if (cell.chars[0] == 0) {
        out += ' ';
        continue;
      }
      if (cell.chars[0] == static_cast<uint32_t>(-1)) continue;  // right half of a wide char
      for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cell.chars[i]; ++i) {
        text::encode(cell.chars[i], out);
      }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
  }
  VTermPos cursor() const {
    VTermPos pos;
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    return pos;
  }
  bool cursor_visible = true;

 private:
  int rows_, cols_;
  VTerm* vt_;
  VTermScreen* screen_;
};

class IndicatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::set_cols_override(80);
    testing::set_clock_override(1000.0);
    out->start_thinking();
    out->_stop_indicator();
    cap.take();
  }
  void TearDown() override {
    out.reset();
    testing::set_cols_override(std::nullopt);
    testing::set_clock_override(std::nullopt);
  }
  // One frame drawn `elapsed` seconds into the turn.
  std::string frame_at(double elapsed) {
    testing::set_clock_override(1000.0 + elapsed);
    out->_start_indicator();
    EXPECT_TRUE(cap.wait_for("A\r"));
    out->_stop_indicator();
    return cap.take();
  }

  CoutCapture cap;
  std::unique_ptr<OutputManager> out = std::make_unique<OutputManager>();
};

TEST_F(IndicatorTest, FirstFrameExactBytes) {
  const std::string r = "\n\x1b[2m" + rule(76) + "\x1b[0m\x1b[K";
  const std::string frame = "\r\x1b[32m ▲ mining... (3s)\x1b[0m\x1b[K" + r +
                            "\n\x1b[2m  › \x1b[0m\x1b[K" + r + "\x1b[?25l\x1b[3A\r";
  const std::string w = frame_at(3.0);
  EXPECT_EQ(w.substr(0, frame.size()), frame);
  EXPECT_EQ(w.substr(w.size() - 10), "\x1b[?25h\r\x1b[J");
}

TEST_F(IndicatorTest, TimeLabelAndHint) {
  struct Case {
    double elapsed;
    std::string status;
  } cases[] = {
      {0.4, " ▲ mining... (0s)\x1b[0m\x1b[K"},
      {2.5, " ▲ mining... (2s)\x1b[0m\x1b[K"},  // ties to even
      {6.0, " ▲ cutting facets... (6s)\x1b[0m\x1b[K"},
      {10.0, " ▲ cutting facets... (10s)\x1b[0m\x1b[K"},
      {10.5, " ▲ cutting facets... (10s)\x1b[0m · ctrl+c to stop\x1b[K"},
      {48.0, " ▲ forging... (48s)"},
      {54.0, " ▲ mining... (54s)"},
      {59.6, " ▲ mining... (60s)"},
      {65.2, " ▲ cutting facets... (1m05s)"},
      {760.0, " ▲ mining... (12m40s)\x1b[0m · ctrl+c to stop"},
      {770.0, " ▲ polishing... (12m50s)"},
  };
  for (const auto& c : cases) {
    const std::string w = frame_at(c.elapsed);
    EXPECT_EQ(w.rfind("\r\x1b[32m" + c.status, 0), 0u) << c.elapsed << ": " << w.substr(0, 60);
  }
  out->set_stage("reading the whole repository tree");
  EXPECT_EQ(frame_at(7).rfind("\r\x1b[32m ▲ reading the whole repository tree... (7s)", 0), 0u);
  out->tool_result("");  // clears the stage: the rotating word is back
  out->_stop_indicator();
  cap.take();
  EXPECT_EQ(frame_at(7).rfind("\r\x1b[32m ▲ cutting facets... (7s)", 0), 0u);
}

TEST_F(IndicatorTest, RuleWidthFollowsTerminalWithinBounds) {
  for (auto [cols, width] : {std::pair{10, 7}, {80, 76}, {300, 96}, {28, 24}, {26, 23}, {50, 46}}) {
    testing::set_cols_override(cols);
    EXPECT_NE(frame_at(1).find("\n\x1b[2m" + rule(width) + "\x1b[0m\x1b[K\n"), std::string::npos)
        << cols;
  }
}

class FakeField : public InputField {
 public:
  void collect_typeahead() override {
    ++collected;
    if (throw_now) throw std::runtime_error("field broke");
  }
  std::string get_typeahead_text() override { return typed; }
  std::size_t queue_length() override { return queued; }
  std::atomic<int> collected{0};
  std::string typed;
  std::size_t queued = 0;
  std::atomic<bool> throw_now{false};
};

TEST_F(IndicatorTest, PromptLineStatusLineAndTypeahead) {
  auto field = std::make_shared<FakeField>();
  EXPECT_NE(frame_at(1).find("\n\x1b[2m  › \x1b[0m\x1b[K"), std::string::npos);
  out->set_input_field(field);
  field->typed = "fix the \x1b[2Jtests";
  EXPECT_NE(frame_at(1).find("\n  › fix the \uFFFD[2Jtests\x1b[K"), std::string::npos);
  field->queued = 2;  // the queue wins over typed text
  std::string w = frame_at(1);
  EXPECT_NE(w.find("\n  › \x1b[2m(2 queued)\x1b[0m\x1b[K"), std::string::npos);
  EXPECT_EQ(w.find("fix the"), std::string::npos);
  EXPECT_GT(field->collected.load(), 0);
  out->set_status_line("model: local");
  w = frame_at(1);
  EXPECT_NE(w.find("\x1b[0m\x1b[K\n\x1b[2m  model: local\x1b[0m\x1b[K\x1b[?25l\x1b[4A\r"),
            std::string::npos);
}

TEST_F(IndicatorTest, TerminalShowsBlockRedrawnInPlaceThenErased) {
  Screen screen(12, 80);
  screen.feed("previous output\n");
  testing::set_clock_override(1003.0);
  out->_start_indicator();
  ASSERT_TRUE(cap.wait_for("A\r"));
  screen.feed(cap.take());
  EXPECT_EQ(screen.row(0), "previous output");
  EXPECT_EQ(screen.row(1), " ▲ mining... (3s)");
  EXPECT_EQ(screen.row(2), rule(76));
  EXPECT_EQ(screen.row(3), "  ›");
  EXPECT_EQ(screen.row(4), rule(76));
  EXPECT_EQ(screen.row(5), "");
  EXPECT_FALSE(screen.cursor_visible);
  EXPECT_EQ(screen.cursor().row, 1);
  EXPECT_EQ(screen.cursor().col, 0);

  testing::set_clock_override(1004.0);
  ASSERT_TRUE(cap.wait_for("A\r", 3s));  // the next tick overwrites the same rows
  screen.feed(cap.take());
  EXPECT_EQ(screen.row(1), " ◆ mining... (4s)");
  EXPECT_EQ(screen.row(5), "");
  out->_stop_indicator();
  screen.feed(cap.take());
  for (int r = 1; r < 6; ++r) EXPECT_EQ(screen.row(r), "") << "after the erase, row " << r;
  EXPECT_TRUE(screen.cursor_visible);

  out->stream("answer");
  screen.feed(cap.take());
  EXPECT_EQ(screen.row(0), "previous output");
  EXPECT_EQ(screen.row(3), "  answer");
}

TEST_F(IndicatorTest, LongAndMultiLineTextsNeverBreakTheBlock) {
  testing::set_cols_override(40);
  auto field = std::make_shared<FakeField>();
  field->typed = std::string(100, 't') + "\nsecond line";
  out->set_input_field(field);
  out->set_status_line("status\n" + std::string(80, 's'));
  out->set_stage("step one\nstep two " + std::string(60, 'x'));
  Screen screen(12, 40);
  screen.feed("before\n");
  testing::set_clock_override(1011.0);
  out->_start_indicator();
  ASSERT_TRUE(cap.wait_for("A\r"));
  screen.feed(cap.take());
  EXPECT_EQ(screen.row(1), " ▲ step one s... (11s) · ctrl+c to stop");
  EXPECT_EQ(screen.row(3), "  › " + std::string(35, 't'));
  EXPECT_EQ(screen.row(5), "  status " + std::string(30, 's'));
  EXPECT_EQ(screen.row(6), "");
  EXPECT_EQ(screen.cursor().row, 1);
  out->_stop_indicator();
  screen.feed(cap.take());
  EXPECT_EQ(screen.row(0), "before");
  for (int r = 1; r < 8; ++r) EXPECT_EQ(screen.row(r), "") << r;
}

TEST_F(IndicatorTest, WideTextIsCutByColumns) {
  testing::set_cols_override(40);
  auto field = std::make_shared<FakeField>();
  std::string wide;
  for (int i = 0; i < 30; ++i) wide += "你";
  field->typed = wide;
  out->set_input_field(field);
  Screen screen(12, 40);
  screen.feed("before\n");
  out->_start_indicator();
  ASSERT_TRUE(cap.wait_for("A\r"));
  screen.feed(cap.take());
  EXPECT_EQ(screen.row(3), "  › " + wide.substr(0, 17 * 3));
  EXPECT_EQ(screen.row(4), rule(36));
  EXPECT_EQ(screen.row(5), "");
  EXPECT_EQ(screen.cursor().row, 1);
  out->_stop_indicator();
  screen.feed(cap.take());
  for (int r = 1; r < 6; ++r) EXPECT_EQ(screen.row(r), "") << r;
}

// An emoji with the presentation selector takes two columns, as everywhere else: 17 of them fit
// the 34 columns after the prompt, not 35.
TEST_F(IndicatorTest, EmojiPresentationIsCutAsTwoColumns) {
  testing::set_cols_override(40);
  auto field = std::make_shared<FakeField>();
  std::string suns;
  for (int i = 0; i < 30; ++i) suns += "\u2600\uFE0F";
  field->typed = suns;
  out->set_input_field(field);
  out->_start_indicator();
  ASSERT_TRUE(cap.wait_for("A\r"));
  const std::string frame = cap.take();
  const std::string shown = "\u203A " + suns.substr(0, 17 * 6);
  const auto at = frame.find(shown);
  ASSERT_NE(at, std::string::npos) << frame;
  EXPECT_NE(frame.compare(at + shown.size(), 3, "\u2600"), 0) << frame;
  out->_stop_indicator();
}

TEST_F(IndicatorTest, BlockLeftByAFailedThreadIsErasedAtTheNextStop) {
  out->_start_indicator();
  ASSERT_TRUE(cap.wait_for("A\r"));
  EXPECT_TRUE(status_block_on_screen());
  cap.fail(true);
  for (int i = 0; i < 1000 && out->indicator_running(); ++i) std::this_thread::sleep_for(2ms);
  ASSERT_FALSE(out->indicator_running());
  cap.fail(false);
  cap.take();
  out->print_info("next");  // the worker's next write erases the stale block first
  EXPECT_EQ(cap.take(), "\x1b[?25h\r\x1b[J\x1b[2m  next\x1b[0m\n");
  EXPECT_FALSE(status_block_on_screen());
  out->_stop_indicator();
  EXPECT_EQ(cap.take(), "");  // erased once only
}

TEST_F(IndicatorTest, StartTwiceStopTwice) {
  out->_start_indicator();
  out->_start_indicator();
  EXPECT_TRUE(out->indicator_running());
  ASSERT_TRUE(cap.wait_for("A\r"));
  out->_stop_indicator();
  out->_stop_indicator();
  const std::string w = cap.take();
  EXPECT_EQ(w.find("\x1b[?25h\r\x1b[J"), w.rfind("\x1b[?25h\r\x1b[J"));
  EXPECT_EQ(w.find("\x1b[3A\r"), w.rfind("\x1b[3A\r"));  // one thread, one frame
}

TEST_F(IndicatorTest, WriteErrorEndsThreadAndNextStartIsFresh) {
  cap.fail(true);
  out->_start_indicator();
  for (int i = 0; i < 500 && out->indicator_running(); ++i) std::this_thread::sleep_for(2ms);
  EXPECT_FALSE(out->indicator_running());
  cap.fail(false);
  out->_start_indicator();
  EXPECT_TRUE(cap.wait_for("A\r"));
  out->_stop_indicator();
}

TEST_F(IndicatorTest, ThrowingInputFieldEndsThreadButStopStillErases) {
  auto field = std::make_shared<FakeField>();
  field->throw_now = true;
  out->set_input_field(field);
  out->_start_indicator();
  for (int i = 0; i < 500 && field->collected == 0; ++i) std::this_thread::sleep_for(2ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(out->indicator_running());  // the flag stays up until the next stop
  out->_stop_indicator();
  EXPECT_FALSE(out->indicator_running());
  EXPECT_EQ(cap.take().find("\x1b[?25h\r\x1b[J"), 0u);
  field->throw_now = false;
  out->_start_indicator();
  EXPECT_TRUE(cap.wait_for("A\r"));
}

class SlowField : public FakeField {
 public:
  void collect_typeahead() override {
    entered = true;
    std::this_thread::sleep_for(1500ms);
  }
  std::atomic<bool> entered{false};
};

TEST_F(IndicatorTest, StopGivesUpAfterASecondAndTheLateThreadDrawsNothing) {
  auto field = std::make_shared<SlowField>();
  out->set_input_field(field);
  out->_start_indicator();
  while (!field->entered) std::this_thread::sleep_for(1ms);
  const auto t0 = std::chrono::steady_clock::now();
  out->_stop_indicator();
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, 900ms);
  EXPECT_LT(waited, 1400ms);
  EXPECT_EQ(cap.take(), "\x1b[?25h\r\x1b[J");
  std::this_thread::sleep_for(700ms);  // the stuck thread wakes after the erase
  EXPECT_EQ(cap.take(), "");
}

TEST_F(IndicatorTest, StartStopRacesWithWorkerOperations) {
  for (int i = 0; i < 60; ++i) {
    out->start_thinking();
    if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200 * (i % 7)));
    const int idx = out->log_tool("bash", "make");
    out->print_info("building");
    out->tool_result("ok\n", i % 2 == 0, idx);
    out->stream("text");
    if (i % 2)
      out->done();
    else
      out->set_error("x");
  }
  EXPECT_FALSE(out->indicator_running());
  const std::string w = cap.take();
  EXPECT_EQ(w.substr(w.size() - 5), "\x1b[0m\n");
}

// On narrow terminals every row of the block fits, so each redraw overwrites the last
// one and the erase leaves nothing behind (default label, time and hint included).
TEST_F(IndicatorTest, EveryRowFitsNarrowTerminals) {
  auto field = std::make_shared<FakeField>();
  for (int cols = 1; cols <= 50; ++cols) {
    testing::set_cols_override(cols);
    for (int variant = 0; variant < 3; ++variant) {
      field->queued = variant == 1 ? 3 : 0;
      field->typed = variant == 2 ? "typed ahead" : "";
      out->set_input_field(field);
      out->set_status_line(variant == 2 ? "model: local" : "");
      Screen screen(14, cols);
      screen.feed("x\n");
      for (double t : {11.0, 12.0, 13.0}) {  // default label, time and the hint
        testing::set_clock_override(1000.0 + t);
        out->_start_indicator();
        ASSERT_TRUE(cap.wait_for("A\r"));
        out->_stop_indicator();
        std::string w = cap.take();
        w.resize(w.rfind("\x1b[?25h"));  // draw only: the erase comes later
        screen.feed(w);
        EXPECT_EQ(screen.cursor().row, 1) << cols << " columns, variant " << variant;
      }
      screen.feed("\x1b[?25h\r\x1b[J");
      EXPECT_EQ(screen.row(0), "x") << cols;
      for (int r = 1; r < 14; ++r)
        EXPECT_EQ(screen.row(r), "") << cols << " columns, variant " << variant << ", row " << r;
    }
  }
}

// A clock that steps back a little never shows "-0s".
TEST_F(IndicatorTest, ClockSteppingBackShowsZeroNotMinusZero) {
  for (double e : {-0.3, -0.49, -0.0}) {
    const std::string w = frame_at(e);
    EXPECT_EQ(w.rfind("\r\x1b[32m ▲ ", 0), 0u) << e;
    EXPECT_NE(w.find("... (0s)\x1b[0m"), std::string::npos) << e << ": " << w.substr(0, 40);
  }
}

class OddThrowField : public FakeField {
 public:
  void collect_typeahead() override {
    ++collected;
    throw 42;  // not derived from std::exception
  }
};

// Nothing thrown by the host's input field escapes the indicator thread.
TEST(IndicatorOddThrow, InputFieldThrowingAnythingNeverEndsTheProcess) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    {
      OutputManager out;
      auto field = std::make_shared<OddThrowField>();
      out.set_input_field(field);
      out.start_thinking();
      for (int i = 0; i < 500 && field->collected == 0; ++i) std::this_thread::sleep_for(2ms);
      std::this_thread::sleep_for(50ms);
      out.done();
    }
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Answer text streamed after a tool call in the same answer is never drawn over.
TEST_F(IndicatorTest, StreamAfterToolCallInTheSameAnswerStopsTheIndicator) {
  Screen screen(24, 80);
  out->stream("first part");
  const int idx = out->log_tool("bash", "ls");
  out->tool_result("src", false, idx);
  ASSERT_TRUE(cap.wait_for("A\r"));  // the status block is up while the phase is STREAMING
  EXPECT_EQ(out->state.phase, Phase::STREAMING);
  std::string words;
  for (int i = 0; i <= 10; ++i) words += "word" + std::to_string(i) + " ";
  out->stream(words);
  EXPECT_FALSE(out->indicator_running());
  std::this_thread::sleep_for(700ms);  // a stray indicator tick would land here
  screen.feed(cap.take());
  bool seen = false;
  for (int r = 0; r < 24; ++r) {
    seen = seen || screen.row(r) == "  " + words.substr(0, words.size() - 1);
    EXPECT_EQ(screen.row(r).find("mining"), std::string::npos) << r;
  }
  EXPECT_TRUE(seen);
  EXPECT_TRUE(screen.cursor_visible);
  out->done();
}

// A program that exits while the indicator draws must end cleanly, however it exits.
TEST(IndicatorExit, ProgramExitsWithIndicatorRunning) {
  for (int how = 0; how < 3; ++how) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::freopen("/dev/null", "w", stdout);
      if (how == 0) {
        auto* leaked = new OutputManager;  // never destroyed: exit with the thread drawing
        leaked->start_thinking();
        std::this_thread::sleep_for(30ms);
        std::exit(0);
      } else if (how == 1) {
        OutputManager local;
        local.start_thinking();
        std::this_thread::sleep_for(30ms);
      } else {
        auto* leaked = new OutputManager;
        leaked->start_thinking();
        std::quick_exit(0);
      }
      std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "mode " << how;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "mode " << how;
  }
}

}  // namespace
}  // namespace orvo
