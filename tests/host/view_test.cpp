// `kestravel view`: script checking, screens, state and returned values.
#include "host/view.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace orvo::host::view {
namespace {

struct Played {
  int code;
  std::string out, err;
};

Played play(const std::string& script, std::vector<std::string> options = {}) {
  const auto path =
      std::filesystem::temp_directory_path() /
      ("kv_view_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::ofstream(path) << script;
  std::vector<std::string> args{path.string()};
  args.insert(args.end(), options.begin(), options.end());
  std::ostringstream out, err;
  const int code = view_main(args, out, err);
  std::filesystem::remove(path);
  return {code, out.str(), err.str()};
}

TEST(ScrivletViewPlayer, BadLinesAreReportedBeforeAnythingIsDrawn) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\"call\":\"append_user\",\"text\":\"a\"}\nnot json", "line 2: not JSON"},
      {"\n{\"call\":\"append_userr\",\"text\":\"a\"}",
       "line 2: unknown operation \"append_userr\""},
      {"{\"call\":\"append_user\"}", "line 1: append_user: missing argument \"text\""},
      {"{\"call\":\"append_user\",\"text\":3}", "line 1: append_user: \"text\" must be a string"},
      {"{\"call\":\"append_tool_result\",\"result\":\"r\",\"error\":\"yes\"}",
       "line 1: append_tool_result: \"error\" must be true or false"},
      {"{\"call\":\"clear\",\"now\":true}", "line 1: clear: unknown argument \"now\""},
      {"{\"call\":\"append_turn_summary\",\"elapsed\":1,\"tools\":[1]}",
       "line 1: append_turn_summary: \"tools\" must be a list of strings"},
      {"{\"resize\":[10]}", "line 1: \"resize\" must be [cols, rows]"},
      {"{\"mouse\":\"drag\",\"x\":1,\"y\":1}", "line 1: \"mouse\" must be"},
      {"{\"mouse\":\"down\",\"x\":1}", "line 1: missing \"y\""},
      {"{\"screenshot\":true,\"extra\":1}", "line 1: unexpected key \"extra\""},
      {"[1,2]", "line 1: a line must be a JSON object"},
      {"{\"wait\":1}", "line 1: expected \"call\""},
      // Numbers a plain conversion would turn into something else: never played.
      {"{\"resize\":[1e400,1]}", "line 1: a number out of range"},
      {"{\"resize\":[4294967297,24]}", "line 1: \"resize\" needs 1 to 1000"},
      {"{\"call\":\"append_turn_summary\",\"elapsed\":1,\"tools\":[],"
       "\"tokens_out\":18446744073709551615}",
       "line 1: append_turn_summary: \"tokens_out\" is out of range"},
      {"{\"call\":\"_handle_thinking_click\",\"y\":4294967296}",
       "line 1: _handle_thinking_click: \"y\" is out of range"},
      {"{\"mouse\":\"down\",\"x\":18446744073709551615,\"y\":1}", "line 1: \"x\" is out of range"},
      {std::string("{\"screenshot\":true}\n{\"call\":\"clear\"}\0", 37),
       "line 2: holds a NUL byte"},
  };
  for (const auto& [script, message] : cases) {
    SCOPED_TRACE(script);
    const Played r = play(script);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
}

// Lines of strings and booleans take a reader of their own: it must give what the general JSON
// parser gives, and leave every line it cannot judge (a fault included) to that parser.
TEST(ScrivletViewPlayer, StringLinesReadAsTheJsonParserReadsThem) {
  const std::string_view texts[] = {
      R"("plain")",
      R"("quote \" backslash \\ slash \/ \b\f\n\r\t")",
      R"("\u00e9 \u20AC \ud83d\ude00 \u0000 end")",
      "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"",
      R"("")",
  };
  for (const auto& t : texts) {
    const std::string line =
        std::string("{ \"call\" :\"append_user\",\t\"text\": ") + std::string(t) + " }\r";
    SCOPED_TRACE(line);
    const auto steps = parse_view_script(line);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].args.at("text"), nlohmann::json::parse(t));
  }
  // A boolean, a later duplicate key winning, as the general parser has it.
  const auto steps = parse_view_script(
      R"({"call":"append_thinking","text":"a","expanded":false,"expanded":true})");
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].args.at("expanded"), true);
  // Faults in a string: reported as not JSON, never read as something else.
  const std::string_view bad[] = {
      R"("lone \ud800 high")", R"("lone \udc00 low")",  R"("bad \x escape")",
      R"("short \u12")",       "\"overlong \xc0\xaf\"", "\"surrogate \xed\xa0\x80\"",
      "\"cut \xe2\x82\"",      "\"tab\tinside\"",       R"("unterminated)",
  };
  for (const auto& t : bad) {
    const std::string line = R"({"call":"append_user","text":)" + std::string(t) + "}";
    SCOPED_TRACE(line);
    try {
      parse_view_script(line);
      ADD_FAILURE() << "accepted";
    } catch (const ViewScriptError& e) {
      EXPECT_NE(std::string(e.what()).find("line 1: not JSON"), std::string::npos) << e.what();
    }
  }
  // Trailing text after the object.
  EXPECT_THROW(parse_view_script(R"({"call":"append_user","text":"a"} x)"), ViewScriptError);
}

TEST(ScrivletViewPlayer, OptionsAreChecked) {
  std::ostringstream out, err;
  EXPECT_EQ(view_main({}, out, err), 2);
  EXPECT_EQ(view_main({"x.jsonl", "--size", "80by24"}, out, err), 2);
  EXPECT_EQ(view_main({"x.jsonl", "--size", "0x24"}, out, err), 2);
  EXPECT_EQ(view_main({"/nonexistent/x.jsonl"}, out, err), 2);
  EXPECT_EQ(view_main({"x.jsonl", "--frobnicate"}, out, err), 2);
}

// A stream that never ends, like /dev/zero.
class Zeros : public std::streambuf {
 protected:
  int_type underflow() override {
    static char block[4096] = {};
    setg(block, block, block + sizeof block);
    return 0;
  }
};

TEST(ScrivletViewPlayer, ScriptsThatAreNoScriptsAreRefused) {
  // A directory: an error, not an empty screen.
  const auto dir =
      std::filesystem::temp_directory_path() /
      ("kv_view_dir_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  std::ostringstream out, err;
  EXPECT_EQ(view_main({dir.string()}, out, err), 2);
  std::filesystem::remove(dir);
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("Is a directory"), std::string::npos) << err.str();
  // An endless input stops at the size cap instead of filling the memory.
  Zeros zeros;
  std::istream endless(&zeros);
  try {
    parse_view_script(endless);
    ADD_FAILURE() << "an endless script was accepted";
  } catch (const ViewScriptError& e) {
    EXPECT_STREQ(e.what(), "larger than 64 MiB, the most a script may hold");
  }
}

TEST(ScrivletViewPlayer, ScreenOfATurn) {
  const Played r = play(
      "{\"call\":\"append_user\",\"text\":\"rename foo\"}\n"
      "{\"call\":\"append_tool\",\"name\":\"edit_file\",\"args\":\"src/a.c\"}\n"
      "{\"call\":\"append_tool_result\",\"result\":\"--- a\\n+++ b\\n@@ -3 +3 @@\\n-foo();\\n"
      "+bar();\"}\n"
      "{\"call\":\"stream_token\",\"token\":\"Renamed \"}\n"
      "{\"call\":\"stream_token\",\"token\":\"it.\\nDone\"}\n"
      "{\"call\":\"finish_stream\",\"full_text\":\"Renamed it.\\nDone\"}\n"
      "{\"call\":\"append_error\",\"text\":\"quota\"}\n"
      "{\"call\":\"get_selection\"}\n",
      {"--size", "40x12", "--state"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"call\":\"get_selection\",\"result\":\"\"}\n"
            "\n"
            " ❯ rename foo\n"
            "   ● Update(src/a.c)\n"
            "     ⎿ Added 1 line, removed 1 line\n"
            "        3 - foo();\n"
            "        3 + bar();\n"
            "\n"
            "   Renamed it.\n"
            "   Done\n"
            "   ✗ quota\n"
            "\n"
            "\n"
            "{\"history\":[[\"user\",\"rename foo\"],[\"tool\",\"edit_file\",\"src/a.c\"],"
            "[\"tool_result\",\"--- a\\n+++ b\\n@@ -3 +3 @@\\n-foo();\\n+bar();\",\"false\"],"
            "[\"assistant\",\"Renamed it.\\nDone\"],[\"error\",\"quota\"]],"
            "\"thinking_states\":{},\"thinking_line_map\":{},\"line_counter\":10,"
            "\"step_count\":1,\"sel_start\":null,\"sel_end\":null,\"selecting\":false,"
            "\"selected_text\":\"\",\"scroll_y\":0,\"lines\":[\"\",\"❯ rename foo\","
            "\"  ● Update(src/a.c)\",\"    ⎿ Added 1 line, removed 1 line\",\"       3 - foo();\","
            "\"       3 + bar();\",\"\",\"  Renamed it.\",\"  Done\",\"  ✗ quota\"]}\n");
}

TEST(ScrivletViewPlayer, ApprovalsTakeAnOptionalReason) {
  const Played r = play(
      "{\"call\":\"append_approval\",\"tool_name\":\"bash\",\"command\":\"rm -rf src\","
      "\"reason\":\"deletes src/\"}\n"
      "{\"call\":\"append_approval\",\"tool_name\":\"bash\",\"command\":\"ls\"}\n",
      {"--size", "40x9"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\n"
            "   Allow bash? rm -rf src\n"
            "   Press 1 to allow, 2 to deny\n"
            "   Why: deletes src/\n"
            "\n"
            "   Allow bash? ls\n"
            "   Press 1 to allow, 2 to deny\n"
            "\n"
            "\n");
}

TEST(ScrivletViewPlayer, ReplayAfterStreamingShowsMarkdownAndScreenshotsInBetween) {
  const Played r = play(
      "{\"call\":\"stream_token\",\"token\":\"Use **bold**\\n\"}\n"
      "{\"call\":\"finish_stream\",\"full_text\":\"Use **bold**\\n\"}\n"
      "{\"screenshot\":true}\n"
      "{\"call\":\"_rerender\"}\n"
      "{\"resize\":[30,4]}\n",
      {"--size", "30x4"});
  EXPECT_EQ(r.code, 0) << r.err;
  // The finish draws the settled answer as markdown at once (and its closing row of two
  // spaces); a replay draws the same.
  EXPECT_EQ(r.out,
            "\n"
            "   Use bold\n"
            "\n"
            "\n"
            "\n"
            "   Use bold\n"
            "\n"
            "\n");
}

TEST(ScrivletViewPlayer, KeysScrollAndAnsiKeepsStyles) {
  std::string script;
  for (int i = 0; i < 20; ++i)
    script += "{\"call\":\"append_error\",\"text\":\"e" + std::to_string(i) + "\"}\n";
  script += "{\"key\":\"home\"}\n";
  const Played r = play(script, {"--size", "20x3"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "   ✗ e0            █\n   ✗ e1\n   ✗ e2\n");
  const Played ansi = play(script, {"--size", "20x3", "--ansi"});
  EXPECT_NE(ansi.out.find("\x1b["), std::string::npos);
}

}  // namespace
}  // namespace orvo::host::view
