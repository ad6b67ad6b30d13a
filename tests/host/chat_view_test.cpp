// The chat host and the conversation view together: tool rows that tell how a call ended, a
// stopped turn in the order of its events, answers settled at once, the log re-flowed on resize
// and by Ctrl+L.
// label: threaded
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <regex>

#include "host/chat/chat_app.hpp"
#include "tui/framework/headless/pilot.hpp"

namespace orvo::host {
namespace {

using namespace std::chrono_literals;

// "fail": a command that fails; "stop": a tool that runs until the turn is cancelled; anything
// else: a markdown answer.
class ViewRunner : public agent::TurnRunner {
 public:
  void run_turn(const std::string& prompt, OutputManager& out) override {
    out.start_thinking(true);
    if (prompt == "fail") {
      const int idx = out.log_tool("bash", "false");
      out.tool_result("exit status 1", true, idx);
      out.stream("It failed.");
      out.done();
      return;
    }
    if (prompt == "seq") {
      const int idx = out.log_tool("bash", "seq 9");
      out.tool_result("1\n2\n3\n4\n5\n6\n7\n8\n9\n", false, idx);
      out.stream("Nine lines.");
      out.done();
      return;
    }
    if (prompt == "stop") {
      out.log_tool("read_file", "a.txt");
      std::unique_lock lock(m_);
      cv_.wait_for(lock, 10s, [&] { return cancelled_; });
      cancelled_ = false;
      out.print_info("Interrupted: the turn was stopped.");
      out.done();
      return;
    }
    out.stream("## Fixed\n");
    out.stream("`APP_PORT` was a **string**.\n");
    out.done();
  }
  void cancel() override {
    std::lock_guard lock(m_);
    cancelled_ = true;
    cv_.notify_all();
  }
  void set_mode(const std::string&) override {}
  void reset_conversation() override {}

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool cancelled_ = false;
};

struct ChatView : ::testing::Test {
  std::shared_ptr<ViewRunner> runner = std::make_shared<ViewRunner>();
  std::unique_ptr<KestravelTUI> app;
  std::unique_ptr<tui::Pilot> pilot;

  void start(tui::Size size) {
    app = std::make_unique<KestravelTUI>(config::Config{}, runner);
    app->install_chat();
    app->switch_screen("chat");
    pilot = std::make_unique<tui::Pilot>(*app, size);
  }
  void TearDown() override {
    pilot.reset();
    if (app) app->shutdown();
  }
  std::string log_text() {
    std::string s;
    for (const auto& row : app->log()->lines()) s += row.text() + "\n";
    return s;
  }
  // The screen with the turn's elapsed time as "T" (it is not the subject here).
  std::string screen() {
    static const std::regex elapsed("[0-9]+\\.[0-9]s ·");
    return std::regex_replace(pilot->screenshot(), elapsed, "T ·");
  }
  void run(std::string_view prompt) {
    pilot->type(prompt);
    pilot->press("enter");
    ASSERT_TRUE(pilot->wait_until([&] { return !app->turn_running(); }, 10s));
    pilot->wait_idle();
  }
};

TEST_F(ChatView, AFailedCallIsOneRedCrossRow) {
  start({70, 20});
  run("fail");
  const std::string log = log_text();
  EXPECT_NE(log.find("  ✗ Bash(false)  failed"), std::string::npos) << log;
  EXPECT_EQ(log.find("✓"), std::string::npos) << log;
  EXPECT_EQ(log.find("●"), std::string::npos) << log;
}

TEST_F(ChatView, AStoppedTurnMarksItsToolAndSaysSoBeforeTheSummary) {
  start({70, 20});
  pilot->type("stop");
  pilot->press("enter");
  ASSERT_TRUE(pilot->wait_until([&] { return log_text().find("● Read") != std::string::npos; }));
  pilot->press("escape");
  ASSERT_TRUE(pilot->wait_until([&] { return !app->turn_running(); }, 10s));
  pilot->wait_idle();
  const std::string log = log_text();
  EXPECT_NE(log.find("  ✗ Read(a.txt)  interrupted"), std::string::npos) << log;
  EXPECT_EQ(log.find("●"), std::string::npos) << log;
  std::vector<std::string> kinds;
  for (const auto& e : app->log()->_history)
    if (e.kind() == "turn_summary" || (e.kind() == "info" && e.value(0) == "Stopped."))
      kinds.push_back(e.kind());
  EXPECT_EQ(kinds, (std::vector<std::string>{"info", "turn_summary"}));
}

TEST_F(ChatView, AFinishedAnswerIsRenderedMarkdown) {
  start({70, 20});
  run("md");
  const std::string log = log_text();
  EXPECT_NE(log.find("  Fixed"), std::string::npos) << log;
  EXPECT_EQ(log.find("##"), std::string::npos) << log;
  EXPECT_EQ(log.find("**"), std::string::npos) << log;
}

TEST_F(ChatView, ResizingReflowsTheLogAndComesBackAsItWas) {
  start({50, 12});
  run("please read the configuration loader and explain why the port is a string");
  const std::string at50 =
      "   explain why the port is a string\n"
      "\n"
      "   Fixed                                         █\n"
      "   ─────                                         █\n"
      "                                                 █\n"
      "   APP_PORT was a string.                        █\n"
      "                                                 █\n"
      "                                                 █\n"
      "   T · 9 tokens                               █\n"
      "  Fast · kestravel-demo · builtin\n"
      " ›  Ask anything · /help for commands\n"
      " enter send · ↑ history · ctrl+d quit";
  EXPECT_EQ(screen(), at50);
  // Down to 20 columns and back: the log is laid out at each size, and looks as it did.
  pilot->resize(20, 12);
  pilot->pause(150ms);
  pilot->resize(50, 12);
  pilot->pause(150ms);
  EXPECT_EQ(screen(), at50);
  // A burst is laid out once, at its last size.
  pilot->resize(30, 12);
  pilot->resize(20, 12);
  pilot->resize(50, 12);
  pilot->pause(150ms);
  EXPECT_EQ(screen(), at50);
  // Ctrl+L lays the log out at once, before the coalesced re-flow would.
  pilot->resize(24, 12);
  pilot->press("ctrl+l");
  EXPECT_EQ(screen(),
            "\n"
            "   Fixed\n"
            "   ─────\n"
            "\n"
            "   APP_PORT was a      █\n"
            "   string.             █\n"
            "                       █\n"
            "                       █\n"
            "   T · 9 tokens     █\n"
            "  Fast · kestravel-demo\n"
            " ›  Ask anything · /hel\n"
            " ctrl+d quit");
}

// Ctrl+O opens every folded tool output in full and, pressed again, folds it; the reader's
// screen follows.
TEST_F(ChatView, CtrlOOpensAndFoldsToolOutput) {
  start({40, 20});
  run("seq");
  const std::string folded = screen();
  EXPECT_EQ(folded,
            "\n"
            " ❯ seq\n"
            "   ✓ Bash(seq 9)  9 lines\n"
            "     │ 1\n"
            "     │ 2\n"
            "     │ 3\n"
            "     │ 4\n"
            "     │ 5\n"
            "     ⎿ 6\n"
            "       … +3 more lines\n"
            "\n"
            "   Nine lines.\n"
            "\n"
            "   T · Bash · 2 tokens\n"
            "\n\n\n"
            "  Fast · kestravel-demo · builtin\n"
            " ›  Ask anything · /help for commands\n"
            " enter send · ↑ history · ctrl+d quit");
  pilot->press("ctrl+o");
  pilot->wait_idle();
  EXPECT_EQ(screen(),
            "\n"
            " ❯ seq\n"
            "   ✓ Bash(seq 9)  9 lines\n"
            "     │ 1\n"
            "     │ 2\n"
            "     │ 3\n"
            "     │ 4\n"
            "     │ 5\n"
            "     │ 6\n"
            "     │ 7\n"
            "     │ 8\n"
            "     ⎿ 9\n"
            "       ▴ fold 3 lines\n"
            "\n"
            "   Nine lines.\n"
            "\n"
            "   T · Bash · 2 tokens\n"
            "  Fast · kestravel-demo · builtin\n"
            " ›  Ask anything · /help for commands\n"
            " enter send · ↑ history · ctrl+d quit");
  pilot->press("ctrl+o");
  pilot->wait_idle();
  EXPECT_EQ(screen(), folded);
}

}  // namespace
}  // namespace orvo::host
