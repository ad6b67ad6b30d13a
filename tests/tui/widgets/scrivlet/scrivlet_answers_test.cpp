// Answers: streaming line by line, finishing, the settled look (markdown or plain paragraphs),
// and the markdown rows equal to the round trip through ANSI text on the shared corpus.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fixture.hpp"
#include "tui/framework/markdown/markdown.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::Harness;
using testing::pieces_equal;
using testing::rows;
using Rows = std::vector<std::string>;

TEST(ScrivletAnswers, TextWidthFollowsTheApplicationWidth) {
  Scrivlet alone;  // no application: fallback 76, minus 2
  EXPECT_EQ(alone._stream_avail_width(), 74);
  // Below 45 columns the log's own rows are narrower (the widget is 3 columns narrower than the
  // screen, its rows 2 narrower than that, the indent takes 2): 23 at 30 columns, 33 at 40.
  const std::pair<int, int> cases[] = {{80, 72}, {100, 92}, {30, 23}, {40, 33}, {46, 38}, {47, 39}};
  for (const auto& [screen, width] : cases) {
    Harness h({screen, 10});
    EXPECT_EQ(h.v._stream_avail_width(), width) << screen;
  }
}

TEST(ScrivletAnswers, StreamingDrawsCompleteLinesOnly) {
  Harness h({80, 24});
  h.v.stream_token("Hello");
  EXPECT_EQ(rows(h.v), Rows{""});
  EXPECT_EQ(h.v._stream_text, "Hello");
  h.v.stream_token(" world\nand more");
  EXPECT_EQ(rows(h.v), (Rows{"", "  Hello world"}));
  EXPECT_EQ(h.v._stream_text, "and more");
  // Several lines at once, then a lone newline with nothing waiting: a row of two spaces.
  h.v.stream_token("\nb\nc\n");
  h.v.stream_token("\n");
  EXPECT_EQ(rows(h.v), (Rows{"", "  Hello world", "  and more", "  b", "  c", "  "}));
  EXPECT_EQ(h.v._stream_text, "");
  EXPECT_EQ(h.v._line_counter, 6);
  // Waiting spaces are not drawn at the finish; the full text becomes one entry.
  h.v.stream_token("   ");
  h.v.finish_stream("Hello world\nand more\nb\nc\n");
  EXPECT_EQ(rows(h.v).size(), 6u);
  EXPECT_EQ(h.v._stream_started, false);
  EXPECT_EQ(h.v._stream_text, "");
  ASSERT_EQ(h.v._history.size(), 1u);
  EXPECT_EQ(h.v._history[0], HistoryEntry("assistant", {"Hello world\nand more\nb\nc\n"}));
  // The next answer opens with its own empty row.
  h.v.stream_token("x");
  EXPECT_EQ(rows(h.v).size(), 7u);
}

TEST(ScrivletAnswers, StreamedLinesWrapAtTheTextWidth) {
  Harness h({46, 24});  // text width 38
  h.v.stream_token(std::string(30, 'a') + " " + std::string(24, 'b') + " well-known-words\n");
  EXPECT_EQ(rows(h.v), (Rows{"", "  " + std::string(30, 'a'),
                             "  " + std::string(24, 'b') + " well-known-", "  words"}));
}

TEST(ScrivletAnswers, FinishRecordsOnlyNonBlankAnswersAndDrawsNothingWithoutAStream) {
  Harness h;
  h.v.finish_stream("settled later");
  EXPECT_TRUE(h.v.lines().empty());
  EXPECT_EQ(h.v._history.size(), 1u);
  EXPECT_FALSE(h.v._stream_text);
  h.v.finish_stream();
  h.v.finish_stream(" \n\t");
  EXPECT_EQ(h.v._history.size(), 1u);
  // A streamed answer closed without text leaves no entry: a replay drops its rows.
  h.v.stream_token("gone\n");
  h.v.finish_stream("");
  h.v._rerender();
  EXPECT_EQ(rows(h.v), (Rows{"", "  settled later"}));
}

TEST(ScrivletAnswers, PlainAnswerParagraphs) {
  Harness h;
  h.v.append_assistant("alpha\n\nbeta");
  EXPECT_EQ(rows(h.v), (Rows{"", "  alpha", "  ", "  beta"}));
  EXPECT_EQ(h.v._line_counter, 4);
}

TEST(ScrivletAnswers, MarkdownMarkersAreSubstrings) {
  // Each of these is rendered as markdown, so it ends with the row of two spaces.
  for (const std::string text : {"a - b", "x `y", "1. z", "**b**", "### h", "```\nc\n```"}) {
    SCOPED_TRACE(text);
    Harness h;
    h.v.append_assistant(text);
    EXPECT_EQ(rows(h.v).back(), "  ");
    EXPECT_GE(rows(h.v).size(), 3u);
  }
  Harness h;
  h.v.append_assistant("a-b 1.5 plain");
  EXPECT_EQ(rows(h.v), (Rows{"", "  a-b 1.5 plain"}));
}

// The rows a markdown answer gets when every piece of the console's ANSI output is parsed back
// with from_ansi, written through the same log.
std::vector<Strip> round_trip_rows(const std::string& text, Size size) {
  Harness ref(size);
  const int w = ref.v._stream_avail_width() + 2;
  ConsoleOptions o;
  o.width = w - 2;
  o.color_system = ColorSystem::TrueColor;
  o.force_terminal = true;
  o.no_color = false;
  Console console(o);
  console.print(Markdown(text, "monokai"));
  std::string out = console.take_buffer();
  ref.v.write(Text(""));
  std::size_t start = 0;
  while (true) {
    const std::size_t nl = out.find('\n', start);
    ref.v.write(
        Text::from_ansi("  " + out.substr(start, nl == std::string::npos ? nl : nl - start)));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return ref.v.lines();
}

TEST(ScrivletAnswers, MarkdownRowsEqualTheAnsiRoundTripOnTheCorpus) {
  const std::filesystem::path dir = std::filesystem::path(KV_SOURCE_DIR) / "tests/data/corpus/md";
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.file_size() > 50'000) continue;  // the 200 KB answer adds time, not cases
    std::ifstream f(entry.path());
    std::stringstream ss;
    ss << f.rdbuf();
    // 100 columns: the screen's budget is narrower than the widget. 30 columns: the widget is
    // narrower than that budget, so the markdown is laid out at the widget's width.
    for (const Size size : {Size{100, 10}, Size{30, 10}}) {
      SCOPED_TRACE(entry.path().filename().string() + " at " + std::to_string(size.width));
      Harness h(size);
      h.v._render_assistant(ss.str());
      const auto expected = round_trip_rows(ss.str(), size);
      ASSERT_EQ(h.v.lines().size(), expected.size());
      for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(h.v.lines()[i].text(), expected[i].text()) << "row " << i;
        ASSERT_EQ(pieces_equal(h.v.lines()[i], expected[i]), true) << "row " << i;
      }
      EXPECT_EQ(
          h.v._line_counter,
          static_cast<int>(Console(ConsoleOptions{h.v._stream_avail_width(), ColorSystem::TrueColor,
                                                  true, nullptr, false, false})
                               .render_lines(Markdown(ss.str(), "monokai"))
                               .size()) +
              2);
    }
    ++files;
  }
  EXPECT_GT(files, 10);
}

// An answer's own rows move into the log; rows shared with others are copied. Both must give the
// same rows, also where a row loses its link or is too wide to take the indent as it is.
TEST(ScrivletAnswers, MovedIndentedRowsEqualCopiedOnes) {
  const Style linked = Style().with_link("https://example.com/");
  struct Case {
    std::string name;
    std::vector<Strip> rows;
    bool unlink;
  };
  const Case cases[] = {
      {"fitting rows",
       {Strip({Segment("a row long enough not to fit a short string", Style::parse("bold")),
               Segment(" tail")}),
        Strip(), Strip({Segment("x")})},
       true},
      {"a link dropped", {Strip({Segment("see "), Segment("here", linked)})}, true},
      {"a link kept", {Strip({Segment("see "), Segment("here", linked)})}, false},
      {"a row wider than the log",
       {Strip({Segment(std::string(40, 'w'))}), Strip({Segment("y")})},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness copied({40, 10});
    Harness moved({40, 10});
    copied.v._write_indented_rows(c.rows, c.unlink);
    std::vector<Strip> own = c.rows;
    moved.v._write_indented_rows(std::move(own), c.unlink);
    EXPECT_EQ(moved.v.lines(), copied.v.lines());
    EXPECT_EQ(moved.v._line_counter, copied.v._line_counter);
  }
}

TEST(ScrivletAnswers, WritesBeforeTheFirstLayoutAppearOnceLaidOut) {
  testing::ViewApp app;
  app.view->append_assistant("Use **bold** and `code`.");
  app.view->append_tool_result("a\nb");
  Harness after({60, 10});
  after.v.append_assistant("Use **bold** and `code`.");
  after.v.append_tool_result("a\nb");
  Pilot pilot(app, {60, 10});
  EXPECT_EQ(rows(*app.view), (Rows{"", "  Use bold and code.", "  ", "    │ a", "    ⎿ b"}));
  EXPECT_EQ(app.view->lines(), after.v.lines());
}

TEST(ScrivletAnswers, AFinishedAnswerIsDrawnSettledAtOnce) {
  const std::string answer = "## Fixed\n`APP_PORT` is a **string**\n```\nx = 1\n```\n";
  Harness streamed, settled;
  streamed.v.append_user("fix it");
  settled.v.append_user("fix it");
  for (const char c : answer) streamed.v.stream_token(std::string(1, c));
  streamed.v.finish_stream(answer);
  settled.v.append_assistant(answer);
  EXPECT_EQ(rows(streamed.v), rows(settled.v));
  EXPECT_EQ(streamed.v.lines(), settled.v.lines());
  EXPECT_EQ(rows(streamed.v)[3], "  Fixed");  // no "##" left over
}

// Rows are cells wide: wide characters and narrow screens never give a row the log wraps again.
TEST(ScrivletAnswers, StreamedRowsFitTheLogByCells) {
  const std::string cjk =
      "这是一个很长的中文句子用来检查按终端单元格换行是否正确处理宽字符而不会溢出";
  for (const int screen : {80, 46, 40, 30, 24}) {
    SCOPED_TRACE(screen);
    Harness h({screen, 10});
    const int n = h.v._stream_avail_width();
    h.v.stream_token(cjk + "\n" + std::string(120, 'a') + "\n" + "👍🏽 ok " + cjk + "\n");
    // Every streamed row is written as one row: the count of logical lines equals the rows.
    EXPECT_EQ(h.v._line_counter.value_or(0), static_cast<int>(h.v.lines().size()));
    for (const auto& row : rows(h.v)) EXPECT_LE(text::cell_len(row), n + 2) << row;
  }
  Harness h({30, 10});
  h.v.stream_token("中文中文中文中文中文中文中文\n");
  // 23 cells of text: eleven wide characters to a row.
  EXPECT_EQ(rows(h.v), (Rows{"", "  中文中文中文中文中文中", "  文中文"}));
}

// A replay at another width re-flows every entry, keeps the answer still streaming, and comes
// back to the same rows at the first width.
TEST(ScrivletAnswers, AReplayAtAnotherWidthReflowsAndKeepsTheStream) {
  Harness h({80, 12});
  h.v.append_user("explain the failing test in the configuration loader please");
  h.v.append_tool("bash", "python -m pytest -q tests/test_config.py");
  h.v.append_assistant("The port is read as a string and never converted to a number.");
  h.v.stream_token("Now the streamed part of the answer\nand its second line\nand a tail");
  h.pilot.wait_idle();
  const auto at80 = h.v.lines();
  h.pilot.resize(20, 12);
  h.v._rerender();
  for (const auto& row : rows(h.v)) EXPECT_LE(text::cell_len(row), 18) << row;
  EXPECT_NE(rows(h.v).back().find("line"), std::string::npos);  // the stream is still there
  h.pilot.resize(80, 12);
  h.v._rerender();
  EXPECT_EQ(h.v.lines(), at80);
  // The stream goes on where it was.
  h.v.stream_token(" end\n");
  EXPECT_EQ(rows(h.v).back(), "  and a tail end");
}

}  // namespace
}  // namespace orvo::tui::scrivlet
