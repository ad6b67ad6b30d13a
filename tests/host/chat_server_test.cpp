// The whole path from a model server to the screen: a fake OpenAI-compatible server streams
// reasoning, a tool call and an answer; the agent loop runs on the worker; the chat shows it all.
// label: threaded
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "agent/openai_agent.hpp"
#include "fake_openai_server.hpp"
#include "host/chat/chat_app.hpp"
#include "tui/framework/headless/pilot.hpp"

namespace orvo::host {
namespace {

using namespace std::chrono_literals;
namespace fake = agent::testing;

TEST(ChatWithServer, ReasoningToolAndAnswerReachTheView) {
  const auto dir = std::filesystem::temp_directory_path() / "kv_chat_server_test";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "notes.txt") << "alpha\nbeta\n";

  fake::FakeOpenAIServer server;
  server.enqueue(fake::split_reply(
      fake::tool_stream("read_file", R"({"path":"notes.txt"})", "call_1", "I should read it"), 7));
  server.enqueue(fake::split_reply(fake::answer_stream("", "The file holds **two** lines."), 5));

  agent::AgentSettings st;
  st.endpoint = server.endpoint();
  st.project_dir = dir;
  config::Config cfg;
  cfg.runtime.endpoint = server.endpoint();
  cfg.runtime.laptop_26b_runtime_mode = "turbo-think";
  KestravelTUI app(cfg, std::make_shared<agent::OpenAIAgent>(st));
  app.install_chat();
  app.switch_screen("chat");
  {
    tui::Pilot pilot(app, {80, 30});
    pilot.type("what is in notes.txt?");
    pilot.press("enter");
    ASSERT_TRUE(pilot.wait_until([&] { return !app.turn_running(); }, 20s));
    pilot.wait_idle();
    std::string log;
    for (const auto& row : app.log()->lines()) log += row.text() + "\n";
    EXPECT_NE(log.find("❯ what is in notes.txt?"), std::string::npos) << log;
    EXPECT_NE(log.find("▶ I should read it"), std::string::npos) << log;
    EXPECT_NE(log.find("✓ Read(notes.txt"), std::string::npos) << log;  // one row per call
    EXPECT_NE(log.find("⎿ beta"), std::string::npos) << log;
    // The finished answer is drawn as markdown at once, and so by every replay.
    EXPECT_NE(log.find("The file holds two lines."), std::string::npos) << log;
    EXPECT_NE(log.find("· Read · "), std::string::npos) << log;
    app.log()->_rerender();
    log.clear();
    for (const auto& row : app.log()->lines()) log += row.text() + "\n";
    EXPECT_NE(log.find("The file holds two lines."), std::string::npos) << log;
  }
  app.shutdown();
  std::filesystem::remove_all(dir);
}

// What was skipped of the server's answer, and the server's token counts, reach the full-screen
// chat as they reach --plain: a note, then the summary with tokens in and out and the speed.
TEST(ChatWithServer, SkippedDataNoteAndTokenSummaryReachTheView) {
  const auto dir = std::filesystem::temp_directory_path() / "kv_chat_server_notes_test";
  std::filesystem::create_directories(dir);
  struct Case {
    const char* name;
    fake::Reply reply;
    std::vector<std::string> shown;
    std::vector<std::string> not_shown;
  };
  const Case cases[] = {
      {"malformed event and usage",
       fake::stream_reply({"data: {oops\n\n", fake::answer_stream("", "Fine.")}),
       {"skipped 1 malformed event from the server (not JSON)", " \u00b7 100 tokens in, 20 out"},
       {}},
      {"a complete answer",
       fake::completion_reply({"", "Whole.", {}, 1500, 40}),
       {"Whole.", " \u00b7 1.5k tokens in, 40 out"},
       {"skipped"}},
      {"no usage: the estimate as before",
       fake::stream_reply({fake::sse(fake::content_chunk("Twelve chars")),
                           fake::sse(fake::chunk(nlohmann::json::object(), "stop")), fake::kDone}),
       {" \u00b7 3 tokens"},
       {"tokens in", "skipped"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::FakeOpenAIServer server;
    server.enqueue(c.reply);
    agent::AgentSettings st;
    st.endpoint = server.endpoint();
    st.project_dir = dir;
    config::Config cfg;
    cfg.runtime.endpoint = server.endpoint();
    KestravelTUI app(cfg, std::make_shared<agent::OpenAIAgent>(st));
    app.install_chat();
    app.switch_screen("chat");
    {
      tui::Pilot pilot(app, {100, 30});
      pilot.type("go");
      pilot.press("enter");
      ASSERT_TRUE(pilot.wait_until([&] { return !app.turn_running(); }, 20s));
      pilot.wait_idle();
      std::string log;
      for (const auto& row : app.log()->lines()) log += row.text() + "\n";
      for (const auto& part : c.shown)
        EXPECT_NE(log.find(part), std::string::npos) << part << "\n" << log;
      for (const auto& part : c.not_shown)
        EXPECT_EQ(log.find(part), std::string::npos) << part << "\n" << log;
    }
    app.shutdown();
  }
  std::filesystem::remove_all(dir);
}

// The reason the agent asks for travels with the question to the view; nothing is deleted on a
// denial.
TEST(ChatWithServer, AnApprovalShowsWhyAndTheWholeCommand) {
  const auto dir = std::filesystem::temp_directory_path() / "kv_chat_server_approval_test";
  std::filesystem::create_directories(dir / "src");
  std::ofstream(dir / "src" / "keep.txt") << "k";
  const std::string command =
      "echo 'the release notes for the next version are being written now'; rm -rf src";
  fake::FakeOpenAIServer server;
  server.enqueue(
      fake::stream_reply({fake::tool_stream("bash", nlohmann::json{{"command", command}}.dump())}));
  server.enqueue(fake::stream_reply({fake::answer_stream("", "Kept it.")}));

  agent::AgentSettings st;
  st.endpoint = server.endpoint();
  st.project_dir = dir;
  config::Config cfg;
  cfg.runtime.endpoint = server.endpoint();
  KestravelTUI app(cfg, std::make_shared<agent::OpenAIAgent>(st));
  app.install_chat();
  app.switch_screen("chat");
  {
    tui::Pilot pilot(app, {60, 30});
    pilot.type("clean up");
    pilot.press("enter");
    ASSERT_TRUE(pilot.wait_until([&] { return app.approval_pending(); }, 20s));
    pilot.wait_idle();
    std::string log;
    for (const auto& row : app.log()->lines()) log += row.text() + "\n";
    EXPECT_NE(log.find("  Why: "), std::string::npos) << log;
    EXPECT_NE(log.find("rm -rf src"), std::string::npos) << log;  // cut from the question row
    pilot.press("2");
    ASSERT_TRUE(pilot.wait_until([&] { return !app.turn_running(); }, 20s));
  }
  app.shutdown();
  EXPECT_TRUE(std::filesystem::exists(dir / "src" / "keep.txt"));
  std::filesystem::remove_all(dir);
}

TEST(ChatWithServer, ShutdownEndsWhatCommandsLeftInTheBackground) {
  const auto dir = std::filesystem::temp_directory_path() / "kv_chat_server_bg_test";
  std::filesystem::create_directories(dir);
  fake::FakeOpenAIServer server;
  server.enqueue(fake::stream_reply({fake::tool_stream(
      "bash", R"({"command":"sleep 1000 >/dev/null 2>&1 & cut -d' ' -f5 /proc/$$/stat"})")}));
  server.enqueue(fake::stream_reply({fake::answer_stream("", "Started.")}));
  agent::AgentSettings st;
  st.endpoint = server.endpoint();
  st.project_dir = dir;
  config::Config cfg;
  cfg.runtime.endpoint = server.endpoint();
  // Held here as well, as by a worker thread left behind: shutdown must not wait for the
  // agent's destructor.
  auto runner = std::make_shared<agent::OpenAIAgent>(st);
  KestravelTUI app(cfg, runner);
  app.install_chat();
  app.switch_screen("chat");
  {
    tui::Pilot pilot(app, {80, 30});
    pilot.type("start it");
    pilot.press("enter");
    ASSERT_TRUE(pilot.wait_until([&] { return !app.turn_running(); }, 20s));
    pilot.wait_idle();
  }
  const auto conv = runner->conversation();
  ASSERT_GE(conv.size(), 3u);
  const pid_t pgid = std::stoi(conv[2]["content"].get<std::string>());
  EXPECT_EQ(::kill(-pgid, 0), 0);
  app.shutdown();
  bool gone = false;
  for (int i = 0; i < 300 && !gone; ++i) {
    gone = ::kill(-pgid, 0) != 0;
    if (!gone) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(gone);
  std::filesystem::remove_all(dir);
}

// /model against a server: its list (the model in use marked), a switch to a listed model (named
// in the next request and on the status row), a refused one, and the reasoning's latest line on
// the status row while the server holds the rest of the answer.
TEST(ChatWithServer, ModelListSwitchAndLiveReasoning) {
  fake::FakeOpenAIServer server;
  agent::AgentSettings st;
  st.endpoint = server.endpoint();
  st.project_dir = std::filesystem::temp_directory_path();
  config::Config cfg;
  cfg.runtime.endpoint = server.endpoint();
  cfg.runtime.model = "qwen3-8b";  // as --model gives it
  cfg.runtime.laptop_26b_runtime_mode = "turbo-think";
  KestravelTUI app(cfg, std::make_shared<agent::OpenAIAgent>(st));
  app.install_chat();
  app.switch_screen("chat");
  {
    tui::Pilot pilot(app, {72, 24});
    auto log = [&] {
      std::string s;
      for (const auto& row : app.log()->lines()) s += row.text() + "\n";
      return s;
    };
    auto wait_row = [&](const std::string& row) {
      return pilot.wait_until([&] { return log().find(row + "\n") != std::string::npos; }, 10s);
    };
    EXPECT_EQ(app.status_text(), " Reasoning · qwen3-8b · " + server.endpoint());
    server.enqueue(fake::models_reply({"qwen3-8b", "llama3:latest"}));
    pilot.type("/model");
    pilot.press("enter");
    ASSERT_TRUE(wait_row("/model NAME switches for this session.")) << log();
    EXPECT_NE(log().find("  Models of " + server.endpoint() +
                         ":\n    ● qwen3-8b  (in use)\n      llama3:latest\n"),
              std::string::npos)
        << log();
    server.enqueue(fake::models_reply({"qwen3-8b", "llama3:latest"}));
    pilot.type("/model mistral");
    pilot.press("enter");
    ASSERT_TRUE(pilot.wait_until(
        [&] { return log().find("the model stays qwen3-8b.") != std::string::npos; }, 10s))
        << log();
    EXPECT_NE(log().find("No model \"mistral\" at " + server.endpoint()), std::string::npos)
        << log();
    server.enqueue(fake::models_reply({"qwen3-8b", "llama3:latest"}));
    pilot.type("/model llama3");
    pilot.press("enter");
    ASSERT_TRUE(wait_row("Model: llama3.")) << log();
    EXPECT_EQ(app.status_text(), " Reasoning · llama3 · " + server.endpoint());

    // Reasoning first, then the server holds the answer for a while.
    auto reply = fake::stream_reply({fake::sse(fake::reasoning_chunk("Plan:\nlook at notes"))});
    for (auto& p : fake::stream_reply({fake::answer_stream("", "Done.")}, 1500ms).pieces)
      reply.pieces.push_back(p);
    server.enqueue(reply);
    pilot.type("go");
    pilot.press("enter");
    ASSERT_TRUE(pilot.wait_until(
        [&] { return app.status_text().find("look at notes") != std::string::npos; }, 10s));
    static const std::regex kClock(R"(^ \S+ \(\d+s\) )");
    EXPECT_EQ(std::regex_replace(app.status_text(), kClock, " <icon> (Ns) "),
              " <icon> (Ns) look at notes · ctrl+c to stop");
    ASSERT_TRUE(pilot.wait_until([&] { return !app.turn_running(); }, 20s));
    pilot.wait_idle();
    const auto requests = server.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().json().value("model", ""), "llama3");
    EXPECT_NE(log().find("▶ Plan:…  (+1 lines)"), std::string::npos) << log();
  }
  app.shutdown();
}

}  // namespace
}  // namespace orvo::host
