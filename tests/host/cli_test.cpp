// The kestravel program as a user starts it: options, configuration errors, no terminal.
// label: threaded
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "fake_openai_server.hpp"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;  // standard output and standard error
};

// A small project folder for runs that name none: the test's own folder holds a gigabyte of
// test programs, whose first checkpoint alone can outlast a test's patience.
const fs::path& small_project() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("kv_cli_proj_" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

// Runs kestravel with `args` and `input` on its standard input (a file, not a terminal), in
// small_project() unless `before` is given: that is put in front of the command line, e.g.
// "cd DIR && HOME=DIR ".
Outcome kestravel(const std::string& args, const std::string& input = "",
                  const std::string& before = "") {
  const fs::path in = fs::temp_directory_path() / ("kv_cli_in_" + std::to_string(::getpid()));
  std::ofstream(in) << input;
  const std::string cmd = (before.empty() ? "cd " + small_project().string() + " && " : before) +
                          "XDG_CONFIG_HOME=/nonexistent/kv KESTRAVEL_DEMO_SPEED=0 " +
                          std::string(KV_BINARY_DIR) + "/src/host/kestravel " + args + " <" +
                          in.string() + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  Outcome r{-1, {}};
  std::array<char, 4096> buf{};
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  fs::remove(in);
  return r;
}

bool has(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

TEST(Cli, HelpListsOptionsAndSubcommands) {
  const Outcome r = kestravel("--help");
  EXPECT_EQ(r.status, 0);
  for (const char* part : {"--plain", "--project", "--config", "--endpoint", "--mode", "--model",
                           "replay", "view", "sandbox_network"})
    EXPECT_TRUE(has(r.out, part)) << part << "\n" << r.out;
}

TEST(Cli, UsageErrorsExitWith2) {
  for (const char* args : {"--mode slow", "--bogus", "--config"}) {
    const Outcome r = kestravel(args);
    EXPECT_EQ(r.status, 2) << args << "\n" << r.out;
  }
}

TEST(Cli, ConfigErrorNamesWhereBeforeAnyUi) {
  const fs::path file = fs::temp_directory_path() / ("kv_cli_bad_" + std::to_string(::getpid()));
  std::ofstream(file) << "[runtime]\nconnect_timeout = 'x'\n";
  for (const char* mode : {"", "--plain "}) {
    const Outcome r = kestravel(std::string(mode) + "--config " + file.string());
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.out, file.string() + ":2:19: runtime.connect_timeout must be a number"))
        << r.out;
    EXPECT_FALSE(has(r.out, "\x1b[?1049h")) << "drew before reporting";
  }
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "[runtime]\nconnect_timeout = 'x'\n");
  fs::remove(file);
}

TEST(Cli, FullScreenWithoutATerminalSuggestsPlain) {
  const Outcome r = kestravel("");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.out, "needs a terminal")) << r.out;
  EXPECT_TRUE(has(r.out, "--plain")) << r.out;
  EXPECT_FALSE(has(r.out, "\x1b[")) << "escape sequences written into a pipe";
}

TEST(Cli, SettingsAndTerminalsThatCannotWorkAreRefusedBeforeAnyUi) {
  const fs::path dir = fs::temp_directory_path() / ("kv_cli_cfgdir_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  struct Case {
    std::string args, before, message;
  };
  const Case cases[] = {
      // A directory is no settings file, in either front-end.
      {"--config " + dir.string(), "", "is a directory"},
      {"--plain --config " + dir.string(), "", "is a directory"},
      // An endpoint no agent can use: the same status in both.
      {"--endpoint ftp://x/v1", "", "unsupported endpoint \"ftp://x/v1\""},
      {"--plain --endpoint ftp://x/v1", "", "unsupported endpoint \"ftp://x/v1\""},
      // A terminal that cannot move the cursor.
      {"", "TERM=dumb ", "TERM is \"dumb\""},
  };
  for (const Case& c : cases) {
    const Outcome r = kestravel(c.args, "", c.before);
    EXPECT_EQ(r.status, 2) << c.args << "\n" << r.out;
    EXPECT_TRUE(has(r.out, c.message)) << c.args << "\n" << r.out;
    EXPECT_FALSE(has(r.out, "\x1b[")) << c.args << ": drew before reporting";
  }
  EXPECT_TRUE(has(kestravel("", "", "TERM=dumb ").out, "--plain"));
  fs::remove(dir);
}

TEST(Cli, NoColorTakesTheColoursOutOfPlain) {
  // A colour in any SGR sequence: 30-49, 90-107, or the 38/48 forms.
  const std::regex colour("\x1b\\[([0-9;]*;)?(3[0-9]|4[0-9]|9[0-7]|10[0-7])(;[0-9;]*)?m");
  const Outcome coloured =
      kestravel("--plain --endpoint http://127.0.0.1:9/v1", "hi\n", "NO_COLOR= ");
  EXPECT_TRUE(std::regex_search(coloured.out, colour)) << coloured.out;
  for (const char* args : {"--plain --endpoint http://127.0.0.1:9/v1", "--plain --mode fast"}) {
    const Outcome r = kestravel(args, "fix the port\n2\n", "NO_COLOR=1 ");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(std::regex_search(r.out, colour)) << args << "\n" << r.out;
    EXPECT_TRUE(has(r.out, "\x1b[1m")) << "bold is kept\n" << r.out;
  }
}

TEST(Cli, ModelFromTheCommandLineIsSentWithEachRequest) {
  namespace fake = orvo::agent::testing;
  fake::FakeOpenAIServer server;
  server.enqueue(fake::stream_reply({fake::answer_stream("", "Hello.")}));
  const fs::path dir = fs::temp_directory_path() / ("kv_cli_model_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "config.toml") << "[runtime]\nmodel = 'configured'\n";
  const Outcome r = kestravel("--plain --project " + dir.string() + " --config " +
                                  (dir / "config.toml").string() + " --endpoint " +
                                  server.endpoint() + " --model 'qwen3:8b'",
                              "hi\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "Hello.")) << r.out;
  bool sent = false;
  for (const auto& req : server.requests())
    if (req.method == "POST") sent = sent || req.json().value("model", "") == "qwen3:8b";
  EXPECT_TRUE(sent);
  // For this run only: the file keeps its model.
  std::ifstream in(dir / "config.toml");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "[runtime]\nmodel = 'configured'\n");
  fs::remove_all(dir);
}

TEST(Cli, PlainPlaysTheDemoTurnFromStandardInput) {
  const Outcome r = kestravel("--plain --mode reasoning", "fix the port\n2\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "fix the port"));
  EXPECT_TRUE(has(r.out, "[1 allow / 2 deny]"));
  EXPECT_TRUE(has(r.out, "denied by the user"));
  EXPECT_TRUE(has(r.out, "Done in"));
}

TEST(Cli, PlainWithAnUnreachableServerEndsTheTurnWithAnError) {
  // Port 9 (discard) refuses on loopback: the turn fails with a message, the program goes on.
  const Outcome r = kestravel("--plain --endpoint http://127.0.0.1:9/v1", "hi\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "\x1b[31m")) << r.out;  // the error line
}

// What real servers send, end to end through --plain: every word arrives, every answer shape
// works, every error reads as the server's reason, and skipped data is noted.
TEST(Cli, PlainAgainstServersOfEveryShape) {
  namespace fake = orvo::agent::testing;
  const std::string emoji_text =
      "abc\xF0\x9F\x98\x80"
      "defg\xF0\x9F\x98\x80"
      "hij\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
  auto sliced = fake::js_sliced_events("content", emoji_text, 1);
  sliced.push_back(fake::sse(fake::chunk(nlohmann::json::object(), "stop")));
  sliced.push_back(fake::sse(fake::usage_chunk(12, 34)));
  sliced.push_back(fake::kDone);
  struct Case {
    const char* name;
    std::vector<fake::Reply> replies;
    std::string input;
    std::vector<std::string> shown;
  };
  const Case cases[] = {
      {"UTF-16 slices", {fake::stream_reply(sliced)}, "hi\n", {emoji_text, "12 tokens in, 34 out"}},
      {"a complete answer",
       {fake::completion_reply({"", "Whole answer.", {}, 1500, 40})},
       "hi\n",
       {"Whole answer.", "1.5k tokens in, 40 out"}},
      {"HTML error page",
       {fake::html_error_reply(500, "Internal Server Error",
                               "TypeError: Cannot read properties of null")},
       "hi\n",
       {"Error: server answered HTTP 500: Internal Server Error TypeError: Cannot read properties "
        "of null"}},
      {"malformed event",
       {fake::stream_reply({"data: {oops\n\n", fake::answer_stream("", "Fine.")})},
       "hi\n",
       {"Fine.", "skipped 1 malformed event from the server (not JSON)"}},
      {"oversized event",
       {fake::stream_reply({fake::sse(fake::content_chunk(std::string(17u << 20, 'x'))),
                            fake::answer_stream("", "Rest.")})},
       "hi\n",
       {"Rest.", "dropped a 17 MB event from the server: larger than the 16 MB limit"}},
      {"a failed turn, then the next prompt",
       {fake::error_reply(500, R"({"error":"boom"})"),
        fake::stream_reply({fake::answer_stream("", "Second.")})},
       "first\nsecond\n",
       {"server answered HTTP 500: boom", "Second."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::FakeOpenAIServer server;
    for (const auto& r : c.replies) server.enqueue(r);
    const Outcome r = kestravel("--plain --endpoint " + server.endpoint(), c.input);
    EXPECT_EQ(r.status, 0);
    for (const auto& part : c.shown)
      EXPECT_TRUE(has(r.out, part)) << part << "\n" << r.out.substr(0, 4000);
    EXPECT_FALSE(has(r.out, "\xEF\xBF\xBD")) << "a replacement character";
    if (c.replies.size() == 2) {
      // The second prompt is a message of its own after the failed turn.
      const auto msgs = server.requests().at(1).json()["messages"];
      ASSERT_EQ(msgs.size(), 4u) << msgs.dump();
      EXPECT_EQ(msgs[1]["content"], "first");
      EXPECT_EQ(msgs[2]["role"], "assistant");
      EXPECT_EQ(msgs[3]["content"], "second");
    }
  }
}

TEST(Cli, AgentIsNotStartedOnTheWholeFileSystemOrHomeUnlessNamed) {
  const fs::path tmp =
      fs::canonical(fs::temp_directory_path()) / ("kv_cli_home_" + std::to_string(::getpid()));
  const fs::path home = tmp / "home";
  fs::create_directories(home / "proj");
  fs::create_symlink(home, tmp / "link");
  std::ofstream(tmp / "file") << "x";
  const std::string server = " --endpoint http://127.0.0.1:9/v1";
  const std::string in_home = "cd '" + home.string() + "' && HOME='" + home.string() + "' ";
  const std::string refused_home = "refusing to let the agent act on your whole home directory (" +
                                   home.string() +
                                   "); start it in a project directory or pass "
                                   "--project " +
                                   home.string() + " to mean it";
  const struct {
    std::string before;
    std::string args;
    int status;
    std::string says;  // part of the output
  } cases[] = {
      {in_home, "--plain" + server, 2, refused_home},
      {in_home, server, 2, refused_home},  // full screen too, before it needs a terminal
      // $HOME through a symbolic link is the same directory.
      {"cd '" + home.string() + "' && HOME='" + (tmp / "link").string() + "' ", "--plain" + server,
       2, "whole home directory"},
      {"cd / && ", "--plain" + server, 2,
       "refusing to let the agent act on the whole file system (/); start it in a project "
       "directory or pass --project / to mean it"},
      {"cd / && ", server, 2, "whole file system"},
      // Named on purpose: accepted.
      {in_home, "--plain --project " + home.string() + server, 0, ""},
      {in_home, "--plain --project ." + server, 0, ""},
      {"cd / && ", "--plain --project /" + server, 0, ""},
      // A project inside the home directory, the demo runtime (no files) and the subcommands.
      {"cd '" + (home / "proj").string() + "' && HOME='" + home.string() + "' ", "--plain" + server,
       0, ""},
      {in_home, "--plain", 0, ""},
      {"cd / && ", "--plain", 0, ""},
      {in_home, "replay --help", 0, ""},
      {in_home, "view --help", 0, ""},
      // A project that is not a directory.
      {in_home, "--plain --project " + (tmp / "missing").string(), 2,
       "--project " + (tmp / "missing").string() + ": no such directory"},
      {in_home, "--plain --project " + (tmp / "file").string(), 2, "not a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before + c.args);
    const Outcome r = kestravel(c.args, "", c.before);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_TRUE(has(r.out, c.says)) << r.out;
    if (c.status == 2) {
      EXPECT_FALSE(has(r.out, "\x1b[")) << "drew before refusing";
    }
  }
  fs::remove_all(tmp);
}

// Background processes a command of the agent left running end with the program, whether it
// ends at the end of its input or by a signal.
TEST(Cli, PlainEndsWhatCommandsLeftInTheBackground) {
  namespace fake = orvo::agent::testing;
  for (const int ending : {0, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(ending);
    const fs::path log_file =
        fs::temp_directory_path() / ("kv_cli_log_" + std::to_string(::getpid()));
    fake::FakeOpenAIServer server;
    // The command's output (its process group) reaches the server with the next request.
    server.enqueue(fake::stream_reply({fake::tool_stream(
        "bash", R"({"command":"sleep 1000 >/dev/null 2>&1 & cut -d' ' -f5 /proc/$$/stat"})")}));
    server.enqueue(fake::stream_reply({fake::answer_stream("", "Started.")}));

    int in[2];
    ASSERT_EQ(::pipe(in), 0);
    const std::string binary = std::string(KV_BINARY_DIR) + "/src/host/kestravel";
    const std::string endpoint = server.endpoint();
    const std::string project = small_project().string();  // not made after the fork
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::dup2(in[0], 0);
      const int log = ::open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(log, 1);
      ::dup2(log, 2);
      ::close(in[1]);
      if (::chdir(project.c_str()) != 0) ::_exit(126);
      ::setenv("XDG_CONFIG_HOME", "/nonexistent/kv", 1);
      ::execl(binary.c_str(), binary.c_str(), "--plain", "--endpoint", endpoint.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ASSERT_EQ(::write(in[1], "start it\n", 9), 9);
    pid_t pgid = 0;
    if (server.wait_for_requests(2)) {
      const auto messages = server.requests()[1].json()["messages"];
      if (messages.is_array() && !messages.empty() && messages.back()["content"].is_string()) {
        pgid = std::atoi(messages.back()["content"].get<std::string>().c_str());
      }
    }
    if (pgid <= 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      std::ifstream log(log_file);
      FAIL() << "the command never ran; output:\n"
             << std::string(std::istreambuf_iterator<char>(log), {});
    }
    EXPECT_EQ(::kill(-pgid, 0), 0) << "nothing left running";
    if (ending == 0) {
      ::close(in[1]);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // back at the prompt
      ::kill(pid, ending);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (ending != 0) {
      ::close(in[1]);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == ending) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    bool gone = false;
    for (int i = 0; i < 300 && !gone; ++i) {
      gone = ::kill(-pgid, 0) != 0;
      if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
    if (!gone) ::kill(-pgid, SIGKILL);
    fs::remove(log_file);
  }
}

}  // namespace

namespace {

// `kestravel view` ends the process itself once the screen is out: a screen that could not be
// written must still say so in the exit status.
TEST(Cli, ViewReportsAScreenThatCouldNotBeWritten) {
  const fs::path script = fs::temp_directory_path() / ("kv_cli_view_" + std::to_string(::getpid()));
  std::ofstream(script) << R"({"call": "append_user", "text": "hello"})"
                        << "\n";
  const Outcome ok = kestravel("view " + script.string() + " --size 20x3");
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_EQ(ok.out, "\n ❯ hello\n\n");
  const Outcome full = kestravel("view " + script.string() + " --size 20x3 >/dev/full");
  EXPECT_EQ(full.status, 1) << full.out;
  fs::remove(script);
}

}  // namespace
