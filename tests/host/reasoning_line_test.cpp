// The status row's line of reasoning: only the latest visible line, bounded, safe to draw, with
// characters and line ends split anywhere between chunks.
#include "host/chat/reasoning_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/chat/chat_app.hpp"

namespace orvo::host {
namespace {

TEST(ReasoningLine, KeepsTheLatestVisibleLine) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::string line;
  } cases[] = {
      {"nothing yet", {}, ""},
      {"a line being written", {"The user ", "wants"}, "The user wants"},
      {"the next line replaces it", {"first\nsec", "ond"}, "second"},
      {"a blank line keeps the last one", {"first\n", "\n  \n"}, "first"},
      {"CR LF and a lone CR end lines", {"a\r\n", "b\rc"}, "c"},
      {"spaces trimmed, tabs are spaces", {"  x\ty  "}, "x y"},
      {"controls and escapes neutralised", {"be\x1b[31mred\x07!"}, "bered\xEF\xBF\xBD!"},
      {"a character split across chunks", {"caf\xC3", "\xA9 ok"}, "caf\xC3\xA9 ok"},
      {"an emoji split byte by byte", {"\xF0", "\x9F", "\x98", "\x80"}, "\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    ReasoningLine r;
    for (const auto& chunk : c.chunks) r.feed(chunk);
    EXPECT_EQ(r.line(), c.line) << c.name;
  }
}

TEST(ReasoningLine, AnEndlessLineIsBounded) {
  ReasoningLine r;
  // Two-byte characters, so the cap falls inside one unless it is cut at a boundary.
  const std::string word = "\xC3\xA9t\xC3\xA9 ";
  for (int i = 0; i < 100000; ++i) r.feed(word);
  const std::string line = r.line();
  EXPECT_LE(line.size(), ReasoningLine::kMaxBytes);
  EXPECT_GT(line.size(), ReasoningLine::kMaxBytes - 8);
  EXPECT_EQ(line.find("\xEF\xBF\xBD"), std::string::npos);  // no character cut in half
  // The next line starts afresh.
  r.feed("\nnext");
  EXPECT_EQ(r.line(), "next");
  r.clear();
  EXPECT_EQ(r.line(), "");
}

TEST(ReasoningLine, FitCellsCutsByCells) {
  struct Case {
    std::string text;
    int cells;
    std::string fitted;
  } cases[] = {
      {"short", 10, "short"},     {"exactly", 7, "exactly"}, {"too long", 5, "too …"},
      {"日本語です", 5, "日本…"}, {"日本語", 0, ""},         {"x", -3, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(fit_cells(c.text, c.cells), c.fitted) << c.text;
}

}  // namespace
}  // namespace orvo::host
