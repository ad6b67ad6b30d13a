// label: threaded
#include "output/output_manager.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "capture.hpp"
#include "common/utf8.hpp"
#include "output/testing.hpp"

namespace orvo {
namespace {

using test::CoutCapture;
using test::EventLog;

class OutputTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::set_cols_override(80); }
  void TearDown() override {
    out.reset();  // stops the indicator while the capture is still in place
    testing::set_cols_override(std::nullopt);
    testing::set_clock_override(std::nullopt);
  }
  // Brings the controller into the streaming phase and drops what that wrote.
  void streaming() {
    out->start_streaming();
    cap.take();
    events.take();
  }

  CoutCapture cap;
  std::unique_ptr<OutputManager> out = std::make_unique<OutputManager>();
  EventLog events{*out};
};

std::string str(const PayloadMap& p, const std::string& key) {
  return p.text(key);
}
std::int64_t num(const PayloadMap& p, const std::string& key) {
  return std::get<std::int64_t>(*p.find(key));
}

TEST_F(OutputTest, FreshStateAndEmptyStateLists) {
  EXPECT_EQ(out->state.phase, Phase::IDLE);
  EXPECT_EQ(out->state.start_time, 0.0);
  EXPECT_FALSE(out->indicator_running());
  OutputManager other;
  out->state.tool_actions.push_back({"bash", "ls", "running", ""});
  EXPECT_TRUE(other.state.tool_actions.empty());  // lists are never shared between records
}

TEST_F(OutputTest, EventPayloadsAreCutByCodePoints) {
  const std::string five_k(5000, 'x');
  std::string long_peek = "  ";
  for (int i = 0; i < 200; ++i) long_peek += "é";
  streaming();
  out->stream(five_k);
  out->feed_thinking(std::string(3000, 'y'));
  out->set_thinking_peek(long_peek);
  out->set_stage(std::string(300, 's'));
  out->thinking_done(std::string(9000, 't'));
  EXPECT_EQ(out->custom_stage().size(), 300u);  // stored whole
  out->set_error(std::string(500, 'e'));
  const auto ev = events.take();
  ASSERT_EQ(ev.size(), 6u);
  EXPECT_EQ(ev[0].name, "content");
  EXPECT_EQ(str(ev[0].payload, "chunk").size(), 2000u);
  EXPECT_EQ(str(ev[0].payload, "chars"), "5000");
  EXPECT_EQ(ev[0].payload.entries()[0].first, "chunk");
  EXPECT_EQ(str(ev[1].payload, "chunk").size(), 2000u);
  EXPECT_EQ(text::count_chars(str(ev[2].payload, "text")), 120u);
  EXPECT_EQ(str(ev[2].payload, "text").substr(0, 3), "  \xC3");  // leading spaces kept
  EXPECT_EQ(text::count_chars(out->state.thinking_peek), 120u);
  EXPECT_EQ(str(ev[3].payload, "stage").size(), 120u);
  EXPECT_EQ(str(ev[4].payload, "text").size(), 8000u);
  EXPECT_EQ(out->last_thinking_text().size(), 9000u);
  EXPECT_EQ(str(ev[5].payload, "message").size(), 240u);
  EXPECT_EQ(out->state.error.size(), 500u);
  // The terminal gets the whole error message.
  EXPECT_NE(cap.take().find(std::string(500, 'e')), std::string::npos);
}

TEST_F(OutputTest, BlankPeekEmitsNothingButIsStored) {
  out->set_thinking_peek(" \n\t ");
  EXPECT_TRUE(events.take().empty());
  EXPECT_EQ(out->state.thinking_peek, " \n\t ");
  out->set_thinking_peek(" x");
  const auto ev = events.take();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(str(ev[0].payload, "text"), " x");
}

TEST_F(OutputTest, StartThinkingResetFlagAndState) {
  testing::set_clock_override(1000.0);
  out->start_thinking();
  out->feed_thinking("abcdefgh");
  out->log_tool("bash", "ls");
  out->set_stage("planning");
  out->set_thinking_peek("peek");
  testing::set_clock_override(2000.0);
  out->start_thinking(false);
  EXPECT_EQ(out->state.start_time, 1000.0);
  EXPECT_EQ(out->state.tokens, 2);
  EXPECT_EQ(out->state.tool_actions.size(), 1u);
  EXPECT_EQ(out->state.thinking_peek, "");
  EXPECT_EQ(out->custom_stage(), "");
  out->start_thinking();
  EXPECT_EQ(out->state.start_time, 2000.0);
  EXPECT_EQ(out->state.tokens, 0);
  EXPECT_TRUE(out->state.tool_actions.empty());
  std::vector<std::string> resets;
  for (auto& e : events.take()) {
    if (e.name == "thinking_start") resets.push_back(str(e.payload, "reset"));
  }
  EXPECT_EQ(resets, (std::vector<std::string>{"true", "false", "true"}));
  EXPECT_EQ(out->state.phase, Phase::THINKING);
}

TEST_F(OutputTest, TokenEstimateCountsAtLeastOnePerChunk) {
  out->feed_thinking("");
  out->feed_thinking("abc");
  out->feed_thinking("日本語の文章です");  // 8 code points, 24 bytes
  EXPECT_EQ(out->state.tokens, 1 + 1 + 2);
}

TEST_F(OutputTest, FirstStreamInThinkingWritesHeaderOnce) {
  out->start_thinking();
  events.take();
  out->stream("");
  EXPECT_FALSE(out->indicator_running());
  const std::string written = cap.take();
  // The indicator's erase precedes the header; nothing follows the header for an empty chunk.
  ASSERT_GE(written.size(), 8u);
  EXPECT_EQ(written.substr(written.size() - 8), "\r\x1b[K\n\n  ");
  const auto ev = events.take();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].name, "stream_start");
  EXPECT_TRUE(ev[0].payload.empty());
  EXPECT_EQ(ev[1].name, "content");
  EXPECT_EQ(str(ev[1].payload, "chunk"), "");
  EXPECT_EQ(str(ev[1].payload, "chars"), "0");
  EXPECT_EQ(out->state.tokens, 1);
  EXPECT_EQ(out->col_pos(), 2);
  out->stream("x");
  EXPECT_EQ(cap.take(), "x");
  EXPECT_EQ(out->state.phase, Phase::STREAMING);
}

TEST_F(OutputTest, SoftWrapByCharacterCount) {
  struct Case {
    int cols;
    std::vector<std::string> chunks;
    std::string want;
    int col;
  } cases[] = {
      {80, {std::string(100, 'a')}, std::string(77, 'a') + "\n  " + std::string(23, 'a'), 25},
      {80, {"a\nb"}, "a\n  b", 3},
      {80,
       {std::string(70, 'a'), std::string(10, 'b')},
       std::string(70, 'a') + "bbbbbbb\n  bbb",
       5},
      {10, {"ééééééééééé"}, "ééééééé\n  éééé", 6},
      {80, {"line\r\nnext"}, "line\n  next", 6},
      {80, {"\x1b[2Jx\ry"}, "\uFFFD[2Jx\uFFFDy", 9},
      {6, {"abcdefg"}, "abc\n  def\n  g", 3},
  };
  for (const auto& c : cases) {
    testing::set_cols_override(c.cols);
    OutputManager m;
    for (const auto& chunk : c.chunks) m.stream(chunk);
    const std::string header = "\r\x1b[K\n\n  ";
    EXPECT_EQ(cap.take(), header + c.want) << c.cols << " " << c.chunks[0];
    EXPECT_EQ(m.col_pos(), c.col);
    EXPECT_EQ(m.state.content_chunks, c.chunks);  // stored as given
  }
}

TEST_F(OutputTest, PrintInfoNeitherStartsNorLosesTheIndicator) {
  out->print_info("x");
  EXPECT_EQ(cap.take(), "\x1b[2m  x\x1b[0m\n");
  EXPECT_FALSE(out->indicator_running());
  out->start_thinking();
  out->print_info("y\x1b]0;title\x07");
  EXPECT_TRUE(out->indicator_running());
  EXPECT_NE(cap.take().find("\x1b[2m  y\uFFFD]0;title\uFFFD\x1b[0m\n"), std::string::npos);
  EXPECT_TRUE(events.take().size() == 1);  // only thinking_start
}

TEST_F(OutputTest, SetErrorStopsIndicatorAndWritesRedLine) {
  out->start_thinking();
  out->set_stage("x");
  out->set_error("boom");
  EXPECT_FALSE(out->indicator_running());
  EXPECT_EQ(out->state.phase, Phase::ERROR);
  EXPECT_EQ(out->custom_stage(), "");
  const std::string w = cap.take();
  const std::string line = "\n\x1b[31m▪ Error: boom\x1b[0m\n\n";
  ASSERT_GE(w.size(), line.size());
  EXPECT_EQ(w.substr(w.size() - line.size()), line);
}

TEST_F(OutputTest, DoneSummaryCountsToolsInFirstOccurrenceOrder) {
  testing::set_clock_override(100.0);
  out->start_thinking();
  for (const char* name : {"read_file", "read_file", "bash", "read_file"}) {
    const int idx = out->log_tool(name, "x");
    out->tool_result("ok", false, idx);
  }
  testing::set_clock_override(108.04);
  cap.take();
  events.take();
  out->done();
  const std::string w = cap.take();
  const std::string line = "\n\x1b[2m  Done in 8.0s — tools: read_file×3, bash\x1b[0m\n";
  ASSERT_GE(w.size(), line.size());
  EXPECT_EQ(w.substr(w.size() - line.size()), line);
  EXPECT_EQ(events.names(), std::vector<std::string>{"done"});
  EXPECT_EQ(out->state.phase, Phase::DONE);

  // Without start_thinking the turn's clock starts at its first operation, not at
  // the epoch.
  OutputManager plain;
  testing::set_clock_override(12.34);
  plain.state.start_time = 0.0;
  plain.done();
  EXPECT_EQ(cap.take(), "\n\x1b[2m  Done in 0.0s\x1b[0m\n");
}

// The server's counts replace the estimate and reach the summary and the event; a new turn
// forgets them, and a turn without them keeps the summary it always had.
TEST_F(OutputTest, ServerUsageReplacesTheEstimateInStateSummaryAndEvent) {
  testing::set_clock_override(100.0);
  out->start_thinking();
  out->feed_thinking(std::string(400, 'x'));  // estimated 100
  out->set_usage(1234, 56, 2.0);
  EXPECT_EQ(out->snapshot().tokens, 56);
  EXPECT_EQ(out->snapshot().prompt_tokens, 1234);
  testing::set_clock_override(108.04);
  cap.take();
  events.take();
  out->done();
  const std::string line =
      "\n\x1b[2m  Done in 8.0s \u2014 1.2k tokens in, 56 out \u2014 28.0 tokens/s\x1b[0m\n";
  const std::string w = cap.take();
  ASSERT_GE(w.size(), line.size());
  EXPECT_EQ(w.substr(w.size() - line.size()), line);
  const auto done = events.take();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(num(done[0].payload, "tokens_in"), 1234);
  EXPECT_EQ(num(done[0].payload, "tokens_out"), 56);
  EXPECT_EQ(num(done[0].payload, "generation_ms"), 2000);

  out->start_thinking();
  EXPECT_FALSE(out->snapshot().usage_reported);
  out->set_usage(10, 0, 0.0);  // nothing generated: no speed
  out->done();
  EXPECT_NE(cap.take().find("10 tokens in, 0 out\x1b[0m"), std::string::npos);
  out->start_thinking();
  out->done();
  EXPECT_EQ(cap.take().find("tokens"), std::string::npos);
  EXPECT_TRUE(events.take().back().payload.empty());
}

TEST_F(OutputTest, ANoticeIsDrawnAsInfoAndEmitted) {
  out->notice("skipped 1 malformed event from the server (not JSON)\x1b[2J");
  EXPECT_EQ(
      cap.take(),
      "\x1b[2m  skipped 1 malformed event from the server (not JSON)\xEF\xBF\xBD[2J\x1b[0m\n");
  const auto e = events.take();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].name, "notice");
  EXPECT_EQ(str(e[0].payload, "text"),
            "skipped 1 malformed event from the server (not JSON)\x1b[2J");
}

TEST_F(OutputTest, LogToolWritesHeaderAndReturnsIndex) {
  EXPECT_EQ(out->log_tool("grep", "main src/"), 0);
  EXPECT_TRUE(out->indicator_running());  // shown while the tool runs
  out->_stop_indicator();
  std::string w = cap.take();
  EXPECT_EQ(w.rfind("\n\x1b[1m▪ Searched\x1b[0m \x1b[36mmain src/\x1b[0m\n", 0), 0u) << w;
  EXPECT_EQ(out->log_tool("custom_tool", std::string(300, 'a')), 1);
  out->_stop_indicator();
  w = cap.take();
  EXPECT_EQ(
      w.rfind("\n\x1b[1m▪ custom_tool\x1b[0m \x1b[36m" + std::string(80, 'a') + "\x1b[0m\n", 0),
      0u);
  const auto ev = events.take();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[1].name, "tool_start");
  EXPECT_EQ(ev[1].payload.entries()[0].first, "name");
  EXPECT_EQ(str(ev[1].payload, "args").size(), 200u);
  EXPECT_EQ(num(ev[1].payload, "index"), 1);
  EXPECT_EQ(out->state.tool_actions[1].args.size(), 300u);
  EXPECT_EQ(out->state.tool_actions[1].status, "running");
}

std::string lines(int n, int width = 5) {
  std::string s;
  for (int i = 0; i < n; ++i) s += std::string(width, static_cast<char>('a' + i % 26)) + "\n";
  return s;
}

TEST_F(OutputTest, ToolResultPreview) {
  auto dim = [](const std::string& l) { return "\x1b[2m  └ " + l + "\x1b[0m\n"; };
  auto red = [](const std::string& l) { return "\x1b[31m  └ " + l + "\x1b[0m\n"; };
  std::string eight;
  for (int i = 0; i < 8; ++i) eight += dim(std::string(5, static_cast<char>('a' + i)));
  std::string five_red;
  for (int i = 0; i < 5; ++i) five_red += red(std::string(5, static_cast<char>('a' + i)));
  struct Case {
    std::string result;
    bool error;
    std::string want;
  } cases[] = {
      {lines(8), false, eight},
      {lines(9), false, eight + "\x1b[2m    … +1 lines\x1b[0m\n"},
      {lines(12), false, eight + "\x1b[2m    … +4 lines\x1b[0m\n"},
      {lines(12), true, five_red},
      {"\n \n\t\n", false, ""},
      {"", true, ""},
      {std::string(100, 'z'), false, dim(std::string(90, 'z'))},
      {"  indented\n\n", false, dim("indented")},
      {"\x1b[31mred\x1b[0m", false, dim("red")},     // whole sequences go
      {"\x1b[31mred\x1b", false, dim("red\uFFFD")},  // a lone control stays visible
  };
  for (const auto& c : cases) {
    out->tool_result(c.result, c.error);
    out->_stop_indicator();
    std::string w = cap.take();
    // Drop the indicator's frames and erase: the preview precedes them.
    EXPECT_EQ(w.substr(0, c.want.size()), c.want);
    const std::string rest = w.substr(c.want.size());
    EXPECT_TRUE(rest.empty() || rest.rfind("\r\x1b[32m", 0) == 0 || rest.rfind("\x1b[?25h", 0) == 0)
        << rest;
  }
}

TEST_F(OutputTest, ToolResultUpdatesRecordAndEmits) {
  const int idx = out->log_tool("read_file", "a.txt");
  events.take();
  out->set_stage("reading");
  events.take();
  out->tool_result("line1\r\nMallocStackLogging: can't turn off\r\nline2\r\n", true, idx);
  EXPECT_EQ(out->custom_stage(), "");
  const ToolAction& a = out->state.tool_actions[0];
  EXPECT_EQ(a.status, "error");
  EXPECT_EQ(a.result, "line1\nline2");
  auto ev = events.take();
  ASSERT_EQ(ev.size(), 1u);
  const std::vector<std::string> keys = {"error", "index", "result", "name", "args"};
  std::vector<std::string> got;
  for (auto& [k, v] : ev[0].payload) got.push_back(k);
  EXPECT_EQ(got, keys);
  EXPECT_EQ(str(ev[0].payload, "error"), "true");
  EXPECT_EQ(num(ev[0].payload, "index"), 0);
  EXPECT_EQ(str(ev[0].payload, "result"), "line1\nline2");
  EXPECT_EQ(str(ev[0].payload, "name"), "read_file");
  EXPECT_EQ(str(ev[0].payload, "args"), "a.txt");

  out->tool_result(std::string(5000, 'r'));  // no index: nothing updated, still emitted
  ev = events.take();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(num(ev[0].payload, "index"), -1);
  EXPECT_EQ(str(ev[0].payload, "name"), "");
  EXPECT_EQ(str(ev[0].payload, "args"), "");
  EXPECT_EQ(str(ev[0].payload, "result").size(), 4000u);
  out->tool_result("again", false, idx);
  EXPECT_EQ(out->state.tool_actions[0].status, "done");
  EXPECT_EQ(out->state.tool_actions[0].result, "again");
  out->tool_result("x", false, 7);
  EXPECT_EQ(out->state.tool_actions.size(), 1u);
}

TEST(FilterNoise, DropsAllocatorLinesAndNormalisesLineEnds) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {"", ""},
      {"a\nb\n", "a\nb"},
      {"a\n\n", "a\n"},
      {"a\r\nb\rc\vd\u2028e", "a\nb\nc\nd\ne"},
      {"x\nMallocStackLogging: on\ny", "x\ny"},
      {"can't turn off malloc\n", ""},
      {"keep can't turn  off\n", "keep can't turn  off"},
      {"mallocstacklogging\n", "mallocstacklogging"},
  };
  for (const auto& c : cases) EXPECT_EQ(OutputManager::_filter_noise(c.in), c.want) << c.in;
}

TEST_F(OutputTest, FailingSubscriberNeverStopsOutput) {
  out->set_event_callback([](const std::string&, Payload) { throw std::runtime_error("down"); });
  out->start_thinking();
  out->log_tool("bash", "ls");
  out->done();
  EXPECT_NE(cap.take().find("Done in"), std::string::npos);
  out->set_event_callback(nullptr);
  out->set_error("x");  // no subscriber: output still written
  EXPECT_NE(cap.take().find("Error: x"), std::string::npos);
}

TEST_F(OutputTest, SubscriberMayCallBackIntoTheController) {
  std::vector<std::string> seen;
  out->set_event_callback([&](const std::string& name, Payload) {
    seen.push_back(name);
    if (name == "tool_start") out->set_thinking_peek("from subscriber");
    if (name == "done") (void)out->snapshot();
  });
  out->log_tool("bash", "ls");
  out->done();
  EXPECT_EQ(seen, (std::vector<std::string>{"tool_start", "thinking_peek", "done"}));
}

TEST_F(OutputTest, FailedWriteReachesTheCaller) {
  cap.fail(true);
  EXPECT_THROW(out->print_info("x"), std::ios_base::failure);
  EXPECT_THROW(out->stream("abc"), std::ios_base::failure);
  EXPECT_THROW(out->set_error("x"), std::ios_base::failure);
  // State changed and events went out before the write failed.
  EXPECT_EQ(out->state.phase, Phase::ERROR);
  cap.fail(false);
  EXPECT_NO_THROW(out->print_info("back"));
  EXPECT_NE(cap.take().find("back"), std::string::npos);
}

// A subscriber that throws anything (not only std::exception) never stops the turn.
TEST_F(OutputTest, SubscriberThrowingAnythingStillGetsTheSummary) {
  out->set_event_callback([](const std::string&, Payload) { throw 7; });
  out->start_thinking();
  const int idx = out->log_tool("bash", "ls");
  out->tool_result("ok", false, idx);
  out->stream("hi");
  EXPECT_NO_THROW(out->done());
  EXPECT_NE(cap.take().find("Done in"), std::string::npos);
}

// CR LF split across two chunks is one line end, with no stray U+FFFD.
TEST_F(OutputTest, CrLfSplitAcrossChunks) {
  streaming();
  out->stream("a\r");
  out->stream("\nb");
  EXPECT_EQ(cap.take(), "a\n  b");
  EXPECT_EQ(out->col_pos(), 3);
  out->stream("c\r");
  out->stream("");   // an empty chunk does not decide
  out->stream("d");  // a lone CR: neutralised, one column
  EXPECT_EQ(cap.take(), "c\uFFFDd");
  EXPECT_EQ(out->col_pos(), 6);
  // Events keep the chunks as they came.
  std::vector<std::string> chunks;
  for (const auto& e : events.take())
    if (e.name == "content") chunks.push_back(str(e.payload, "chunk"));
  EXPECT_EQ(chunks, (std::vector<std::string>{"a\r", "\nb", "c\r", "", "d"}));
}

// A turn that starts without start_thinking starts its clock at its first operation.
TEST_F(OutputTest, TurnWithoutStartThinkingTimesFromItsFirstOperation) {
  testing::set_clock_override(5000.0);
  const int idx = out->log_tool("bash", "ls");
  EXPECT_EQ(out->snapshot().start_time, 5000.0);
  ASSERT_TRUE(cap.wait_for("A\r"));
  testing::set_clock_override(5003.54);
  out->tool_result("ok", false, idx);
  out->done();
  const std::string w = cap.take();
  EXPECT_NE(w.find("(0s)"), std::string::npos);
  EXPECT_NE(w.find("Done in 3.5s — tools: bash"), std::string::npos) << w;
  // A later start_thinking still resets the clock.
  testing::set_clock_override(6000.0);
  out->start_thinking();
  testing::set_clock_override(6001.0);
  out->done();
  EXPECT_NE(cap.take().find("Done in 1.0s"), std::string::npos);
}

// A clock that steps back a little never prints "-0.0s".
TEST_F(OutputTest, ClockSteppingBackPrintsZeroNotMinusZero) {
  testing::set_clock_override(1000.0);
  out->start_thinking();
  out->_stop_indicator();
  testing::set_clock_override(999.97);
  out->done();
  EXPECT_NE(cap.take().find("Done in 0.0s"), std::string::npos);
}

// The plain-terminal preview drops whole escape sequences; lone controls show as
// U+FFFD; events and the record keep the original text.
TEST_F(OutputTest, ToolPreviewDropsEscapeSequences) {
  const std::string raw =
      "\x1b[0m\x1b[01;34msrc\x1b[0m  \x1b[01;32mrun.sh\x1b[0m\n"
      "\x1b]0;title\x07x\x1b]8;;http://e\x1b\\y\x1b(Bz\x1b[?25l\n"
      "bell\x07 \xc2\x9b"
      "31mc1\n"
      "lone\x1b";
  const int idx = out->log_tool("bash", "ls --color");
  cap.take();
  out->tool_result(raw, false, idx);
  out->_stop_indicator();
  const std::string w = cap.take();
  EXPECT_NE(w.find("\x1b[2m  └ src  run.sh\x1b[0m\n"), std::string::npos) << w;
  EXPECT_NE(w.find("\x1b[2m  └ xyz\x1b[0m\n"), std::string::npos) << w;
  EXPECT_NE(w.find("\x1b[2m  └ bell\uFFFD c1\x1b[0m\n"), std::string::npos) << w;
  EXPECT_NE(w.find("\x1b[2m  └ lone\uFFFD\x1b[0m\n"), std::string::npos) << w;
  EXPECT_EQ(out->state.tool_actions[0].result, raw);
  std::string emitted;
  for (const auto& e : events.take())
    if (e.name == "tool_result") emitted = str(e.payload, "result");
  EXPECT_EQ(emitted, raw);
}

TEST_F(OutputTest, ApprovalSlotIsHeldNotCalled) {
  EXPECT_FALSE(out->approval_callback());
  int calls = 0;
  out->set_approval_callback([&](const std::string&, const std::string&) {
    ++calls;
    return true;
  });
  out->start_thinking();
  out->done();
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(out->approval_callback()("bash", "rm -rf x"));
}

// Both forms of the slot: the one set last answers, and the two-argument accessor keeps working.
TEST_F(OutputTest, ApprovalWithAReason) {
  EXPECT_EQ(out->ask_approval("bash", "rm x", "deletes x"), std::nullopt);
  std::vector<std::string> asked;
  out->set_approval_callback([&](const std::string& tool, const std::string& command) {
    asked.push_back(tool + "|" + command);
    return false;
  });
  EXPECT_EQ(out->ask_approval("bash", "rm x", "deletes x"), std::optional<bool>(false));
  out->set_approval_callback(ReasonedApprovalCallback(
      [&](const std::string& tool, const std::string& command, const std::string& reason) {
        asked.push_back(tool + "|" + command + "|" + reason);
        return true;
      }));
  EXPECT_EQ(out->ask_approval("bash", "rm y", "deletes y"), std::optional<bool>(true));
  ASSERT_TRUE(out->approval_callback());
  EXPECT_TRUE(out->approval_callback()("bash", "rm z"));  // asked with an empty reason
  EXPECT_EQ(asked, (std::vector<std::string>{"bash|rm x", "bash|rm y|deletes y", "bash|rm z|"}));
  out->set_approval_callback(nullptr);
  EXPECT_FALSE(out->has_approval_callback());
  EXPECT_EQ(out->ask_approval("bash", "rm x", "deletes x"), std::nullopt);
}

}  // namespace
}  // namespace orvo
