// `kestravel --continue` after the program was killed (SIGKILL) in the middle of a turn: the real
// full-screen program on a pseudo-terminal against a fake model server, its screen read through
// the headless virtual terminal. Every finished turn is shown again and the agent goes on with
// the same conversation; the turn cut off is not there.
// label: threaded
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "../agent/temp_dir.hpp"
#include "fake_openai_server.hpp"
#include "tui/framework/headless/virtual_terminal.hpp"

namespace {

using namespace std::chrono_literals;
namespace fake = orvo::agent::testing;
namespace fs = std::filesystem;

constexpr int kCols = 100, kRows = 30;

// The full-screen program on the slave side of a pseudo-terminal.
class ChatOnATerminal {
 public:
  ChatOnATerminal(const fs::path& root, const std::string& endpoint, bool resume)
      : term_({kCols, kRows}) {
    const std::string bin = std::string(KV_BINARY_DIR) + "/src/host/kestravel";
    const std::string project = (root / "proj").string();
    std::vector<std::string> env = {"TERM=xterm-256color", "HOME=" + (root / "home").string(),
                                    "PATH=/usr/bin:/bin",
                                    "XDG_CONFIG_HOME=" + (root / "cfg").string(),
                                    "XDG_STATE_HOME=" + (root / "state").string()};
    std::vector<std::string> args = {bin,      "--project", project, "--endpoint",
                                     endpoint, "--mode",    "fast"};
    if (resume) args.emplace_back("--continue");
    // Built before the fork: the child only calls what is safe after it.
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    struct winsize ws {};
    ws.ws_row = kRows;
    ws.ws_col = kCols;
    pid_ = ::forkpty(&master_, nullptr, nullptr, &ws);
    if (pid_ == 0) {
      ::execve(bin.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
  }
  ~ChatOnATerminal() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  bool started() const { return pid_ > 0; }
  void send(std::string_view bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  std::string screen() const { return term_.screenshot(); }
  bool wait_for(const std::string& what, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (screen().find(what) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      read_some(50);
    }
    return true;
  }
  void kill9() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  // The exit status once it ends within the limit, else -1.
  int wait_exit(std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      read_some(20);
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
    }
    return -1;
  }

 private:
  void read_some(int ms) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return;
    char buf[4096];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0) term_.feed(std::string_view(buf, static_cast<std::size_t>(n)));
  }

  orvo::tui::VirtualTerminal term_;
  int master_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
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
