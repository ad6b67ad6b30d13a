// Sessions in the chat: the files a turn changed put back by /undo after a 1/2 question, and an
// earlier session picked from /resume's list, its history shown again.
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "../agent/temp_dir.hpp"
#include "host/chat/chat_app.hpp"
#include "host/chat/session_host.hpp"
#include "tui/framework/headless/pilot.hpp"

namespace orvo::host {
namespace {

using namespace std::chrono_literals;

// "write X": the turn writes X into notes.txt; every turn answers "ok".
class FileRunner : public agent::TurnRunner {
 public:
  explicit FileRunner(std::filesystem::path project) : project_(std::move(project)) {}
  void run_turn(const std::string& prompt, OutputManager& out) override {
    out.start_thinking(true);
    if (prompt.rfind("write ", 0) == 0) std::ofstream(project_ / "notes.txt") << prompt.substr(6);
    out.stream("ok");
    out.done();
  }
  void cancel() override {}
  void set_mode(const std::string&) override {}

 private:
  std::filesystem::path project_;
};

struct ChatSessionFixture : ::testing::Test {
  agent::testing::TempDir tmp;
  std::filesystem::path project;
  std::shared_ptr<SessionHost> sessions;
  std::unique_ptr<KestravelTUI> app;
  std::unique_ptr<tui::Pilot> pilot;

  void SetUp() override {
    ::setenv("XDG_STATE_HOME", (tmp.path() / "state").c_str(), 1);
    project = tmp.path() / "proj";
    tmp.write("proj/notes.txt", "original");
  }
  void start() {
    sessions = std::make_shared<SessionHost>(project, 30, 1ULL << 30);
    auto runner = with_checkpoints(std::make_shared<FileRunner>(project), sessions->files());
    ChatInfo info;
    info.session = sessions;
    app = std::make_unique<KestravelTUI>(config::Config{}, runner, info);
    app->install_chat();
    app->switch_screen("chat");
    pilot = std::make_unique<tui::Pilot>(*app, tui::Size{80, 24});
  }
  void TearDown() override {
    pilot.reset();
    if (app) app->shutdown();
    ::unsetenv("XDG_STATE_HOME");
  }
  std::string log_text() {
    std::string s;
    for (const auto& row : app->log()->lines()) s += row.text() + "\n";
    return s;
  }
  void send(std::string_view text) {
    pilot->type(text);
    pilot->press("enter");
    ASSERT_TRUE(pilot->wait_until([&] { return !app->turn_running(); }, 10s));
    pilot->wait_idle();
  }
  bool shows(const std::string& rows) {
    return pilot->wait_until([&] { return log_text().find(rows) != std::string::npos; }, 10s);
  }
};

TEST_F(ChatSessionFixture, UndoListsTheFilesAndRestoresThemOnOne) {
  start();
  send("write changed");
  EXPECT_TRUE(shows("  1 file changed · /diff shows the changes, /undo puts them back\n"))
      << log_text();
  send("/undo");
  EXPECT_TRUE(
      shows("  Undo turn 1: put back 1 file as they were before it?\n"
            "    notes.txt\n"
            "  Press 1 to undo, 2 to keep the files.\n"))
      << log_text();
  EXPECT_EQ(tmp.read("proj/notes.txt"), "changed");
  pilot->press("1");
  EXPECT_TRUE(shows("  Put back 1 file. /undo again goes one turn further back.\n")) << log_text();
  EXPECT_EQ(tmp.read("proj/notes.txt"), "original");
  send("/undo");
  EXPECT_TRUE(shows("  No earlier turn changed files.\n")) << log_text();
}

TEST_F(ChatSessionFixture, UndoReportsAFileChangedSinceTheTurnAndKeepsIt) {
  start();
  send("write changed");
  tmp.write("proj/notes.txt", "mine");
  send("/undo");
  EXPECT_TRUE(shows("    notes.txt  (changed since the turn: kept as it is)\n")) << log_text();
  pilot->press("1");
  EXPECT_TRUE(shows("  Kept notes.txt: changed since the turn, not overwritten.\n")) << log_text();
  EXPECT_EQ(tmp.read("proj/notes.txt"), "mine");
}

TEST_F(ChatSessionFixture, ResumeListsEarlierSessionsAndShowsThePickedOne) {
  {
    // An earlier run of this project.
    SessionHost earlier(project, 30, 0);
    earlier.record({{"user", {"the first question"}}, {"assistant", {"the first answer"}}}, {});
  }
  start();
  send("/resume");
  EXPECT_TRUE(shows("1 turn   the first question\n")) << log_text();
  EXPECT_TRUE(shows("  Type its number and Enter to resume one.\n")) << log_text();
  send("1");
  EXPECT_TRUE(shows("the first answer")) << log_text();
  EXPECT_NE(log_text().find("❯ the first question"), std::string::npos) << log_text();
  EXPECT_NE(log_text().find("(1 turn)."), std::string::npos) << log_text();
  // The resumed session goes on in a new file that starts with the earlier one's history.
  EXPECT_NE(sessions->path(), std::filesystem::path());
  EXPECT_EQ(session::read_session(sessions->path()).turns, 1);
}

}  // namespace
}  // namespace orvo::host
