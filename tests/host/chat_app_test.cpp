// The chat host through the pilot: a scripted agent on the worker thread, its events in the view,
// approvals answered by keys only while their prompt is outstanding, queued prompts, interrupts,
// slash commands and quitting.
// label: threaded
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "host/chat/chat_app.hpp"
#include "output/indicator_text.hpp"
#include "tui/framework/headless/pilot.hpp"

namespace orvo::host {
namespace {

using namespace std::chrono_literals;

// A turn per prompt: "tool" runs a tool, "ask" asks for approval, "wait" blocks until cancelled;
// anything else answers with the prompt's text.
class ScriptedRunner : public agent::TurnRunner {
 public:
  void run_turn(const std::string& prompt, OutputManager& out) override {
    {
      std::lock_guard lock(m_);
      prompts.push_back(prompt);
    }
    out.start_thinking(true);
    out.thinking_done("first I look\nthen I answer");
    if (prompt == "tool") {
      int idx = out.log_tool("read_file", "src/a.txt");
      out.tool_result("one\ntwo\nthree", false, idx);
    }
    if (prompt == "ask" || prompt == "ask why") {
      bool ok = prompt == "ask"
                    ? out.approval_callback() && out.approval_callback()("bash", "rm -rf build")
                    : out.ask_approval("bash", "rm -rf build", "deletes build/").value_or(false);
      out.stream(ok ? "allowed it" : "was denied");
      out.done();
      return;
    }
    if (prompt == "wait") {
      std::unique_lock lock(m_);
      cv_.wait_for(lock, 10s, [&] { return cancelled_.load(); });
      cancelled_ = false;  // a cancel may come before the turn starts: it is consumed here
      out.set_error("Interrupted by the user");
      return;
    }
    out.stream("answer to ");
    out.stream(prompt);
    out.done();
  }
  void cancel() override {
    std::lock_guard lock(m_);
    cancelled_ = true;
    cv_.notify_all();
  }
  void set_mode(const std::string& m) override { mode = m; }
  void reset_conversation() override { ++resets; }

  std::vector<std::string> prompts;
  std::string mode;
  std::atomic<int> resets{0};

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::atomic<bool> cancelled_{false};
};

struct ChatFixture : ::testing::Test {
  std::shared_ptr<ScriptedRunner> runner = std::make_shared<ScriptedRunner>();
  std::unique_ptr<KestravelTUI> app;
  std::unique_ptr<tui::Pilot> pilot;

  void SetUp() override {
    config::Config cfg;
    cfg.runtime.laptop_26b_runtime_mode = "turbo-think";
    app = std::make_unique<KestravelTUI>(cfg, runner);
    app->install_chat();
    app->switch_screen("chat");
    pilot = std::make_unique<tui::Pilot>(*app, tui::Size{70, 20});
  }
  void TearDown() override {
    pilot.reset();
    app->shutdown();
  }
  // Plain text of every drawn row of the conversation.
  std::string log_text() {
    std::string s;
    for (const auto& row : app->log()->lines()) s += row.text() + "\n";
    return s;
  }
  bool wait_idle_turn() {
    return pilot->wait_until([&] { return !app->turn_running(); }, 10s);
  }
  void send(std::string_view text) {
    pilot->type(text);
    pilot->press("enter");
  }
};

TEST_F(ChatFixture, ATurnShowsThinkingToolsAnswerAndSummary) {
  EXPECT_EQ(app->status_text(), " Reasoning · builtin");
  send("tool");
  ASSERT_TRUE(wait_idle_turn());
  pilot->wait_idle();
  std::string log = log_text();
  EXPECT_NE(log.find("❯ tool"), std::string::npos) << log;
  EXPECT_NE(log.find("▶ first I look…  (+1 lines)"), std::string::npos) << log;
  // One row per call: the running row became the result row.
  EXPECT_EQ(log.find("● Read(src/a.txt)"), std::string::npos) << log;
  EXPECT_NE(log.find("✓ Read(src/a.txt)  3 lines"), std::string::npos) << log;
  EXPECT_NE(log.find("answer to tool"), std::string::npos) << log;
  EXPECT_NE(log.find("· Read · "), std::string::npos) << log;  // the summary names the tool
  EXPECT_EQ(runner->mode, "turbo-think");
}

TEST_F(ChatFixture, ApprovalKeysAnswerOnlyWhileThePromptIsOutstanding) {
  send("ask");
  ASSERT_TRUE(pilot->wait_until([&] { return app->approval_pending(); }, 10s));
  EXPECT_NE(log_text().find("Allow bash? rm -rf build"), std::string::npos);
  EXPECT_EQ(app->legend_text().substr(0, 7), "1 allow");
  pilot->press("2");
  ASSERT_TRUE(wait_idle_turn());
  pilot->wait_idle();
  EXPECT_NE(log_text().find("was denied"), std::string::npos);
  // A second press types into the box instead of answering anything.
  pilot->press("2");
  EXPECT_EQ(app->input()->text(), "2");
}

// Keys typed for the next prompt must not answer: 1 and 2 answer only into an empty box.
TEST_F(ChatFixture, TypedAheadTextNeverAnswersAnApproval) {
  send("ask why");
  ASSERT_TRUE(pilot->wait_until([&] { return app->approval_pending(); }, 10s));
  pilot->wait_idle();
  EXPECT_NE(log_text().find("Why: deletes build/"), std::string::npos) << log_text();
  pilot->type("next: run test");
  pilot->type("12 again");
  pilot->wait_idle();
  EXPECT_TRUE(app->approval_pending());
  EXPECT_EQ(app->input()->text(), "next: run test12 again");
  EXPECT_EQ(app->legend_text(), "1/2 answer once the box is empty · esc deny and stop");
  EXPECT_EQ(log_text().find("Allowed."), std::string::npos);
  // Emptied, the box gives the keys back to the prompt.
  pilot->press("ctrl+u");
  EXPECT_EQ(app->input()->text(), "");
  EXPECT_EQ(app->legend_text().substr(0, 7), "1 allow");
  pilot->press("1");
  ASSERT_TRUE(wait_idle_turn());
  pilot->wait_idle();
  EXPECT_EQ(app->input()->text(), "");
  EXPECT_NE(log_text().find("allowed it"), std::string::npos) << log_text();
}

TEST_F(ChatFixture, PromptsTypedDuringATurnAreQueuedAndRunInOrder) {
  send("wait");
  ASSERT_TRUE(pilot->wait_until([&] { return app->turn_running(); }, 5s));
  send("second");
  send("third");
  EXPECT_EQ(app->queued().size(), 2u);
  EXPECT_NE(log_text().find("↻ second  (queued)"), std::string::npos);
  // The status row takes the output controller's indicator words, then counts the queue.
  const std::string status = app->status_text();
  EXPECT_NE(status.find(std::string(indicator::label(0)) + "... ("), std::string::npos) << status;
  EXPECT_NE(status.find(std::string(indicator::kStopHint) + " · 2 queued"), std::string::npos)
      << status;
  pilot->press("escape");  // stops "wait"; the queue then runs
  ASSERT_TRUE(
      pilot->wait_until([&] { return !app->turn_running() && app->queued().empty(); }, 10s));
  pilot->wait_idle();
  std::string log = log_text();
  EXPECT_NE(log.find("Interrupted by the user"), std::string::npos) << log;
  EXPECT_LT(log.find("answer to second"), log.find("answer to third"));
}

TEST_F(ChatFixture, SlashCommandsAndQuitting) {
  send("/nope");
  EXPECT_NE(log_text().find("Unknown command /nope"), std::string::npos);
  send("/clear");
  EXPECT_EQ(runner->resets.load(), 1);
  EXPECT_EQ(log_text().find("Unknown command"), std::string::npos);
  pilot->type("draft");
  pilot->press("ctrl+c");  // clears a non-empty box
  EXPECT_EQ(app->input()->text(), "");
  EXPECT_FALSE(pilot->exited());
  pilot->press("ctrl+c");  // quits on an empty one
  EXPECT_TRUE(pilot->exited());
}

TEST_F(ChatFixture, ShutdownReleasesAWorkerWaitingForAnApproval) {
  send("ask");
  ASSERT_TRUE(pilot->wait_until([&] { return app->approval_pending(); }, 10s));
  auto t0 = std::chrono::steady_clock::now();
  app->shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
}

TEST_F(ChatFixture, ANarrowTerminalKeepsTheQuitHintAndATinyOneSaysItIsTooSmall) {
  auto last_row = [&] {
    const std::string shot = pilot->screenshot();
    return shot.substr(shot.rfind('\n') + 1);
  };
  pilot->resize(30, 8);
  EXPECT_EQ(last_row(), " enter send · ctrl+d quit");
  send("wait");
  ASSERT_TRUE(pilot->wait_until([&] { return app->turn_running(); }, 10s));
  pilot->wait_idle();
  EXPECT_EQ(last_row(), " esc/ctrl+c stop");
  pilot->press("escape");
  ASSERT_TRUE(wait_idle_turn());
  pilot->resize(18, 4);
  EXPECT_EQ(pilot->screenshot(), "\n\nterminal too small\n");
  pilot->resize(70, 20);
  EXPECT_EQ(last_row(), " enter send · ↑ history · pgup/pgdn scroll · ctrl+d quit");
}

}  // namespace
}  // namespace orvo::host
