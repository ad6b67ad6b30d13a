// label: threaded
#include "host/replay.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include <unistd.h>

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
      "{\"event\":\"done\",\"payload\":{}}\n");
  EXPECT_NE(sink.str().find("Done in"), std::string::npos);
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

}  // namespace
}  // namespace orvo::host
