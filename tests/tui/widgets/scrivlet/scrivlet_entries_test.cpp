// User, queued, info and error rows: glyphs, styles, the empty row before, line counts.
#include <gtest/gtest.h>

#include "fixture.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::Harness;
using testing::pieces;
using testing::rows;
using Pieces = std::vector<std::pair<std::string, Style>>;

TEST(ScrivletEntries, RowsStylesAndCounts) {
  struct Case {
    const char* kind;
    std::vector<std::string> rows;
    Pieces last_row;
    int lines;
  };
  const Case cases[] = {
      {"user", {"", "❯ fix it"}, {{"❯ ", "bold #5f87ff"}, {"fix it", "bold white"}}, 2},
      {"queued",
       {"", "  ↻ fix it  (queued)"},
       {{"  ↻ ", "dim yellow"}, {"fix it", "dim italic"}, {"  (queued)", "dim yellow"}},
       2},
      {"info", {"", "  fix it"}, {{"  fix it", "dim"}}, 2},
      {"error", {"  ✗ fix it"}, {{"  ✗ ", "bold red"}, {"fix it", "red"}}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    Harness h;
    const std::string k = c.kind;
    if (k == "user") h.v.append_user("fix it");
    if (k == "queued") h.v.append_queued("fix it");
    if (k == "info") h.v.append_info("fix it");
    if (k == "error") h.v.append_error("fix it");
    EXPECT_EQ(rows(h.v), c.rows);
    EXPECT_EQ(pieces(h.v.lines().back()), c.last_row);
    EXPECT_EQ(h.v._line_counter, c.lines);
    ASSERT_EQ(h.v._history.size(), 1u);
    EXPECT_EQ(h.v._history[0], HistoryEntry(k, {"fix it"}));
    // A replay draws the same rows with the same styles.
    const auto before = h.v.lines();
    h.v._rerender();
    EXPECT_EQ(h.v.lines(), before);
  }
}

TEST(ScrivletEntries, EmptyUserTextAndQueuedNewline) {
  Harness h;
  h.v.append_user("");
  EXPECT_EQ(rows(h.v), (std::vector<std::string>{"", "❯ "}));
  EXPECT_EQ(h.v._line_counter, 2);
  h.v.append_queued("first\nsecond");
  // The second part starts its own row under the first; still one counted line.
  EXPECT_EQ(rows(h.v),
            (std::vector<std::string>{"", "❯ ", "", "  ↻ first", "    second  (queued)"}));
  EXPECT_EQ(h.v._line_counter, 4);
}

TEST(ScrivletEntries, ContinuationRowsKeepTheIndentOfTheirEntry) {
  using Rows = std::vector<std::string>;
  struct Case {
    const char* name;
    void (Scrivlet::*append)(const std::string&);
    std::string text;
    Rows rows;
  };
  // Widget 27, rows laid out at 25.
  const Case cases[] = {
      {"wrapped info",
       &Scrivlet::append_info,
       "aaaa bbbb cccc dddd eeee ffff",
       {"", "  aaaa bbbb cccc dddd", "  eeee ffff"}},
      {"multi-line help",
       &Scrivlet::append_info,
       "Commands:\n  /help  this list",
       {"", "  Commands:", "    /help  this list"}},
      {"wrapped prompt",
       &Scrivlet::append_user,
       "please fix the failing test in config",
       {"", "❯ please fix the failing", "  test in config"}},
      {"multi-line prompt", &Scrivlet::append_user, "first\nsecond", {"", "❯ first", "  second"}},
      {"wrapped queued prompt",
       &Scrivlet::append_queued,
       "run the whole suite again",
       {"", "  ↻ run the whole suite", "    again  (queued)"}},
      {"wrapped error",
       &Scrivlet::append_error,
       "the server closed the connection early",
       {"  ✗ the server closed the", "    connection early"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h({30, 10});
    (h.v.*c.append)(c.text);
    EXPECT_EQ(rows(h.v), c.rows);
  }
}

}  // namespace
}  // namespace orvo::tui::scrivlet
