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
      // Line breaks: the rows below show the lines as they are.
      {150,
       "a\nb\nc",
       {"", "  Allow bash? a ↵ b ↵ c", "  Press 1 to allow, 2 to deny", "    a", "    b", "    c"}},
      {150, " \n ", {"", "  Allow bash? ↵", "  Press 1 to allow, 2 to deny"}},
      {150, "", {"", "  Allow bash?", "  Press 1 to allow, 2 to deny"}},
      // The budget (100 - 12 = 88) is wider than what is left of the row: the view cuts it, and
      // the whole command follows at the row's width (95 cells, 4 of them indent).
      {100,
       long_cmd,
       {"", "  Allow bash? " + std::string(80, 'c') + "…", "  Press 1 to allow, 2 to deny",
        "    " + std::string(91, 'c'), "    " + std::string(91, 'c'),
        "    " + std::string(18, 'c')}},
      // Unreadable width: 70 characters, and the whole command at the fallback width (74).
      {std::nullopt,
       long_cmd,
       {"", "  Allow bash? " + std::string(70, 'c'), "  Press 1 to allow, 2 to deny",
        "    " + std::string(74, 'c'), "    " + std::string(74, 'c'),
        "    " + std::string(52, 'c')}},
      // Exactly the budget: nothing hidden, nothing added.
      {100,
       std::string(88, 'c'),
       {"", "  Allow bash? " + std::string(80, 'c') + "…", "  Press 1 to allow, 2 to deny",
        "    " + std::string(88, 'c')}},
      {150,
       std::string(88, 'c'),
       {"", "  Allow bash? " + std::string(88, 'c'), "  Press 1 to allow, 2 to deny"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ViewApp app;
    if (!c.width) app.view->append_approval("bash", c.command);
    Pilot pilot(app, {c.width.value_or(150), 10});
    if (c.width) app.view->append_approval("bash", c.command);
    pilot.wait_idle();
    EXPECT_EQ(trimmed_rows(*app.view), c.rows);
    EXPECT_EQ(app.view->_history.back(), HistoryEntry("approval", {"bash", c.command, ""}));
    EXPECT_EQ(app.view->_line_counter, static_cast<int>(c.rows.size()));
  }
}

// The question as it stands, then why it is asked and the whole command at the view's width.
TEST(ScrivletApproval, ReasonAndTheWholeCommandBelowTheQuestion) {
  const std::string cmd = "echo 'building the release notes for the next version'; rm -rf src";
  Mounted m({50, 12});
  m.v.append_approval("bash", cmd, "deletes src/");
  m.pilot.wait_idle();
  // The one-row form cuts the command before its rm; the rows below show it.
  EXPECT_EQ(m.pilot.screenshot(),
            "\n"
            "   Allow bash? echo 'building the release not…\n"
            "   Press 1 to allow, 2 to deny\n"
            "   Why: deletes src/\n"
            "     echo 'building the release notes for the\n"
            "     next version'; rm -rf src\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "");
  EXPECT_EQ(m.v._history.back(), HistoryEntry("approval", {"bash", cmd, "deletes src/"}));
  EXPECT_EQ(m.v.lines()[3].segments()[0].style, Style("bold yellow"));
  EXPECT_EQ(m.v.lines()[4].segments()[0].style, Style("dim"));
  // A replay at another width lays the command out again from the stored entry.
  m.pilot.resize(72, 12);
  m.v._rerender();
  m.pilot.wait_idle();
  EXPECT_EQ(m.pilot.screenshot(),
            "\n"
            "   Allow bash? echo 'building the release notes for the next versio…\n"
            "   Press 1 to allow, 2 to deny\n"
            "   Why: deletes src/\n"
            "     echo 'building the release notes for the next version'; rm -rf\n"
            "     src\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "");
}

TEST(ScrivletApproval, ShortCommandsGetTheReasonOnly) {
  Mounted m({60, 10});
  m.v.append_approval("bash", "git push --force", "rewrites the remote history");
  m.v.append_approval("bash", "ls", "");
  EXPECT_EQ(trimmed_rows(m.v),
            (Rows{"", "  Allow bash? git push --force", "  Press 1 to allow, 2 to deny",
                  "  Why: rewrites the remote history", "", "  Allow bash? ls",
                  "  Press 1 to allow, 2 to deny"}));
}

// A reason longer than the row wraps under its own text, not back to the view's edge.
TEST(ScrivletApproval, ALongReasonWrapsUnderItsText) {
  Mounted m({36, 10});
  m.v.append_approval("bash", "rm -rf b", "deletes build/ and .pytest_cache/ and dist/");
  EXPECT_EQ(trimmed_rows(m.v),
            (Rows{"", "  Allow bash? rm -rf b", "  Press 1 to allow, 2 to deny",
                  "  Why: deletes build/ and", "       .pytest_cache/ and dist/"}));
}

TEST(ScrivletApproval, AVeryLongCommandFoldsAroundWhatTriggeredIt) {
  std::string cmd;
  for (int i = 1; i <= 30; ++i) {
    cmd += i == 17 ? "rm -rf src" : "echo step " + std::to_string(i);
    if (i < 30) cmd += "\n";
  }
  Mounted m({60, 24});
  m.v.append_approval("bash", cmd, "deletes src/");
  m.pilot.wait_idle();
  EXPECT_EQ(m.pilot.screenshot(),
            "\n"
            "   Allow bash? echo step 1 ↵ echo step 2 ↵ echo step 3 …\n"
            "   Press 1 to allow, 2 to deny\n"
            "   Why: deletes src/\n"
            "     echo step 1\n"
            "     echo step 2\n"
            "     echo step 3\n"
            "     echo step 4\n"
            "     … +12 more rows\n"
            "     rm -rf src\n"
            "     … +9 more rows\n"
            "     echo step 27\n"
            "     echo step 28\n"
            "     echo step 29\n"
            "     echo step 30\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "");
  // Without a reason to search for, the first and last rows stay.
  m.v.clear();
  m.v.append_approval("bash", cmd);
  m.pilot.wait_idle();
  EXPECT_EQ(m.pilot.screenshot(),
            "\n"
            "   Allow bash? echo step 1 ↵ echo step 2 ↵ echo step 3 …\n"
            "   Press 1 to allow, 2 to deny\n"
            "     echo step 1\n"
            "     echo step 2\n"
            "     echo step 3\n"
            "     echo step 4\n"
            "     … +22 more rows\n"
            "     echo step 27\n"
            "     echo step 28\n"
            "     echo step 29\n"
            "     echo step 30\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "");
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
  EXPECT_EQ(before[4], "    more");  // the command's lines under the question
  EXPECT_EQ(before[6], "  2m05s · Bash x2, Read, lint");
}

}  // namespace
}  // namespace orvo::tui::scrivlet
