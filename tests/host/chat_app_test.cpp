// The chat host through the pilot: a scripted agent on the worker thread, its events in the view,
// approvals answered by keys only while their prompt is outstanding, queued prompts, interrupts,
// slash commands and quitting; the mouse never takes the keyboard, and a reader scrolled up keeps
// their place while an answer streams.
// label: threaded
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <regex>

#include "common/utf8.hpp"
#include "host/chat/chat_app.hpp"
#include "output/indicator_text.hpp"
#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/static.hpp"

namespace orvo::host {
namespace {

using namespace std::chrono_literals;

// A turn per prompt: "tool" runs a tool, "ask" asks for approval, "wait" blocks until cancelled,
// "long" streams a code block of 30 lines, waits for open_gate() (or a cancel), then streams 10
// more; anything else answers with the prompt's text.
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
    if (prompt == "long") {
      out.stream("```\n");
      for (int i = 1; i <= 30; ++i) out.stream("line " + std::to_string(i) + "\n");
      {
        std::unique_lock lock(m_);
        cv_.wait_for(lock, 10s, [&] { return gate_ || cancelled_.load(); });
        gate_ = false;
      }
      for (int i = 31; i <= 40; ++i) out.stream("line " + std::to_string(i) + "\n");
      out.stream("```\n");
      out.done();
      return;
    }
    if (prompt == "reason") {
      // Reasoning streams, then waits for open_gate() while the status row shows its last line.
      out.feed_thinking("The user wants the port parsed.\nCheck config.py, then ");
      out.feed_thinking("every caller of load() in the whole project tree");
      {
        std::unique_lock lock(m_);
        cv_.wait_for(lock, 10s, [&] { return gate_ || cancelled_.load(); });
        gate_ = false;
      }
      out.thinking_done("The user wants the port parsed.\nCheck config.py, then every caller");
      out.stream("done");
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
  void open_gate() {
    std::lock_guard lock(m_);
    gate_ = true;
    cv_.notify_all();
  }
  void set_mode(const std::string& m) override { mode = m; }
  void set_model(const std::string& m) override { model = m; }
  void reset_conversation() override { ++resets; }

  std::vector<std::string> prompts;
  std::string mode;
  std::string model;
  std::atomic<int> resets{0};

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::atomic<bool> cancelled_{false};
  bool gate_ = false;
};

// A stand-in for the mode screen: "1" picks Fast and goes back to the chat.
class ModeScreen : public tui::Screen {
 public:
  ModeScreen() : Screen("modes") {
    register_action("fast", [this] {
      auto& a = dynamic_cast<tui::ConfiguredApp&>(*app());
      a.orvo_config.runtime.laptop_26b_runtime_mode = config::kModeFast;
      a.switch_screen("chat");
    });
    set_bindings({tui::Binding("1", "fast")});
  }
  void compose(tui::ComposeResult& r) override { r.yield<tui::Static>("1 Fast"); }
};

struct ChatFixture : ::testing::Test {
  std::shared_ptr<ScriptedRunner> runner = std::make_shared<ScriptedRunner>();
  std::unique_ptr<KestravelTUI> app;
  std::unique_ptr<tui::Pilot> pilot;

  void SetUp() override {
    config::Config cfg;
    cfg.runtime.laptop_26b_runtime_mode = "turbo-think";
    app = std::make_unique<KestravelTUI>(cfg, runner, ChatInfo{.mode_screen = "modes"});
    app->install_screen("modes", std::make_unique<ModeScreen>());
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
  bool has_row(std::string_view text) {
    return pilot->wait_until(
        [&] { return log_text().find(std::string(text) + "\n") != std::string::npos; }, 10s);
  }
  // The screenshot after a line break (so a literal starts on a row of its own), with the running
  // indicator's icon, word and clock (they move with time) written as "<working>" and the turns'
  // durations as "N.Ns".
  std::string screen() {
    static const std::regex kIndicator(R"(\n +\S+ [a-z]+\.\.\. \(\d+s\))");
    static const std::regex kElapsed(R"(\d+\.\ds · )");
    const std::string shot =
        std::regex_replace("\n" + pilot->screenshot(), kIndicator, "\n  <working>");
    return std::regex_replace(shot, kElapsed, "N.Ns · ");
  }
};

TEST_F(ChatFixture, ATurnShowsThinkingToolsAnswerAndSummary) {
  EXPECT_EQ(app->status_text(), " Reasoning · kestravel-demo · builtin");
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

TEST_F(ChatFixture, PromptsTypedDuringATurnAreQueuedAndComeBackToTheBoxAfterAStop) {
  send("wait");
  ASSERT_TRUE(pilot->wait_until([&] { return app->turn_running(); }, 5s));
  send("second");
  send("third");
  EXPECT_EQ(app->queued().size(), 2u);
  EXPECT_NE(pilot->screenshot().find("↻ second"), std::string::npos);
  EXPECT_EQ(log_text().find("second"), std::string::npos);
  // The status row takes the output controller's indicator words, then counts the queue.
  const std::string status = app->status_text();
  EXPECT_NE(status.find(std::string(indicator::label(0)) + "... ("), std::string::npos) << status;
  EXPECT_NE(status.find(std::string(indicator::kStopHint) + " · 2 queued"), std::string::npos)
      << status;
  pilot->type("draft");
  // A stop does not start the next prompt: the queue goes back into the box, before what was
  // being typed, and nothing more is sent until Enter.
  pilot->press("escape");
  ASSERT_TRUE(pilot->wait_until([&] { return !app->turn_running(); }, 10s));
  pilot->wait_idle();
  EXPECT_TRUE(app->queued().empty());
  EXPECT_EQ(app->input()->text(), "second\nthird\ndraft");
  EXPECT_TRUE(app->status_text().ends_with("  2 queued prompts are back in the box, as one"))
      << app->status_text();
  std::string log = log_text();
  EXPECT_NE(log.find("Interrupted by the user"), std::string::npos) << log;
  EXPECT_EQ(log.find("second"), std::string::npos) << log;
  pilot->press("enter");
  ASSERT_TRUE(has_row("answer to second")) << log_text();
}

// Folding a thinking block, drag-selecting and the wheel leave the keyboard with the input box.
TEST_F(ChatFixture, MouseInTheLogNeverTakesTheKeyboard) {
  send("tool");
  ASSERT_TRUE(wait_idle_turn());
  pilot->wait_idle();
  auto row_of = [&](std::string_view text) {
    const std::string shot = pilot->screenshot();
    const auto at = shot.find(text);
    return at == std::string::npos
               ? -1
               : static_cast<int>(std::count(shot.begin(),
                                             shot.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
  };
  const int header = row_of("▶ first I look");
  ASSERT_GE(header, 0) << pilot->screenshot();
  pilot->click(3, header);
  ASSERT_GE(row_of("▼ thinking"), 0) << pilot->screenshot();
  const int prompt = row_of("❯ tool");
  ASSERT_GE(prompt, 0) << pilot->screenshot();
  pilot->drag(1, prompt, 6, prompt);
  pilot->scroll_up(10, 3, 2);
  pilot->scroll_down(10, 3, 2);
  EXPECT_EQ(app->focused(), app->input());
  send("after the mouse");
  ASSERT_TRUE(has_row("answer to after the mouse")) << log_text();
  pilot->press("tab");  // nothing else in the chat takes the keyboard either
  EXPECT_EQ(app->focused(), app->input());
  ASSERT_TRUE(wait_idle_turn());
  pilot->wait_idle();
  EXPECT_EQ(screen(), R"(

   ✓ Read(src/a.txt)  3 lines
     │ one
     │ two
     ⎿ three
                                                                     █
   answer to tool                                                    █
                                                                     █
   N.Ns · Read · 3 tokens                                            █
                                                                     █
 ❯ after the mouse                                                   █
                                                                     █
   ▶ first I look…  (+1 lines)                                       █
                                                                     █
   answer to after the mouse                                         █
                                                                     █
   N.Ns · 5 tokens                                                   █
  Reasoning · kestravel-demo · builtin  copied 5 characters
 ›  Ask anything · /help for commands
 enter send · ↑ history · pgup/pgdn scroll · ctrl+d quit)");
}

// A command entered while an answer streams shows after the answer, live and after a re-flow
// alike (it used to split the answer live and move above it on the next re-flow).
TEST_F(ChatFixture, ACommandDuringAnAnswerShowsAfterIt) {
  send("long");
  ASSERT_TRUE(has_row("line 30")) << log_text();
  send("/nope");
  EXPECT_TRUE(app->status_text().ends_with("/nope shows when the answer pauses"))
      << app->status_text();
  EXPECT_EQ(log_text().find("Unknown command"), std::string::npos) << log_text();
  runner->open_gate();
  ASSERT_TRUE(wait_idle_turn());
  pilot->wait_idle();
  const auto order = [&] {
    const std::string log = log_text();
    const auto last_line = log.find("line 40");
    const auto unknown = log.find("Unknown command /nope");
    return last_line != std::string::npos && unknown != std::string::npos && last_line < unknown;
  };
  EXPECT_TRUE(order()) << log_text();
  pilot->press("ctrl+l");
  pilot->wait_idle();
  EXPECT_TRUE(order()) << log_text();
}

// While an answer streams, a reader who scrolled up keeps their place; the status row says that
// there is more below, and End takes them back down (once the box's cursor is at its line end).
TEST_F(ChatFixture, AReaderScrolledUpKeepsTheirPlace) {
  send("long");
  ASSERT_TRUE(has_row("line 30")) << log_text();
  pilot->press("pageup");
  EXPECT_EQ(screen(), R"(

   ▶ first I look…  (+1 lines)                                       █
                                                                     █
   ```                                                               █
   line 1                                                            █
   line 2                                                            █
   line 3                                                            █
   line 4                                                            █
   line 5                                                            █
   line 6
   line 7
   line 8
   line 9
   line 10
   line 11
   line 12
   line 13
  <working> · ctrl+c to stop
 ›  Ask anything · /help for commands
 enter queue · esc/ctrl+c stop · end ↓ latest · drag to copy)");
  runner->open_gate();
  ASSERT_TRUE(wait_idle_turn());
  pilot->wait_idle();
  EXPECT_TRUE(app->new_output());
  EXPECT_EQ(screen(), R"(

   ▶ first I look…  (+1 lines)                                       █
                                                                     █
                                                                     █
    line 1                                                           █
    line 2                                                           █
    line 3
    line 4
    line 5
    line 6
    line 7
    line 8
    line 9
    line 10
    line 11
    line 12
    line 13
  Reasoning · kestravel-demo · builtin  ↓ new output
 ›  Ask anything · /help for commands
 enter send · ↑ history · end ↓ latest · drag to copy · ctrl+d quit)");
  // End in a box whose cursor is not at its line end moves the cursor, not the log.
  pilot->type("ab");
  pilot->press({"left", "end"});
  EXPECT_TRUE(app->new_output());
  pilot->press("end");
  EXPECT_FALSE(app->new_output());
  EXPECT_EQ(screen(), R"(
    line 28
    line 29
    line 30
    line 31
    line 32
    line 33
    line 34
    line 35
    line 36
    line 37
    line 38
    line 39
    line 40                                                          █
                                                                     █
                                                                     █
                                                                     █
   N.Ns · 73 tokens                                                  █
  Reasoning · kestravel-demo · builtin
 › ab
 enter send · ctrl+j new line · ctrl+c clear · ↑↓ history)");
}

// A prompt typed during a turn waits above the status row, not inside the streaming code block,
// and enters the log when its turn starts.
TEST_F(ChatFixture, QueuedPromptsWaitAboveTheStatusRow) {
  send("long");
  ASSERT_TRUE(has_row("line 30")) << log_text();
  send("second");
  pilot->paste("third\nwith a second line");
  pilot->press("enter");
  send("fourth");
  send("fifth");
  EXPECT_EQ(screen(), R"(
   line 18
   line 19
   line 20
   line 21
   line 22
   line 23
   line 24
   line 25
   line 26
   line 27                                                           █
   line 28                                                           █
   line 29                                                           █
   line 30                                                           █
  ↻ second
  ↻ third  (+1 lines)
  ↻ fourth
    … 1 more queued
  <working> · ctrl+c to stop · 4 queued
 ›  Ask anything · /help for commands
 enter queue · esc/ctrl+c stop · pgup/pgdn scroll · drag to copy)");
  runner->open_gate();
  ASSERT_TRUE(
      pilot->wait_until([&] { return !app->turn_running() && app->queued().empty(); }, 10s));
  pilot->wait_idle();
  const std::string log = log_text();
  EXPECT_LT(log.find("line 40"), log.find("❯ second")) << log;
  EXPECT_LT(log.find("❯ second"), log.find("answer to second")) << log;
  EXPECT_LT(log.find("answer to second"), log.find("❯ third")) << log;
  EXPECT_EQ(log.find("(queued)"), std::string::npos) << log;
  EXPECT_EQ(screen(), R"(
   N.Ns · 8 tokens

 ❯ fourth

   ▶ first I look…  (+1 lines)

   answer to fourth

   N.Ns · 3 tokens

 ❯ fifth

   ▶ first I look…  (+1 lines)

   answer to fifth                                                   █
                                                                     █
   N.Ns · 3 tokens                                                   █
  Reasoning · kestravel-demo · builtin
 ›  Ask anything · /help for commands
 enter send · ↑ history · pgup/pgdn scroll · ctrl+d quit)");
}

// /mode typed during a turn says it waits, opens the mode screen when the turn ends, and what
// was queued behind it runs in the new mode; back in the chat the status row names it at once.
TEST_F(ChatFixture, ModeTypedDuringATurnWaitsForIt) {
  send("/mode");
  ASSERT_EQ(app->screen().id(), "modes");
  pilot->press("1");
  ASSERT_EQ(app->screen().id(), "chat");
  EXPECT_EQ(screen(), R"(

















  Fast · kestravel-demo · builtin
 ›  Ask anything · /help for commands
 enter send · ↑ history · pgup/pgdn scroll · ctrl+d quit)");

  app->orvo_config.runtime.laptop_26b_runtime_mode = "turbo-think";
  send("long");
  ASSERT_TRUE(has_row("line 30")) << log_text();
  send("/mode");
  send("after");
  EXPECT_EQ(screen(), R"(
   line 16
   line 17
   line 18
   line 19
   line 20
   line 21
   line 22
   line 23
   line 24
   line 25                                                           █
   line 26                                                           █
   line 27                                                           █
   line 28                                                           █
   line 29                                                           █
   line 30                                                           █
  ↻ /mode  (waits for this turn to end)
  ↻ after
  <working> · ctrl+c to stop · 2 queued
 ›  Ask anything · /help for commands
 enter queue · esc/ctrl+c stop · pgup/pgdn scroll · drag to copy)");
  runner->open_gate();
  ASSERT_TRUE(pilot->wait_until([&] { return app->screen().id() == "modes"; }, 10s));
  EXPECT_EQ(app->queued().size(), 1u);
  pilot->press("1");
  ASSERT_TRUE(
      pilot->wait_until([&] { return !app->turn_running() && app->queued().empty(); }, 10s));
  pilot->wait_idle();
  EXPECT_EQ(runner->mode, config::kModeFast);
  EXPECT_NE(log_text().find("answer to after"), std::string::npos) << log_text();
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
  pilot->press("ctrl+c");  // on an empty one asks first
  EXPECT_FALSE(pilot->exited());
  EXPECT_EQ(app->status_text(),
            " Reasoning · kestravel-demo · builtin  press Ctrl+C again to quit");
  pilot->press("x");  // another key in between disarms it
  pilot->press("ctrl+c");
  EXPECT_FALSE(pilot->exited());
  pilot->press("ctrl+c");
  EXPECT_FALSE(pilot->exited());
  EXPECT_EQ(app->status_note(), "press Ctrl+C again to quit");
  pilot->press("ctrl+c");  // the second within two seconds quits
  EXPECT_TRUE(pilot->exited());
}

// The note of a first Ctrl+C goes after its two seconds, and a Ctrl+C then asks again.
TEST_F(ChatFixture, TheQuitNoteExpires) {
  pilot->press("ctrl+c");
  pilot->pause(2200ms);
  EXPECT_EQ(app->status_note(), "");
  pilot->press("ctrl+c");
  EXPECT_FALSE(pilot->exited());
}

// "/" opens the menu above the box, filtered as typed; Up/Down choose, Tab completes, Esc
// closes, Enter runs the chosen command.
TEST_F(ChatFixture, TheSlashMenu) {
  pilot->type("/");
  EXPECT_EQ(screen().substr(screen().find("\n  Reasoning")), R"(
  Reasoning · kestravel-demo · builtin
  ▸ /help    list keys and commands
    /clear   empty the conversation
    /mode    pick Fast or Reasoning (waits for a running turn)
    /model   list the server's models, or switch to NAME for this ses
    /resume  reopen an earlier session of this project
    /undo    put back the files the last turn changed
    /diff    show what the last turn changed
    /quit    quit Kestravel
    /exit    quit Kestravel
 › /
 ↑↓ choose · tab complete · enter run · esc close)");
  pilot->type("c");
  pilot->press("tab");
  EXPECT_EQ(app->input()->text(), "/clear");
  for (int i = 0; i < 5; ++i) pilot->press("backspace");  // back to "/"
  pilot->press({"down", "down"});
  EXPECT_EQ(app->menu_selected(), 2u);
  pilot->press("escape");
  EXPECT_FALSE(app->menu_open());
  EXPECT_EQ(app->input()->text(), "/");
  pilot->press("backspace");
  pilot->type("/he");
  ASSERT_TRUE(app->menu_open());
  pilot->press("enter");
  EXPECT_NE(log_text().find("Commands:"), std::string::npos) << log_text();
  EXPECT_NE(log_text().find("Ctrl+J, Alt+Enter"), std::string::npos) << log_text();
  EXPECT_EQ(app->input()->text(), "");
}

// A path or a sentence after "/" is a prompt; "//" sends a literal slash; a lone unknown word is
// a mistyped command.
TEST(SlashRule, CommandOrPrompt) {
  using K = SlashLine::Kind;
  struct Case {
    std::string_view line;
    K kind;
    std::string text;
    std::string args;
  };
  const Case cases[] = {
      {"/help", K::command, "/help", ""},
      {"/mode  fast ", K::command, "/mode", "fast"},
      {"/etc/hosts has a bad entry", K::prompt, "/etc/hosts has a bad entry", ""},
      {"/etc/hosts", K::prompt, "/etc/hosts", ""},
      {"/tmp is full", K::prompt, "/tmp is full", ""},
      {"//help", K::prompt, "/help", ""},
      {"// comment", K::prompt, "/ comment", ""},
      {"/nope", K::unknown_command, "/nope", ""},
      {"/", K::unknown_command, "/", ""},
      {"/Help", K::unknown_command, "/Help", ""},  // names are exact
      {"/help\nmore", K::command, "/help", "more"},
      {"plain text", K::prompt, "plain text", ""},
  };
  for (const Case& c : cases) {
    const SlashLine got = classify_slash(c.line);
    EXPECT_EQ(got.kind, c.kind) << c.line;
    EXPECT_EQ(got.text, c.text) << c.line;
    EXPECT_EQ(got.args, c.args) << c.line;
  }
}

// A path typed as a prompt reaches the model; "//" drops one slash.
TEST_F(ChatFixture, PathsAndDoubleSlashesArePrompts) {
  send("/etc/hosts has a bad entry");
  ASSERT_TRUE(wait_idle_turn());
  send("//help");
  ASSERT_TRUE(wait_idle_turn());
  ASSERT_EQ(runner->prompts.size(), 2u);
  EXPECT_EQ(runner->prompts[0], "/etc/hosts has a bad entry");
  EXPECT_EQ(runner->prompts[1], "/help");
}

// A large paste is one token in the box; the model gets all of it, the log its first lines and
// the count.
TEST_F(ChatFixture, ALargePasteIsSentWholeAndLoggedShort) {
  std::string big;
  for (int i = 1; i <= 5000; ++i) big += "row " + std::to_string(i) + "\n";
  pilot->type("look: ");
  pilot->paste(big);
  EXPECT_EQ(screen().substr(screen().rfind("\n ›")), R"(
 › look: [pasted 5,000 lines]
 enter send · ctrl+j new line · ctrl+c clear · ↑↓ history)");
  pilot->press("enter");
  ASSERT_TRUE(wait_idle_turn());
  pilot->wait_idle();
  ASSERT_EQ(runner->prompts.size(), 1u);
  EXPECT_EQ(runner->prompts[0], "look: " + big);
  // (The scripted answer repeats the prompt: only the user's entry is looked at.)
  const std::string all = log_text();
  const std::string log = all.substr(0, all.find("answer to"));
  EXPECT_NE(log.find("❯ look: row 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("row 6\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("row 7\n"), std::string::npos) << log;
  EXPECT_NE(log.find("… +4994 more lines (5,000 in all)"), std::string::npos) << log;
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
  EXPECT_EQ(pilot->screenshot(), "\nterminal too small\n      (18×4)\n");
  pilot->resize(8, 3);
  EXPECT_EQ(pilot->screenshot(), "\n  8×3\n");
  pilot->resize(70, 20);
  EXPECT_EQ(last_row(), " enter send · ↑ history · pgup/pgdn scroll · ctrl+d quit");
}

// While reasoning streams, the status row shows its latest line (cut to the row, the stop hint
// kept) instead of the rotating word; the log gets the whole text when it is done.
TEST_F(ChatFixture, TheStatusRowShowsTheLatestLineOfReasoning) {
  send("reason");
  ASSERT_TRUE(pilot->wait_until(
      [&] { return app->status_text().find("every caller") != std::string::npos; }, 10s));
  pilot->wait_idle();
  static const std::regex kClock(R"(^  \S+ \(\d+s\) )");
  // The status row of the screen as drawn.
  const std::string shot = pilot->screenshot();
  std::string row;
  for (std::string_view line : text::split_lines(shot))
    if (line.find("ctrl+c to stop") != std::string_view::npos) row = std::string(line);
  EXPECT_EQ(std::regex_replace(row, kClock, "  <icon> (Ns) "),
            "  <icon> (Ns) Check config.py, then every caller of load… · ctrl+c to stop")
      << shot;
  runner->open_gate();
  ASSERT_TRUE(wait_idle_turn());
  pilot->wait_idle();
  EXPECT_EQ(app->status_text(), " Reasoning · kestravel-demo · builtin");
  EXPECT_NE(log_text().find("▶ The user wants the port parsed.…  (+1 lines)"), std::string::npos)
      << log_text();
}

// /model on the demo runtime: its one model is listed, switching to it is taken, to another is
// refused and the model stays; the runner gets the model with the next turn.
TEST_F(ChatFixture, ModelCommandOnTheDemoRuntime) {
  send("/model");
  pilot->wait_idle();
  EXPECT_TRUE(has_row("  ● kestravel-demo  (in use)")) << log_text();
  EXPECT_TRUE(has_row("/model NAME switches for this session.")) << log_text();
  send("/model qwen3-8b");
  EXPECT_TRUE(has_row("  the model stays kestravel-demo.")) << log_text();
  EXPECT_NE(log_text().find("No model \"qwen3-8b\" at the demo runtime (/model lists them);"),
            std::string::npos);
  send("/model kestravel-demo");
  EXPECT_TRUE(has_row("Model: kestravel-demo.")) << log_text();
  EXPECT_EQ(app->status_text(), " Reasoning · kestravel-demo · builtin");
  send("hi");
  ASSERT_TRUE(wait_idle_turn());
  EXPECT_EQ(runner->model, "kestravel-demo");
  send("/help");
  EXPECT_NE(log_text().find("/model"), std::string::npos);
}

}  // namespace
}  // namespace orvo::host
