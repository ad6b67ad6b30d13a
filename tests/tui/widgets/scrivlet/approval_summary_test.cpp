// Approval prompts and turn summaries as the view draws and replays them.
#include <gtest/gtest.h>

#include "sel_fixture.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::Mounted;
using testing::trimmed_rows;
using testing::ViewApp;
using Rows = std::vector<std::string>;

TEST(ScrivletApproval, RowsAndCommandBudget) {
  const std::string long_cmd(200, 'c');
  struct Case {
    std::optional<int> width;  // nullopt: appended before the application runs
    std::string command;
    Rows rows;
  } cases[] = {
      {150, "rm x", {"", "  Allow bash? rm x", "  Press 1 to allow, 2 to deny"}},
      {150, "a\nb\nc", {"", "  Allow bash? a ↵ b ↵ c", "  Press 1 to allow, 2 to deny"}},
      {150, " \n ", {"", "  Allow bash? ↵", "  Press 1 to allow, 2 to deny"}},
      {150, "", {"", "  Allow bash?", "  Press 1 to allow, 2 to deny"}},
      // The budget (100 - 12 = 88) is wider than what is left of the row: the view cuts it.
      {100,
       long_cmd,
       {"", "  Allow bash? " + std::string(80, 'c') + "…", "  Press 1 to allow, 2 to deny"}},
      // Unreadable width: 70 characters.
      {std::nullopt,
       long_cmd,
       {"", "  Allow bash? " + std::string(70, 'c'), "  Press 1 to allow, 2 to deny"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ViewApp app;
    if (!c.width) app.view->append_approval("bash", c.command);
    Pilot pilot(app, {c.width.value_or(150), 10});
    if (c.width) app.view->append_approval("bash", c.command);
    pilot.wait_idle();
    EXPECT_EQ(trimmed_rows(*app.view), c.rows);
    EXPECT_EQ(app.view->_history.back(), HistoryEntry("approval", {"bash", c.command}));
    EXPECT_EQ(app.view->_line_counter, 3);
  }
}

TEST(ScrivletApproval, HintStyles) {
  Mounted m;
  m.v.append_approval("bash", "ls");
  const auto& hint = m.v.lines()[2].segments();
  ASSERT_GE(hint.size(), 5u);
  EXPECT_EQ(hint[1], Segment("1", Style("bold white")));
  EXPECT_EQ(hint[3], Segment("2", Style("bold white")));
  EXPECT_EQ(hint[0].style, Style("dim"));
  EXPECT_EQ(m.v.lines()[1].segments()[0].style, Style("bold yellow"));
}

TEST(ScrivletSummary, RecordsTheTextAndReplaysItUnchanged) {
  Mounted m({80, 20});
  m.v.append_turn_summary(75.5, {"grep", "grep", "grep"}, 10, 2500, 0.0123);
  const std::string text = "1m15s · Search x3 · 2.5k tokens · $0.012 saved";
  EXPECT_EQ(m.v._history.back(), HistoryEntry("turn_summary", {text}));
  EXPECT_EQ(trimmed_rows(m.v), (Rows{"", "  " + text}));
  EXPECT_EQ(m.v.lines()[1].segments().back().style, Style("dim"));
  // A replay draws the stored text, whatever it holds.
  m.v._history.back() = HistoryEntry("turn_summary", {"stored"});
  m.v._rerender();
  EXPECT_EQ(trimmed_rows(m.v), (Rows{"", "  stored"}));
}

TEST(ScrivletSummary, PromptsAndSummariesSurviveAReplay) {
  Mounted m({90, 20});
  m.v.append_approval("edit_file", "sed -i s/a/b/ x\nmore");
  m.v.append_turn_summary(125.9, {"bash", "read_file", "bash", "lint"});
  const auto before = trimmed_rows(m.v);
  m.v._rerender();
  EXPECT_EQ(trimmed_rows(m.v), before);
  EXPECT_EQ(before[4], "  2m05s · Bash x2, Read, lint");
}

}  // namespace
}  // namespace orvo::tui::scrivlet
