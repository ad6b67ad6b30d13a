// Folded tool output opens in full and folds again: by a click on its last row, or for the whole
// conversation at once (toggle_tool_output). Previews, diffs and errors alike.
#include <gtest/gtest.h>

#include <algorithm>

#include "fixture.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::Harness;
using testing::rows;
using Rows = std::vector<std::string>;

std::string numbered(int n, std::string_view prefix = "") {
  std::string s;
  for (int i = 1; i <= n; ++i) s += std::string(prefix) + std::to_string(i) + "\n";
  return s;
}

TEST(ToolFold, AClickOnTheFoldRowOpensAndFoldsAgain) {
  Harness h({40, 24});
  h.v.append_tool_done("bash", "seq 8", "8 lines");
  h.v.append_tool_result(numbered(8));
  h.pilot.wait_idle();
  // "… +2 more lines" sits on screen row 8 (the log starts at row 0 of the screen).
  ASSERT_EQ(h.v._fold_line_map, (std::map<int, int>{{7, 1}}));
  h.pilot.click(8, 7);
  EXPECT_EQ(h.pilot.screenshot(),
            "   ✓ Bash(seq 8)  8 lines\n"
            "     │ 1\n"
            "     │ 2\n"
            "     │ 3\n"
            "     │ 4\n"
            "     │ 5\n"
            "     │ 6\n"
            "     │ 7\n"
            "     ⎿ 8\n"
            "       ▴ fold 2 lines\n"
            "\n\n\n\n\n\n\n\n\n\n\n\n\n");
  h.pilot.click(8, 9);
  EXPECT_EQ(rows(h.v), (Rows{"  ✓ Bash(seq 8)  8 lines", "    │ 1", "    │ 2", "    │ 3", "    │ 4",
                             "    │ 5", "    ⎿ 6", "      … +2 more lines"}));
  // A click anywhere else changes nothing.
  EXPECT_FALSE(h.v._handle_fold_click(3));
}

struct FoldCase {
  const char* name;
  std::string result;
  bool error;
  Rows folded_tail;  // the last rows, folded
  Rows open_tail;    // the last rows, open
};

TEST(ToolFold, EveryKindOfFoldedOutputOpensInFull) {
  const std::string diff = "--- a/f\n+++ b/f\n@@ -1,3 +1,6 @@\n" + numbered(6, "+");
  const std::string long_line = std::string(500, 'x');
  const FoldCase cases[] = {
      {"preview",
       numbered(7),
       false,
       {"    ⎿ 6", "      … +1 more lines"},
       {"    ⎿ 7", "      ▴ fold 1 line"}},
      {"diff",
       diff,
       false,
       {"       4 + 4", "      … +5 more lines"},
       {"       6 + 6", "      ▴ fold 5 lines"}},
      {"error",
       numbered(9, "e"),
       true,
       {"      e6", "      … +3 more lines"},
       {"      e9", "      ▴ fold 3 lines"}},
      {"error with a cut line",
       "boom " + long_line,
       true,
       {"      … more"},
       {"      ▴ fold 0 lines"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h({120, 40});
    h.v.append_tool_result(c.result, c.error);
    auto tail = [&](std::size_t n) {
      const Rows r = rows(h.v);
      return Rows(r.end() - static_cast<std::ptrdiff_t>(std::min(n, r.size())), r.end());
    };
    EXPECT_EQ(tail(c.folded_tail.size()), c.folded_tail);
    const std::size_t folded_rows = h.v.lines().size();
    ASSERT_EQ(h.v._fold_line_map.size(), 1u);
    EXPECT_TRUE(h.v._handle_fold_click(h.v._fold_line_map.begin()->first));
    EXPECT_EQ(tail(c.open_tail.size()), c.open_tail);
    if (std::string(c.name) == "error with a cut line") {
      // Folded the line was cut at 400 characters; open, every one is there.
      std::size_t xs = 0;
      for (const auto& r : rows(h.v))
        xs += static_cast<std::size_t>(std::count(r.begin(), r.end(), 'x'));
      EXPECT_EQ(xs, long_line.size());
    }
    // Open, the state survives a replay and a re-flow.
    h.v._rerender();
    EXPECT_EQ(tail(c.open_tail.size()), c.open_tail);
    EXPECT_TRUE(h.v._handle_fold_click(h.v._fold_line_map.begin()->first));
    EXPECT_EQ(h.v.lines().size(), folded_rows);
    EXPECT_EQ(tail(c.folded_tail.size()), c.folded_tail);
  }
}

TEST(ToolFold, ToggleAllOpensEverythingThenFoldsAndLaterOutputFollows) {
  Harness h({60, 40});
  h.v.append_tool_result(numbered(7));
  h.v.append_tool_result("short");
  h.v.append_tool_result(numbered(8));
  // One opened by hand: something is still folded, so the toggle opens the rest.
  h.v._handle_fold_click(h.v._fold_line_map.begin()->first);
  EXPECT_TRUE(h.v.toggle_tool_output());
  for (const auto& [row, idx] : h.v._fold_line_map)
    EXPECT_EQ(rows(h.v)[static_cast<std::size_t>(row)].find("▴ fold"), 6u) << row;
  EXPECT_EQ(h.v._fold_line_map.size(), 2u);
  // New output comes open while the toggle is on.
  h.v.append_tool_result(numbered(9));
  EXPECT_EQ(rows(h.v).back(), "      ▴ fold 3 lines");
  EXPECT_FALSE(h.v.toggle_tool_output());
  EXPECT_EQ(rows(h.v).back(), "      … +3 more lines");
  for (const auto& [row, idx] : h.v._fold_line_map)
    EXPECT_EQ(rows(h.v)[static_cast<std::size_t>(row)].find("… +"), 6u) << row;
  // The history keeps the whole text: opening needs nothing else.
  EXPECT_EQ(h.v._history[3].value(0), numbered(9));
}

// A tool that prints millions of lines opens with a bound.
TEST(ToolFold, AnOpenOutputIsBounded) {
  Harness h({60, 10});
  h.v.toggle_tool_output();
  h.v.append_tool_result(numbered(20000));
  EXPECT_LT(h.v.lines().size(), 5100u);
  EXPECT_EQ(rows(h.v)[rows(h.v).size() - 2], "      … +15000 more lines not shown");
}

}  // namespace
}  // namespace orvo::tui::scrivlet
