// label: threaded
#include "host/replay.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <tuple>

#include <unistd.h>

#include "common/utf8.hpp"

namespace orvo::host {
namespace {

TEST(ReplayScript, DefaultsCommentsAndBlankLines) {
  const auto steps = parse_script(
      "# a turn\n"
      "\n"
      "{\"call\":\"start_thinking\"}\n"
      "   \n"
      "{\"sleep\": 0.25}\r\n"
      "{\"call\":\"log_tool\",\"name\":\"bash\"}\n"
      "{\"call\":\"tool_result\",\"result\":\"ok\"}\n"
      "{\"call\":\"done\"}");
  ASSERT_EQ(steps.size(), 5u);
  EXPECT_EQ(steps[0].args["reset"], true);
  EXPECT_EQ(steps[0].line, 3);
  EXPECT_EQ(steps[1].sleep, 0.25);
  EXPECT_EQ(steps[2].args["args"], "");
  EXPECT_EQ(steps[3].args["error"], false);
  EXPECT_EQ(steps[3].args["idx"], -1);
  EXPECT_EQ(steps[4].line, 8);
}

TEST(ReplayScript, BadLinesNameTheLineAndReason) {
  struct Case {
    std::string script;
    int line;
    std::string reason;
  } cases[] = {
      {"{\"call\":\"done\"}\n{\"call\":\"dance\"}", 2, "unknown call \"dance\""},
      {"{\"call\":\"stream\"}", 1, "stream needs \"chunk\""},
      {"{\"call\":\"stream\",\"chunk\":3}", 1, "\"chunk\" of stream must be a string"},
      {"{\"call\":\"tool_result\",\"result\":\"\",\"idx\":\"0\"}", 1, "must be an integer"},
      {"{\"call\":\"start_thinking\",\"reset\":1}", 1, "must be true or false"},
      {"{\"call\":\"done\",\"extra\":1}", 1, "takes no argument \"extra\""},
      {"\n\n{\"call\":", 3, "not valid JSON"},
      {"[1,2]", 1, "expected a JSON object"},
      {"{\"sleep\":-1}", 1, "\"sleep\" must be a number"},
      {"{\"sleep\":1,\"call\":\"done\"}", 1, "a pause holds only"},
      {"{}", 1, "expected \"call\" or \"sleep\""},
  };
  for (const auto& c : cases) {
    try {
      parse_script(c.script);
      ADD_FAILURE() << "accepted: " << c.script;
    } catch (const ScriptError& e) {
      EXPECT_EQ(e.line(), c.line) << c.script;
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
}

// True when `s` could drive a terminal: any C0 control (line ends included), DEL, a C1 control as
// a code point or any byte that is not valid UTF-8.
bool has_controls(const std::string& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x20 || b == 0x7F) return true;
    if (b == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) <= 0x9F) return true;
  }
  return text::terminal_safe(s) != s;
}

// Every error of the JSON layer is a script error with its line number.
TEST(ReplayScript, NumbersOutOfRangeAreScriptErrors) {
  struct Case {
    std::string script;
    int line;
    std::string reason;
  } cases[] = {
      {"{\"sleep\":1e400}", 1, "not valid JSON"},
      {"{\"call\":\"done\"}\n{\"call\":\"done\",\"x\":1e999}", 2, "not valid JSON"},
      {"{\"call\":\"stream\",\"chunk\":\"a\",\"z\":{\"n\":[-1e400]}}", 1, "not valid JSON"},
      {"{\"call\":\"tool_result\",\"result\":\"\",\"idx\":18446744073709551615}", 1,
       "\"idx\" of tool_result is out of range"},
      {"{\"call\":\"tool_result\",\"result\":\"\",\"idx\":9223372036854775808}", 1, "out of range"},
      {"{\"call\":\"tool_result\",\"result\":\"\",\"idx\":-9223372036854775809}", 1,
       "must be an integer"},
      {std::string("{\"call\":\"done\"}\n{\"call\":\"done\"}\0 trailing", 32), 2, "NUL byte"},
      {std::string("# comment \0 hidden\n", 19), 1, "NUL byte"},
  };
  for (const auto& c : cases) {
    try {
      parse_script(c.script);
      ADD_FAILURE() << "accepted: " << c.script;
    } catch (const ScriptError& e) {
      EXPECT_EQ(e.line(), c.line) << c.script;
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "not a script error: " << e.what();
    }
  }
  const auto ok = parse_script(
      "{\"call\":\"tool_result\",\"result\":\"\",\"idx\":9223372036854775807}\n{\"sleep\":1e-400}");
  EXPECT_EQ(ok[0].args["idx"].get<std::int64_t>(), 9223372036854775807);
}

// Messages that quote the script never carry its control characters.
TEST(ReplayScript, ErrorMessagesNeutraliseControls) {
  const std::string hostile[] = {
      "{\"call\":\"\\u001b]0;pwned\\u0007\\u001b[?1049h\"}",
      "{\"call\":\"\\u009b31m\\u007f\\n\"}",
      "{\"call\":\"done\",\"\\u001b]52;c;aGk=\\u0007\":1}",
      "{\"call\":\"done\",\"\x7f\":1}",
      "{\"call\":\"\xc2\x9b"
      "31m\"}",
      "{\"call\":\x1b]0;raw\x07}",
      "{\"call\":\"\x9b\x1b[2J\"}",
      "\x1b]0;x\x07",
      "{\"call\":\"log_tool\",\"name\":\"\\u001b[2J\",\"x\\u009d\":1}",
  };
  for (const auto& script : hostile) {
    try {
      parse_script(script);
      ADD_FAILURE() << "accepted: " << script;
    } catch (const ScriptError& e) {
      EXPECT_FALSE(has_controls(e.what())) << e.what();
    }
  }
}

TEST(ReplayScript, DemoRoundTripsThroughTheScriptFormat) {
  const auto demo = demo_script();
  const auto again = parse_script(dump_script(demo));
  ASSERT_EQ(again.size(), demo.size());
  for (std::size_t i = 0; i < demo.size(); ++i) {
    EXPECT_EQ(again[i].call, demo[i].call);
    EXPECT_EQ(again[i].args, demo[i].args);
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ReplayPlay, EventsFileHoldsEveryEventInOrder) {
  const std::string path = ::testing::TempDir() + "/events." + std::to_string(::getpid());
  std::stringstream sink;
  auto* old = std::cout.rdbuf(sink.rdbuf());
  play(parse_script("{\"call\":\"start_thinking\",\"reset\":false}\n"
                    "{\"call\":\"log_tool\",\"name\":\"grep\",\"args\":\"x\"}\n"
                    "{\"call\":\"tool_result\",\"result\":\"bad \\u00ff\",\"idx\":0}\n"
                    "{\"call\":\"stream\",\"chunk\":\"hi\"}\n"
                    "{\"call\":\"notice\",\"text\":\"skipped 1 event\"}\n"
                    "{\"call\":\"done\"}\n"),
       {.fast = true, .events_path = path});
  std::cout.rdbuf(old);
  EXPECT_EQ(
      read_file(path),
      "{\"event\":\"thinking_start\",\"payload\":{\"reset\":\"false\"}}\n"
      "{\"event\":\"tool_start\",\"payload\":{\"name\":\"grep\",\"args\":\"x\",\"index\":0}}\n"
      "{\"event\":\"tool_result\",\"payload\":{\"error\":\"false\",\"index\":0,"
      "\"result\":\"bad ÿ\",\"name\":\"grep\",\"args\":\"x\"}}\n"
      "{\"event\":\"stream_start\",\"payload\":{}}\n"
      "{\"event\":\"content\",\"payload\":{\"chunk\":\"hi\",\"chars\":\"2\"}}\n"
      "{\"event\":\"notice\",\"payload\":{\"text\":\"skipped 1 event\"}}\n"
      "{\"event\":\"done\",\"payload\":{}}\n");
  EXPECT_NE(sink.str().find("Done in"), std::string::npos);
  EXPECT_NE(sink.str().find("skipped 1 event"), std::string::npos);
}

// Runs the real program through the shell and returns its exit status and standard error.
std::pair<int, std::string> run(const std::string& command) {
  // Test cases run as parallel processes: every file name carries the process id.
  const std::string err = ::testing::TempDir() + "/stderr." + std::to_string(::getpid());
  const int status = std::system((command + " 2>" + err).c_str());
  return {WEXITSTATUS(status), read_file(err)};
}

const std::string kBin = std::string(KV_BINARY_DIR) + "/src/host/kestravel";

TEST(ReplayProgram, BadScriptPlaysNothingAndExitsTwo) {
  const std::string script = ::testing::TempDir() + "/bad." + std::to_string(::getpid());
  std::ofstream(script) << "{\"call\":\"print_info\",\"text\":\"should not show\"}\n"
                           "{\"call\":\"log_tool\"}\n";
  const std::string out = ::testing::TempDir() + "/out." + std::to_string(::getpid());
  auto [status, err] = run(kBin + " replay " + script + " --fast >" + out);
  EXPECT_EQ(status, 2);
  EXPECT_NE(err.find("line 2: log_tool needs \"name\""), std::string::npos) << err;
  EXPECT_EQ(read_file(out), "");
}

TEST(ReplayProgram, ClosedPipeEndsWithAShortMessage) {
  auto [status, err] =
      run("bash -c 'set -o pipefail; " + kBin + " replay | head -c 10 >/dev/null'");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "kestravel replay: standard output closed; turn not finished\n");
}

TEST(ReplayProgram, UsageErrors) {
  EXPECT_EQ(run(kBin + " replay --bogus").first, 2);
  EXPECT_EQ(run(kBin + " replay a b").first, 2);
  EXPECT_EQ(run(kBin + " replay /nonexistent/script").first, 2);
  EXPECT_EQ(run(kBin + " frobnicate").first, 2);
}

std::string temp(const std::string& name) {
  return ::testing::TempDir() + "/" + name + "." + std::to_string(::getpid());
}

// The script's file name is neutralised in messages as well.
TEST(ReplayProgram, FileNameInMessagesIsNeutralised) {
  const std::string dir = temp("names");
  std::filesystem::create_directories(dir);
  const std::string script = dir + "/\x1b]0;title\x07\x1b[?1049h.jsonl";
  std::ofstream(script) << "{\"call\":\"dance\"}\n";
  auto [status, err] = run(kBin + " replay '" + script + "' --fast >/dev/null");
  EXPECT_EQ(status, 2);
  ASSERT_FALSE(err.empty());
  EXPECT_FALSE(has_controls(err.substr(0, err.size() - 1))) << err;
  std::tie(status, err) = run(kBin + " replay '--\x1b[2J' >/dev/null");
  EXPECT_EQ(status, 2);
  EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
  std::tie(status, err) = run(kBin + " '\x1b]52;c;aGk=\x07' >/dev/null");
  EXPECT_EQ(status, 2);
  EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
  std::tie(status, err) = run(kBin + " replay '" + dir + "/none\x1b[2J' >/dev/null");
  EXPECT_EQ(status, 2);
  EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
  std::filesystem::remove_all(dir);
}

// Numbers out of range in a script file end with exit 2, not an abort.
TEST(ReplayProgram, HugeNumberIsAScriptError) {
  const std::string script = temp("huge");
  std::ofstream(script) << "{\"call\":\"start_thinking\"}\n{\"sleep\":1e400}\n";
  auto [status, err] = run(kBin + " replay " + script + " --fast >/dev/null");
  EXPECT_EQ(status, 2);
  EXPECT_NE(err.find("line 2: not valid JSON"), std::string::npos) << err;
}

// An endless or unreadable script is refused with a clear error.
TEST(ReplayProgram, EndlessOrUnreadableScriptsAreRefused) {
  // An address-space cap keeps an unfixed build from eating the machine (the sanitizers need the
  // space).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::string cap = "";
#else
  const std::string cap = "ulimit -v 4000000; ";
#endif
  auto [status, err] = run(cap + "timeout 60 " + kBin + " replay /dev/zero --fast");
  EXPECT_EQ(status, 2);
  EXPECT_NE(err.find("larger than"), std::string::npos) << err;
  std::tie(status, err) =
      run("head -c 70000000 /dev/zero | " + kBin + " replay /dev/stdin --fast >/dev/null");
  EXPECT_EQ(status, 2);
  EXPECT_NE(err.find("larger than"), std::string::npos) << err;
  std::tie(status, err) = run(kBin + " replay " + ::testing::TempDir() + " --fast >/dev/null");
  EXPECT_EQ(status, 2);
  EXPECT_NE(err.find("directory"), std::string::npos) << err;
}

// --events never overwrites the script, by any name.
TEST(ReplayProgram, EventsFileThatIsTheScriptIsRefused) {
  const std::string script = temp("self");
  const std::string text = "{\"call\":\"start_thinking\"}\n{\"call\":\"done\"}\n";
  std::ofstream(script) << text;
  const std::string link = script + ".hard";
  std::filesystem::remove(link);
  std::filesystem::create_hard_link(script, link);
  const std::filesystem::path sp(script);
  const std::string dotted = sp.parent_path().string() + "/./" + sp.filename().string();
  for (const std::string& events : {script, link, dotted}) {
    auto [status, err] =
        run(kBin + " replay " + script + " --fast --events " + events + " >/dev/null");
    EXPECT_EQ(status, 2) << events;
    EXPECT_NE(err.find("script"), std::string::npos) << err;
    EXPECT_EQ(read_file(script), text);
  }
  // A bad script leaves an existing events file alone.
  const std::string bad = temp("bad-events");
  std::ofstream(bad) << "{\"call\":\"nope\"}\n";
  const std::string events = temp("kept-events");
  std::ofstream(events) << "keep me\n";
  EXPECT_EQ(run(kBin + " replay " + bad + " --events " + events + " >/dev/null").first, 2);
  EXPECT_EQ(read_file(events), "keep me\n");
  std::filesystem::remove(link);
}

// A help or usage text that cannot be written is an error.
TEST(ReplayProgram, HelpWriteFailureIsAnError) {
  EXPECT_NE(run(kBin + " --help >/dev/full").first, 0);
  EXPECT_NE(run(kBin + " -h >/dev/full").first, 0);
  EXPECT_NE(run(kBin + " replay --help >/dev/full").first, 0);
  EXPECT_NE(run(kBin + " replay --dump-demo >/dev/full").first, 0);
  EXPECT_EQ(run(kBin + " --help >/dev/null").first, 0);
  EXPECT_EQ(run(kBin + " replay --help >/dev/null").first, 0);
}

}  // namespace
}  // namespace orvo::host
