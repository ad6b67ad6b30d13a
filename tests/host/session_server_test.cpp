// Sessions against a model server, end to end: the file a real turn wrote plays in `kestravel view`
// with the chat's own screen, and /undo puts back what the model's tools changed (write_file,
// edit_file, a bash rm and sed -i) without touching the user's git state.
// label: threaded
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "../agent/temp_dir.hpp"
#include "agent/openai_agent.hpp"
#include "fake_openai_server.hpp"
#include "host/chat/chat_app.hpp"
#include "host/chat/session_host.hpp"
#include "host/view.hpp"
#include "session/checkpoints.hpp"
#include "tui/framework/headless/pilot.hpp"

namespace orvo::host {
namespace {

using namespace std::chrono_literals;
namespace fake = agent::testing;
namespace fs = std::filesystem;

struct SessionWithServer : ::testing::Test {
  agent::testing::TempDir tmp;
  fs::path project;
  fake::FakeOpenAIServer server;
  std::shared_ptr<SessionHost> sessions;
  std::unique_ptr<KestravelTUI> app;
  std::unique_ptr<tui::Pilot> pilot;

  void SetUp() override {
    ::setenv("XDG_STATE_HOME", (tmp.path() / "state").c_str(), 1);
    project = tmp.path() / "proj";
    fs::create_directories(project);
  }
  void start(tui::Size size) {
    agent::AgentSettings st;
    st.endpoint = server.endpoint();
    st.project_dir = project;
    sessions = std::make_shared<SessionHost>(project, 30, 1ULL << 30);
    auto runner = with_checkpoints(std::make_shared<agent::OpenAIAgent>(st), sessions->files());
    config::Config cfg;
    cfg.runtime.endpoint = server.endpoint();
    ChatInfo info;
    info.session = sessions;
    app = std::make_unique<KestravelTUI>(cfg, runner, info);
    app->install_chat();
    app->switch_screen("chat");
    pilot = std::make_unique<tui::Pilot>(*app, size);
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
  // Sends a prompt and answers every approval the turn asks for with 1 (allow).
  void send(std::string_view text) {
    pilot->type(text);
    pilot->press("enter");
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (app->turn_running() && std::chrono::steady_clock::now() < end) {
      pilot->wait_until([&] { return app->approval_pending() || !app->turn_running(); }, 10s);
      if (app->approval_pending()) {
        pilot->wait_idle();
        pilot->press("1");
      }
    }
    ASSERT_FALSE(app->turn_running()) << log_text();
    pilot->wait_idle();
  }
  bool shows(const std::string& rows) {
    return pilot->wait_until([&] { return log_text().find(rows) != std::string::npos; }, 10s);
  }
  // The rows of the screen the conversation view covers (it spans the whole width).
  std::string log_screen() {
    const auto r = app->log()->region();
    std::istringstream in(pilot->screenshot());
    std::string row, out;
    for (int y = 0; std::getline(in, row); ++y)
      if (y >= r.y && y < r.y + r.height) out += row + "\n";
    return out;
  }
};

// The turn's time and speed differ from run to run; the rest of the screen may not.
std::string without_times(const std::string& screen) {
  static const std::regex kSpeed(R"( · \d+(\.\d+)? tokens/s)");
  static const std::regex kTime(R"(\d+(\.\d+)?(ms|s)\b)");
  return std::regex_replace(std::regex_replace(screen, kSpeed, ""), kTime, "T");
}

TEST_F(SessionWithServer, ATurnsSessionFilePlaysInViewWithTheChatsScreen) {
  std::ofstream(project / "notes.txt") << "alpha\nbeta\n";
  server.enqueue(fake::split_reply(
      fake::tool_stream("read_file", R"({"path":"notes.txt"})", "call_1", "I should read it"), 7));
  server.enqueue(fake::split_reply(fake::answer_stream("", "The file holds **two** lines."), 5));
  start({80, 24});
  send("what is in notes.txt?");
  const std::string chat = log_screen();
  const auto region = app->log()->region();
  ASSERT_EQ(region.x, 0);
  ASSERT_EQ(region.width, 80);

  std::ostringstream out, err;
  const std::string size = std::to_string(region.width) + "x" + std::to_string(region.height);
  ASSERT_EQ(view::view_main({sessions->path().string(), "--size", size}, out, err), 0) << err.str();
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(out.str(), chat);
  EXPECT_EQ(without_times(chat),
            "\n"
            " ❯ what is in notes.txt?\n"
            "\n"
            "   ▶ I should read it\n"
            "   ✓ Read(notes.txt)  2 lines\n"
            "     │ alpha\n"
            "     ⎿ beta\n"
            "\n"
            "   The file holds two lines.\n"
            "\n"
            "\n"
            "   T · Read · 200 tokens in, 30 out\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n")
      << chat;
}

// The user's repository as git shows it: HEAD, the index file's bytes and the status.
struct GitState {
  std::string head, index, status;
  friend bool operator==(const GitState&, const GitState&) = default;
};
GitState git_state(const fs::path& project) {
  GitState s;
  auto git = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-C", project.string()});
    return session::run_git(args).out;
  };
  s.head = git({"rev-parse", "HEAD"});
  std::ifstream in(project / ".git" / "index", std::ios::binary);
  s.index.assign(std::istreambuf_iterator<char>(in), {});
  s.status = git({"status", "--porcelain", "--untracked-files=all"});
  return s;
}

TEST_F(SessionWithServer, UndoPutsBackWhatTheModelsToolsChangedWithOrWithoutGit) {
  for (const bool with_git : {true, false}) {
    SCOPED_TRACE(with_git ? "a git project" : "no git");
    TearDown();
    fs::remove_all(tmp.path());
    fs::create_directories(project);
    SetUp();
    tmp.write("proj/src/edit.txt", "one\ntwo\n");
    tmp.write("proj/gone.txt", "keep me\n");
    tmp.write("proj/conf.ini", "x=1\n");
    tmp.write("proj/.gitignore", "build/\n");
    tmp.write("proj/build/out.o", "object");
    GitState before;
    if (with_git) {
      for (std::vector<std::string> args :
           {std::vector<std::string>{"init", "-q"},
            {"add", "-A"},
            {"-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q", "-m", "start"}}) {
        args.insert(args.begin(), {"-C", project.string()});
        ASSERT_TRUE(session::run_git(args).ok());
      }
      tmp.write("proj/untracked.txt", "mine\n");
      before = git_state(project);
      ASSERT_FALSE(before.head.empty());
    }
    const std::vector<std::string> edits = {
        fake::tool_stream("write_file", R"({"path":"made.txt","content":"new\n"})", "c1"),
        fake::tool_stream("edit_file",
                          R"({"path":"src/edit.txt","old_string":"two","new_string":"TWO"})", "c2"),
        fake::tool_stream("bash", R"({"command":"rm gone.txt"})", "c3"),
        fake::tool_stream("bash", R"({"command":"sed -i s/x=1/x=2/ conf.ini"})", "c4"),
    };
    for (const auto& e : edits) server.enqueue(fake::stream_reply({e}));
    server.enqueue(fake::stream_reply({fake::answer_stream("", "Changed.")}));
    start({100, 40});
    send("change things");
    ASSERT_TRUE(shows("4 files changed · /diff shows the changes, /undo puts them back\n"))
        << log_text();
    EXPECT_EQ(tmp.read("proj/made.txt"), "new\n");
    EXPECT_EQ(tmp.read("proj/src/edit.txt"), "one\nTWO\n");
    EXPECT_FALSE(fs::exists(project / "gone.txt"));
    EXPECT_EQ(tmp.read("proj/conf.ini"), "x=2\n");

    send("/undo");
    EXPECT_TRUE(
        shows("  Undo turn 1: put back 4 files as they were before it?\n"
              "    conf.ini\n"
              "    gone.txt\n"
              "    made.txt\n"
              "    src/edit.txt\n"
              "  Press 1 to undo, 2 to keep the files.\n"))
        << log_text();
    pilot->press("1");
    EXPECT_TRUE(shows("  Put back 4 files. /undo again goes one turn further back.\n"))
        << log_text();
    EXPECT_FALSE(fs::exists(project / "made.txt"));
    EXPECT_EQ(tmp.read("proj/src/edit.txt"), "one\ntwo\n");
    EXPECT_EQ(tmp.read("proj/gone.txt"), "keep me\n");
    EXPECT_EQ(tmp.read("proj/conf.ini"), "x=1\n");
    EXPECT_EQ(tmp.read("proj/build/out.o"), "object");

    // The next turn's file changed by the user afterwards: reported and kept; the rest of the
    // turn is undone.
    server.enqueue(fake::stream_reply(
        {fake::tool_stream("write_file", R"({"path":"conf.ini","content":"x=3\n"})", "c5")}));
    server.enqueue(fake::stream_reply(
        {fake::tool_stream("write_file", R"({"path":"made.txt","content":"again\n"})", "c6")}));
    server.enqueue(fake::stream_reply({fake::answer_stream("", "Changed again.")}));
    send("change it again");
    ASSERT_TRUE(shows("2 files changed · /diff shows the changes, /undo puts them back\n"))
        << log_text();
    tmp.write("proj/conf.ini", "x=mine\n");
    send("/undo");
    EXPECT_TRUE(shows("    conf.ini  (changed since the turn: kept as it is)\n    made.txt\n"))
        << log_text();
    pilot->press("1");
    EXPECT_TRUE(
        shows("  Put back 1 file. /undo again goes one turn further back.\n"
              "  Kept conf.ini: changed since the turn, not overwritten.\n"))
        << log_text();
    EXPECT_EQ(tmp.read("proj/conf.ini"), "x=mine\n");
    EXPECT_FALSE(fs::exists(project / "made.txt"));

    if (with_git) {
      tmp.write("proj/conf.ini", "x=1\n");
      EXPECT_EQ(git_state(project), before);
    } else {
      EXPECT_FALSE(fs::exists(project / ".git"));
    }
  }
}

}  // namespace
}  // namespace orvo::host
