// label: threaded
#include "host/demo_agent.hpp"
#include "agent/openai_agent.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include "../output/capture.hpp"
#include "host/plain.hpp"
#include "output/output_manager.hpp"

namespace orvo::host {
namespace {

using namespace std::chrono_literals;

struct Recorded {
  std::mutex m;
  std::vector<std::pair<std::string, PayloadMap>> events;
  std::vector<std::string> names() {
    std::lock_guard l(m);
    std::vector<std::string> out;
    for (auto& e : events) out.push_back(e.first);
    return out;
  }
  std::vector<PayloadMap> of(const std::string& name) {
    std::lock_guard l(m);
    std::vector<PayloadMap> out;
    for (auto& e : events)
      if (e.first == name) out.push_back(e.second);
    return out;
  }
  std::string content() {
    std::string s;
    for (auto& p : of("content")) s += p.text("chunk");
    return s;
  }
};

void record(OutputManager& out, Recorded& rec) {
  out.set_event_callback([&rec](const std::string& name, Payload p) {
    std::lock_guard l(rec.m);
    rec.events.emplace_back(name, *p);
  });
}

std::vector<std::string> tools(Recorded& rec) {
  std::vector<std::string> out;
  for (auto& p : rec.of("tool_start")) out.push_back(p.text("name") + " " + p.text("args"));
  return out;
}

TEST(DemoAgent, FirstTurnShowsEverythingAndAsksBeforeDeleting) {
  for (bool allow : {true, false}) {
    SCOPED_TRACE(allow ? "allowed" : "denied");
    test::CoutCapture capture;
    DemoAgent agent(0);
    OutputManager out;
    Recorded rec;
    record(out, rec);
    std::vector<std::pair<std::string, std::string>> asked;
    out.set_approval_callback([&](const std::string& tool, const std::string& command) {
      asked.emplace_back(tool, command);
      return allow;
    });
    agent.run_turn("fix the port", out);

    const auto names = rec.names();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "thinking_start");
    EXPECT_EQ(names.back(), "done");
    for (const char* kind : {"stage", "thinking_chunk", "thinking_peek", "thinking_done",
                             "tool_result", "stream_start", "content"})
      EXPECT_NE(std::find(names.begin(), names.end(), kind), names.end()) << kind;
    EXPECT_EQ(rec.of("thinking_start")[0].text("reset"), "true");

    std::vector<std::string> expected = {
        "read_file src/config.py", "grep -rn \"load\\|APP_PORT\" src tests docs",
        "edit_file src/config.py", "bash python -m pytest -q tests/test_config.py"};
    if (allow) expected.push_back(std::string("bash ") + DemoAgent::kDestructiveCommand);
    EXPECT_EQ(tools(rec), expected);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0],
              std::make_pair(std::string("bash"), std::string(DemoAgent::kDestructiveCommand)));

    const auto results = rec.of("tool_result");
    EXPECT_EQ(results[2].text("result").rfind("--- a/src/config.py\n+++ b/src/config.py\n@@ ", 0),
              0u);
    EXPECT_EQ(results[3].text("error"), "true");
    const std::string answer = rec.content();
    EXPECT_NE(answer.find("```python\n"), std::string::npos);
    EXPECT_NE(answer.find("\n- "), std::string::npos);
    EXPECT_NE(answer.find(allow ? "are gone" : "left in place"), std::string::npos) << answer;
    // The terminal saw the same turn.
    const std::string shown = capture.take();
    EXPECT_NE(shown.find("Done in"), std::string::npos);
    EXPECT_EQ(shown.find("Skipped") != std::string::npos, !allow);
  }
}

TEST(DemoAgent, WithoutAnApprovalCallbackNothingIsDeleted) {
  test::CoutCapture capture;
  DemoAgent agent(0);
  OutputManager out;
  Recorded rec;
  record(out, rec);
  agent.run_turn("fix it", out);
  for (const auto& t : tools(rec)) EXPECT_EQ(t.find("rm -rf"), std::string::npos);
  EXPECT_EQ(rec.names().back(), "done");
}

TEST(DemoAgent, LaterTurnsVaryAndQuoteThePromptSafely) {
  test::CoutCapture capture;
  DemoAgent agent(0);
  OutputManager out;
  out.set_approval_callback([](const std::string&, const std::string&) { return false; });
  agent.run_turn("first", out);
  std::vector<std::vector<std::string>> seen;
  for (int i = 0; i < 2; ++i) {
    Recorded rec;
    record(out, rec);
    agent.run_turn("what\x1b[2J is \xff this?\nsecond line", out);
    seen.push_back(tools(rec));
    EXPECT_EQ(rec.names().front(), "thinking_start");
    EXPECT_EQ(rec.names().back(), "done");
  }
  EXPECT_NE(seen[0], seen[1]);
  EXPECT_EQ(agent.turns(), 3);
  EXPECT_EQ(capture.take().find("\x1b[2J"), std::string::npos);
  agent.reset_conversation();
  EXPECT_EQ(agent.turns(), 0);
}

// Cancelling at a given event: the turn ends at its next step, with a note and done.
TEST(DemoAgent, CancelStopsTheTurnAtItsNextStep) {
  const char* points[] = {"thinking_chunk", "tool_start", "content"};
  for (const char* point : points) {
    SCOPED_TRACE(point);
    test::CoutCapture capture;
    DemoAgent agent(4.0);  // paced: the rest of the turn would take seconds
    OutputManager out;
    Recorded rec;
    std::atomic<bool> fired{false};
    std::chrono::steady_clock::time_point cancelled_at;
    out.set_event_callback([&](const std::string& name, Payload p) {
      {
        std::lock_guard l(rec.m);
        rec.events.emplace_back(name, *p);
      }
      if (name == point && !fired.exchange(true)) {
        cancelled_at = std::chrono::steady_clock::now();
        agent.cancel();
      }
    });
    out.set_approval_callback([](const std::string&, const std::string&) { return true; });
    agent.run_turn("go", out);
    ASSERT_TRUE(fired);
    // The indicator's stop may wait for one tick; no pause of the script is waited out.
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled_at, 800ms);
    const auto names = rec.names();
    EXPECT_EQ(names.back(), "done");
    const auto at = std::find(names.begin(), names.end(), point);
    ASSERT_NE(at, names.end());
    // Nothing new starts after the cancel.
    for (auto it = at + 1; it != names.end(); ++it)
      EXPECT_TRUE(*it != "tool_start" && *it != "thinking_start") << *it;
    EXPECT_NE(capture.take().find("Interrupted"), std::string::npos);
  }
}

TEST(DemoAgent, CancelDuringTheApprovalRunsNothing) {
  test::CoutCapture capture;
  DemoAgent agent(0);
  OutputManager out;
  Recorded rec;
  record(out, rec);
  // The host denies a waiting approval when the user interrupts.
  out.set_approval_callback([&](const std::string&, const std::string&) {
    agent.cancel();
    return true;
  });
  agent.run_turn("go", out);
  for (const auto& t : tools(rec)) EXPECT_EQ(t.find("rm -rf"), std::string::npos);
  EXPECT_TRUE(rec.of("content").empty());
  EXPECT_EQ(rec.names().back(), "done");
  // A cancel between turns does not stop the next one.
  agent.cancel();
  Recorded next;
  record(out, next);
  agent.run_turn("again", out);
  EXPECT_FALSE(next.of("content").empty());
}

TEST(PlainMode, TurnsFromInputWithApprovalsAnsweredFromInput) {
  struct Case {
    const char* input;
    bool deleted;
    int turns;
  };
  const Case cases[] = {
      {"fix it\n1\n", true, 1},        {"fix it\n2\nnext\n", false, 2},
      {"fix it\nmaybe\n1\n", true, 1},  // asked again until 1 or 2
      {"fix it\n", false, 1},           // end of input while asked: no
      {"\n   \n", false, 0},            // blank lines are no prompts
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    test::CoutCapture capture;
    DemoAgent agent(0);
    std::istringstream in(c.input);
    EXPECT_EQ(run_plain(agent, in), 0);
    EXPECT_EQ(agent.turns(), c.turns);
    const std::string shown = capture.take();
    const std::string question =
        std::string("Allow bash? ") + DemoAgent::kDestructiveCommand + " [1 allow / 2 deny]";
    EXPECT_EQ(shown.find(question) != std::string::npos, c.turns > 0) << shown;
    EXPECT_EQ(shown.find("removed directory") != std::string::npos, c.deleted);
  }
}

TEST(PlainMode, InterruptCancelsTheRunningTurnOnly) {
  test::CoutCapture capture;
  DemoAgent agent(1.0);
  std::istringstream in("one\n");
  std::atomic<bool> interrupt{false};
  PlainOptions options;
  options.interrupt = &interrupt;
  std::thread presser([&] {
    std::this_thread::sleep_for(300ms);
    interrupt = true;
  });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(run_plain(agent, in, options), 0);
  presser.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  EXPECT_NE(capture.take().find("Interrupted"), std::string::npos);
}

TEST(PlainMode, QuestionShowsControlCharactersSafely) {
  EXPECT_EQ(approval_question("bash", "rm \x1b[2J -rf"),
            "Allow bash? rm \xEF\xBF\xBD[2J -rf [1 allow / 2 deny]");
}

TEST(PlainMode, EndpointSelectsTheAgent) {
  config::Config c;
  c.runtime.endpoint = "builtin";
  EXPECT_NE(dynamic_cast<DemoAgent*>(make_turn_runner(c).get()), nullptr);
  c.runtime.endpoint = "http://127.0.0.1:8080/v1";
  EXPECT_NE(dynamic_cast<agent::OpenAIAgent*>(make_turn_runner(c).get()), nullptr);
  c.runtime.endpoint = "gopher://x";
  EXPECT_THROW(make_turn_runner(c), config::ConfigError);
}

}  // namespace
}  // namespace orvo::host
