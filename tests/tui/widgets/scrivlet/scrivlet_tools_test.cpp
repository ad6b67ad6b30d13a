// Tool headers, finished calls, result previews and diffs, through the view's operations.
#include <gtest/gtest.h>

#include "fixture.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::Harness;
using testing::pieces;
using testing::rows;
using Rows = std::vector<std::string>;
using Pieces = std::vector<std::pair<std::string, Style>>;

TEST(ScrivletTools, RunningToolHeader) {
  struct Case {
    std::string name, args, row;
  };
  const std::string hundred(100, 'x');
  const Case cases[] = {
      {"grep", "", "  ● Search"},
      {"bash", "ls -la\n", "  ● Bash(ls -la)"},
      {"bash", " a\nb \n", "  ● Bash(a b)"},
      {"bash", "   ", "  ● Bash()"},
      {"lint", "x", "  ● lint(x)"},
      {"multi_edit", hundred, "  ● MultiEdit(" + hundred.substr(0, 60) + ")"},
      {"read_file", "ä" + std::string(70, 'b'), "  ● Read(ä" + std::string(59, 'b') + ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row);
    Harness h({120, 10});
    h.v.append_tool(c.name, c.args);
    EXPECT_EQ(rows(h.v), Rows{c.row});
    EXPECT_EQ(h.v._step_count, 1);
    EXPECT_EQ(h.v._history[0], HistoryEntry("tool", {c.name, c.args}));
  }
  Harness h;
  h.v.append_tool("bash", "ls");
  EXPECT_EQ(pieces(h.v.lines()[0]), (Pieces{{"  ● Bash", "bold #5f87ff"}, {"(ls)", "dim"}}));
}

TEST(ScrivletTools, FinishedToolRow) {
  struct Case {
    std::string args, summary, row;
  };
  const std::string hundred(100, 'x');
  const Case cases[] = {
      {"src/main.c", "12 lines", "  ✓ Read(src/main.c)  12 lines"},
      {"src/main.c", "", "  ✓ Read(src/main.c)"},
      {"", "ok", "  ✓ Read  ok"},
      {hundred, "", "  ✓ Read(" + hundred.substr(0, 40) + ")"},
      {"a", hundred, "  ✓ Read(a)  " + hundred.substr(0, 60)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row);
    Harness h({120, 10});
    h.v.append_tool_done("read_file", c.args, c.summary);
    EXPECT_EQ(rows(h.v), Rows{c.row});
    EXPECT_EQ(h.v._step_count, 0);
  }
  // Too wide for the widget (rows of 25 columns): one row cut with an ellipsis.
  Harness h({30, 10});
  h.v.append_tool_done("bash", "make all", "built 12 targets in 3s");
  EXPECT_EQ(rows(h.v), Rows{"  ✓ Bash(make all)  buil…"});
  EXPECT_EQ(pieces(h.v.lines()[0]), (Pieces{{"  ✓ Bash", "bold #32cd32"},
                                            {"(make all)", "#32cd32"},
                                            {"  buil…", "dim #32cd32"}}));
}

std::string numbered(int n) {
  std::string s;
  for (int i = 1; i <= n; ++i) s += "line " + std::to_string(i) + (i < n ? "\n" : "");
  return s;
}

TEST(ScrivletTools, ResultPreview) {
  struct Case {
    std::string name, result;
    bool error;
    Rows rows;
  };
  const Case cases[] = {
      {"empty", "", false, {}},
      {"blank", "  \n \n", false, {}},
      {"empty error", "", true, {"    ⎿ "}},
      {"one line", "  ok  \n", false, {"    ⎿ ok"}},
      {"long line", std::string(130, 'z'), false, {"    ⎿ " + std::string(120, 'z')}},
      {"error keeps newlines under its gutter", "bad\nworse", true, {"    ⎿ bad", "      worse"}},
      {"long error wraps whole",
       std::string(250, 'e'),
       true,
       {"    ⎿ " + std::string(229, 'e'), "      " + std::string(21, 'e')}},
      {"error that looks like a diff", "+a\n+b\n-c", true, {"    ⎿ +a", "      +b", "      -c"}},
      {"error past six lines",
       numbered(8),
       true,
       {"    ⎿ line 1", "      line 2", "      line 3", "      line 4", "      line 5",
        "      line 6", "      … +2 more lines"}},
      {"two plus lines are no diff", "+a\n+b", false, {"    │ +a", "    ⎿ +b"}},
      {"six lines",
       numbered(6),
       false,
       {"    │ line 1", "    │ line 2", "    │ line 3", "    │ line 4", "    │ line 5",
        "    ⎿ line 6"}},
      {"seven lines",
       numbered(7),
       false,
       {"    │ line 1", "    │ line 2", "    │ line 3", "    │ line 4", "    │ line 5",
        "    ⎿ line 6", "      … +1 more lines"}},
      {"empty lines inside stay", "a\n\nb", false, {"    │ a", "    │ ", "    ⎿ b"}},
      // Every Unicode line boundary splits; CR LF is one break.
      {"line boundaries",
       "a\r\nb\rc\vd\fe\x1c"
       "f\xc2\x85g\xe2\x80\xa8h\xe2\x80\xa9i",
       false,
       {"    │ a", "    │ b", "    │ c", "    │ d", "    │ e", "    ⎿ f", "      … +3 more lines"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h({240, 10});
    h.v.append_tool_result(c.result, c.error);
    EXPECT_EQ(rows(h.v), c.rows);
    // An error is one counted line (and its tail another).
    EXPECT_EQ(h.v._line_counter.value_or(0),
              c.error ? 1 + (c.rows.back().find("more lines") != std::string::npos)
                      : static_cast<int>(c.rows.size()));
    EXPECT_EQ(h.v._history[0], HistoryEntry("tool_result", {c.result, c.error ? "true" : "false"}));
  }
  Harness h;
  h.v.append_tool_result(numbered(9));
  EXPECT_EQ(pieces(h.v.lines()[0]), (Pieces{{"    │ ", "dim #5f87ff"}, {"line 1", "dim"}}));
  EXPECT_EQ(pieces(h.v.lines()[5]), (Pieces{{"    ⎿ ", "dim #5f87ff"}, {"line 6", "dim"}}));
  EXPECT_EQ(pieces(h.v.lines()[6]), (Pieces{{"      … +3 more lines", "dim italic"}}));
  h.v.clear();
  h.v.append_tool_result("x", true);
  EXPECT_EQ(pieces(h.v.lines()[0]), (Pieces{{"    ⎿ ", "dim"}, {"x", "bold red"}}));
}

TEST(ScrivletTools, StepsCountEveryDrawnHeaderIncludingReplays) {
  Harness h;
  for (int i = 0; i < 3; ++i) h.v.append_tool("bash", "ls");
  h.v.append_tool_done("bash", "ls", "");
  EXPECT_EQ(h.v._step_count, 3);
  h.v._rerender();
  EXPECT_EQ(h.v._step_count, 6);
  h.v.reset_steps();
  EXPECT_EQ(h.v._step_count, 0);
}

TEST(ScrivletDiff, Detection) {
  const std::pair<std::string, bool> cases[] = {
      {"- a\n- b\n- c", true},
      {"+a\n-b", false},
      {"diff --git a b\n@@ -1 +1 @@\n+x", true},
      {"x\nx\nx\nx\nx\nx\nx\nx\n+a\n+b\n+c\n+d", false},  // markers after line 10 do not count
      {"\n\n  --- a\n+++ b\n@@", true},                   // leading whitespace is trimmed first
      {"", false},
  };
  for (const auto& [text, diff] : cases) EXPECT_EQ(_is_diff(text), diff) << text;
}

TEST(ScrivletDiff, Rendering) {
  struct Case {
    std::string name, diff;
    Rows rows;
  };
  std::string ten = "@@ -1,10 +1,10 @@\n";
  for (int i = 0; i < 10; ++i) ten += "+added " + std::to_string(i) + "\n";
  const Case cases[] = {
      {"example",
       "--- a/f\n+++ b/f\n@@ -10,3 +10,4 @@\n x\n-y\n+z\n+w",
       {"    ⎿ Added 2 lines, removed 1 line", "      10   x", "      11 - y", "      11 + z",
        "      12 + w"}},
      {"bulleted list",
       "- a\n- b\n- c",
       {"    ⎿ removed 3 lines", "       0 -  a", "       1 -  b", "       2 -  c"}},
      {"headers only", "--- a\n+++ b\n@@ -1 +1 @@", {"    ⎿ no changes"}},
      {"one each",
       "@@ -1 +1 @@\n-a\n+b",
       {"    ⎿ Added 1 line, removed 1 line", "       1 - a", "       1 + b"}},
      {"blank context advances without counting",
       "@@ -5 +7 @@\n \n-a\n+b",
       {"    ⎿ Added 1 line, removed 1 line", "       6 - a", "       8 + b"}},
      {"ten changes",
       ten,
       {"    ⎿ Added 10 lines", "       1 + added 0", "       2 + added 1", "       3 + added 2",
        "       4 + added 3", "      … +7 more lines"}},
      {"hunk without a new number",
       "@@ -40 +x @@\n-a\n-b\n+c",
       {"    ⎿ Added 1 line, removed 2 lines", "      40 - a", "      41 - b", "       0 + c"}},
      {"wide numbers widen the field",
       "@@ -123456 +99999 @@\n-a\n+b\n+c",
       {"    ⎿ Added 2 lines, removed 1 line", "    123456 - a", "    99999 + b",
        "    100000 + c"}},
      {"other lines are context",
       "diff --git a/x b/x\nindex 1..2\n@@ -3 +3 @@\n-a",
       {"    ⎿ removed 1 line", "       0   diff --git a/x b/x", "       1   index 1..2",
        "       3 - a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h({100, 10});
    h.v.append_tool_result(c.diff);
    EXPECT_EQ(rows(h.v), c.rows);
    EXPECT_EQ(h.v._line_counter, static_cast<int>(c.rows.size()));
  }
  Harness h;
  h.v.append_tool_result("@@ -1 +1 @@\n a\n-b\n+c");
  EXPECT_EQ(pieces(h.v.lines()[0]),
            (Pieces{{"    ⎿ ", "dim #5f87ff"}, {"Added 1 line, removed 1 line", "dim"}}));
  EXPECT_EQ(pieces(h.v.lines()[1]), (Pieces{{"       1 ", "dim"}, {"  ", ""}, {"a", "dim"}}));
  EXPECT_EQ(pieces(h.v.lines()[2]),
            (Pieces{{"       2 ", "dim red"}, {"- ", "bold red"}, {"b", "red"}}));
  EXPECT_EQ(pieces(h.v.lines()[3]),
            (Pieces{{"       2 ", "dim #32cd32"}, {"+ ", "bold #32cd32"}, {"c", "#32cd32"}}));
}

// A call keeps one row that tells how it ended: the running row turns into the result row, a
// failure is a red cross, a stopped call a yellow one, on every replay too.
TEST(ScrivletTools, EachCallKeepsOneRowThatTellsHowItEnded) {
  Harness h({60, 12});
  h.v.append_user("go");
  h.v.append_tool("read_file", "a.txt");
  h.v.append_tool("bash", "false");
  h.v.append_tool("grep", "TODO");
  h.v.finish_tool("bash", "false", "failed", ToolEnd::failed);
  h.v.append_tool_result("exit status 1", true);
  h.v.finish_tool("read_file", "a.txt", "3 lines");
  h.v.interrupt_tools();
  const Rows expected = {"",
                         "❯ go",
                         "  ✓ Read(a.txt)  3 lines",
                         "  ✗ Bash(false)  failed",
                         "  ✗ Search(TODO)  interrupted",
                         "    ⎿ exit status 1"};
  EXPECT_EQ(rows(h.v), expected);
  EXPECT_EQ(pieces(h.v.lines()[3]),
            (Pieces{{"  ✗ Bash", "bold red"}, {"(false)", "red"}, {"  failed", "dim red"}}));
  EXPECT_EQ(pieces(h.v.lines()[4]), (Pieces{{"  ✗ Search", "bold yellow"},
                                            {"(TODO)", "yellow"},
                                            {"  interrupted", "dim yellow"}}));
  EXPECT_EQ(h.v._history[2], HistoryEntry("tool_done", {"bash", "false", "failed", "failed"}));
  h.v._drop_row_cache();
  h.v._rerender();
  EXPECT_EQ(rows(h.v), expected);
  // A result without a running row of its own is a row of its own; a prompt closes the turn.
  h.v.append_user("again");
  h.v.finish_tool("grep", "TODO", "1 line");
  EXPECT_EQ(rows(h.v).back(), "  ✓ Search(TODO)  1 line");
}

}  // namespace
}  // namespace orvo::tui::scrivlet
