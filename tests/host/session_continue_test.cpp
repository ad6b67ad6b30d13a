// `kestravel --continue` after the program was killed (SIGKILL) in the middle of a turn: the real
// full-screen program on a pseudo-terminal against a fake model server, its screen read through
// the headless virtual terminal. Every finished turn is shown again and the agent goes on with
// the same conversation; the turn cut off is not there.
// label: threaded
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "../agent/temp_dir.hpp"
#include "fake_openai_server.hpp"
#include "program_on_terminal.hpp"
#include "tui/framework/headless/virtual_terminal.hpp"

namespace {

using namespace std::chrono_literals;
namespace fake = orvo::agent::testing;
namespace fs = std::filesystem;

constexpr int kCols = 100, kRows = 30;

// The full-screen program on the slave side of a pseudo-terminal, its screen kept by a virtual
// terminal.
class ChatOnATerminal : public orvo::testing::ProgramOnATerminal {
 public:
  ChatOnATerminal(const fs::path& root, const std::string& endpoint, bool resume)
      : ProgramOnATerminal(args(root, endpoint, resume),
                           {"TERM=xterm-256color", "HOME=" + (root / "home").string(),
                            "PATH=/usr/bin:/bin", "XDG_CONFIG_HOME=" + (root / "cfg").string(),
                            "XDG_STATE_HOME=" + (root / "state").string()},
                           true, root / "proj", kCols, kRows),
        term_({kCols, kRows}) {}
  std::string screen() {
    term_.feed(std::string_view(output()).substr(fed_));
    fed_ = output().size();
    return term_.screenshot();
  }
  bool wait_for(const std::string& what, std::chrono::milliseconds limit = 20s) {
    return read_until([&] { return screen().find(what) != std::string::npos; }, limit);
  }

 private:
  static std::vector<std::string> args(const fs::path& root, const std::string& endpoint,
                                       bool resume) {
    std::vector<std::string> a = {std::string(KV_BINARY_DIR) + "/src/host/kestravel",
                                  "--project",
                                  (root / "proj").string(),
                                  "--endpoint",
                                  endpoint,
                                  "--mode",
                                  "fast"};
    if (resume) a.emplace_back("--continue");
    return a;
  }
  orvo::tui::VirtualTerminal term_;
  std::size_t fed_ = 0;
};

// The fake server as the program meets it: /models lists a model (the chat checks at start-up)
// and each chat request gets the next scripted answer.
struct ModelServer {
  std::mutex m;
  std::deque<orvo::testing::Reply> answers;
  fake::FakeOpenAIServer server;  // last: its threads end before the answers go
  ModelServer() {
    server.set_responder([this](const orvo::testing::Request& r) {
      if (r.path.find("/models") != std::string::npos) return fake::models_reply({"qwen3-8b"});
      std::lock_guard lock(m);
      if (answers.empty()) return fake::error_reply(500, R"({"error":"no answer scripted"})");
      auto a = std::move(answers.front());
      answers.pop_front();
      return a;
    });
  }
  void add(orvo::testing::Reply r) {
    std::lock_guard lock(m);
    answers.push_back(std::move(r));
  }
  std::vector<nlohmann::json> chat_requests() const {
    std::vector<nlohmann::json> out;
    for (const auto& r : server.requests())
      if (r.path.find("/chat/completions") != std::string::npos) out.push_back(r.json());
    return out;
  }
};

// The user and assistant texts of a request's messages, in order.
std::vector<std::string> texts_of(const nlohmann::json& request) {
  std::vector<std::string> out;
  for (const auto& m : request.value("messages", nlohmann::json::array())) {
    const std::string role = m.value("role", "");
    if ((role == "user" || role == "assistant") && m.contains("content") &&
        m["content"].is_string())
      out.push_back(role + ": " + m["content"].get<std::string>());
  }
  return out;
}

TEST(SessionContinue, KillDuringATurnThenContinueRestoresEveryFinishedTurn) {
  orvo::agent::testing::TempDir tmp;
  for (const char* d : {"proj", "home", "cfg", "state"}) fs::create_directories(tmp.path() / d);
  ModelServer first;
  first.add(fake::stream_reply({fake::answer_stream("", "First answer.")}));
  first.add(fake::stream_reply({fake::answer_stream("", "Second answer.")}));
  // The third turn stops mid-answer and the server holds the connection open.
  auto stalled = fake::stream_reply({fake::sse(fake::content_chunk("Half of the third"))});
  stalled.end = orvo::testing::Reply::End::stall;
  first.add(stalled);

  {
    ChatOnATerminal chat(tmp.path(), first.server.endpoint(), false);
    ASSERT_TRUE(chat.started());
    ASSERT_TRUE(chat.wait_for("Ask anything")) << chat.screen();
    chat.send("first question\r");
    ASSERT_TRUE(chat.wait_for("First answer.")) << chat.screen();
    chat.send("second question\r");
    ASSERT_TRUE(chat.wait_for("Second answer.")) << chat.screen();
    chat.send("third question\r");
    ASSERT_TRUE(chat.wait_for("❯ third question")) << chat.screen();
    ASSERT_TRUE(first.server.wait_for_requests(4));  // /models and three turns
    chat.wait_for("Half of the third", 1s);          // the part sent, if drawn already
    chat.kill9();
  }
  first.server.stop();
  ASSERT_EQ(first.chat_requests().size(), 3u);

  ModelServer next;
  next.add(fake::stream_reply({fake::answer_stream("", "Fourth answer.")}));
  ChatOnATerminal chat(tmp.path(), next.server.endpoint(), true);
  ASSERT_TRUE(chat.started());
  ASSERT_TRUE(chat.wait_for("Resumed the session of ")) << chat.screen();
  const std::string screen = chat.screen();
  std::size_t at = 0;
  for (const char* part :
       {"❯ first question", "First answer.", "❯ second question", "Second answer.", "(2 turns)."}) {
    const std::size_t found = screen.find(part, at);
    EXPECT_NE(found, std::string::npos) << part << "\n" << screen;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(screen.find("third"), std::string::npos) << screen;

  chat.send("fourth question\r");
  ASSERT_TRUE(chat.wait_for("Fourth answer.")) << chat.screen();
  ASSERT_EQ(next.chat_requests().size(), 1u);
  EXPECT_EQ(texts_of(next.chat_requests()[0]),
            (std::vector<std::string>{"user: first question", "assistant: First answer.",
                                      "user: second question", "assistant: Second answer.",
                                      "user: fourth question"}));
  chat.send("\x04");  // Ctrl+D on the empty box quits
  EXPECT_EQ(chat.wait_exit(), 0) << chat.screen();
}

}  // namespace
