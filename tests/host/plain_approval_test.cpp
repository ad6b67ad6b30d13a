// `kestravel --plain` asking for consent on a real terminal (a pseudo-terminal) against a fake
// model server: the question says why and shows the whole command, keys typed before it appeared
// never answer it, and Ctrl+C at it denies, stops the turn and leaves the program running.
// label: threaded
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fake_openai_server.hpp"
#include "host/plain.hpp"
#include "program_on_terminal.hpp"

namespace orvo::host {
namespace {

using namespace std::chrono_literals;
namespace fake = agent::testing;
namespace fs = std::filesystem;

// kestravel --plain on the slave side of a pseudo-terminal, started in `dir`.
class PlainOnATerminal : public testing::ProgramOnATerminal {
 public:
  PlainOnATerminal(const fs::path& dir, const std::string& endpoint)
      : ProgramOnATerminal({std::string(KV_BINARY_DIR) + "/src/host/kestravel", "--plain",
                            "--endpoint", endpoint, "--mode", "fast"},
                           {"XDG_CONFIG_HOME=/nonexistent/kv"}, false, dir, 200, 40) {}
  // Reads until `what` has been written since `from`, or the limit passes.
  bool wait_for(const std::string& what, std::size_t from = 0,
                std::chrono::milliseconds limit = 20s) {
    return read_until([&] { return output().find(what, from) != std::string::npos; }, limit);
  }
};

TEST(PlainApproval, TypedAheadKeysDoNotAnswerAndCtrlCDeniesAndStopsTheTurn) {
  const fs::path dir =
      fs::temp_directory_path() / ("kv_plain_approval_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "src");
  std::ofstream(dir / "src" / "keep.txt") << "k";

  // The trigger comes after a long harmless part, as a model might write it.
  const std::string command =
      "echo 'the release notes for the next version are being written now'; rm -rf src";
  fake::FakeOpenAIServer server;
  nlohmann::json args = {{"command", command}};
  server.enqueue(fake::stream_reply({fake::tool_stream("bash", args.dump())}));
  server.enqueue(fake::stream_reply({fake::answer_stream("", "hello from the second turn")}));

  PlainOnATerminal term(dir, server.endpoint());
  ASSERT_TRUE(term.started());
  ASSERT_TRUE(term.wait_for("› ")) << term.output();
  // The prompt and, typed ahead while the turn runs, a "1" meant for something else.
  term.send("clean up\n1\n");
  ASSERT_TRUE(term.wait_for("[1 allow / 2 deny]")) << term.output();
  const std::string& out = term.output();
  EXPECT_NE(out.find("Why: "), std::string::npos) << out;
  EXPECT_NE(out.find("Command:\r\n  " + command + "\r\n"), std::string::npos) << out;
  // Still waiting: the typed-ahead line was dropped, not taken as the answer.
  term.drain(500ms);
  EXPECT_EQ(out.find("denied by the user"), std::string::npos) << out;
  EXPECT_TRUE(fs::exists(dir / "src" / "keep.txt"));
  const std::size_t asked_at = out.size();

  term.send("\x03");  // Ctrl+C, turned into SIGINT by the terminal
  ASSERT_TRUE(term.wait_for("Denied: the turn stops.", asked_at)) << out;
  ASSERT_TRUE(term.wait_for("› ", asked_at)) << out;
  EXPECT_TRUE(fs::exists(dir / "src" / "keep.txt"));
  term.drain(200ms);
  EXPECT_EQ(server.requests().size(), 1u) << "the stopped turn went on asking the model";

  // The program is still there for the next prompt.
  const std::size_t next_at = out.size();
  term.send("hi\n");
  ASSERT_TRUE(term.wait_for("hello from the second turn", next_at)) << out;
  term.send("\x04");  // end of input
  EXPECT_EQ(term.wait_exit(), 0) << out;
  fs::remove_all(dir);
}

TEST(PlainApproval, TheLinesBeforeTheQuestion) {
  struct Case {
    std::string command, reason, details;
  } cases[] = {
      {"rm x", "deletes x", "Why: deletes x\n"},
      {"rm x", "", ""},
      {"ls", " \n", ""},
      // A line break in the reason cannot forge a line; controls are shown inert.
      {"rm x", "deletes x\nAllow? yes", "Why: deletes x\uFFFDAllow? yes\n"},
      {"a\nb\x1b[2J", "r", "Why: r\nCommand:\n  a\n  b\uFFFD[2J\n"},
      {std::string(61, 'c'), "", "Command:\n  " + std::string(61, 'c') + "\n"},
      {std::string(60, 'c'), "", ""},  // the question shows it whole on its row
  };
  for (const auto& c : cases)
    EXPECT_EQ(approval_details(c.command, c.reason), c.details) << c.command;
}

TEST(PlainApproval, AnswersFromALine) {
  EXPECT_EQ(answer_of("1"), ApprovalAnswer::allow);
  EXPECT_EQ(answer_of(" 2\r"), ApprovalAnswer::deny);
  EXPECT_EQ(answer_of("12"), ApprovalAnswer::other);
  EXPECT_EQ(answer_of(""), ApprovalAnswer::other);
}

// The terminal reader without a terminal: a pipe stands for it.
TEST(PlainApproval, TerminalReaderEndsOnInterruptOrEndOfInput) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  std::atomic<bool> interrupt{false};
  ASSERT_EQ(::write(p[1], "2\n", 2), 2);
  EXPECT_EQ(read_terminal_answer(p[0], &interrupt), ApprovalAnswer::deny);
  interrupt = true;  // nothing typed: the interrupt answers
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(read_terminal_answer(p[0], &interrupt), ApprovalAnswer::interrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  interrupt = false;
  ::close(p[1]);
  EXPECT_EQ(read_terminal_answer(p[0], &interrupt), ApprovalAnswer::end);
  ::close(p[0]);
}

}  // namespace
}  // namespace orvo::host
