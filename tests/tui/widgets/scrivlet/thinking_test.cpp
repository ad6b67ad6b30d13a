// Thinking blocks: headers, previews and their widths, the expanded body, the click window and
// its fallback, and the replay that a toggle causes.
#include <gtest/gtest.h>

#include "sel_fixture.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::mouse;
using testing::trimmed_rows;
using testing::ViewApp;
using Rows = std::vector<std::string>;

std::string numbered_lines(int n) {
  std::string s;
  for (int i = 1; i <= n; ++i) s += "line " + std::to_string(i) + "\n";
  return s;
}

TEST(ScrivletThinking, BlankTextRecordsButDrawsNothing) {
  testing::Mounted m;
  Scrivlet& v = m.v;
  v.append_thinking(" \n ");
  ASSERT_EQ(v._history.size(), 1u);
  EXPECT_EQ(v._history[0].kind(), "thinking");
  EXPECT_EQ(v._thinking_states.at(0), false);
  EXPECT_TRUE(v.lines().empty());
  EXPECT_TRUE(v._thinking_line_map.empty());
  v._rerender();
  EXPECT_TRUE(v.lines().empty());
  EXPECT_EQ(v._line_counter.value_or(0), 0);
}

TEST(ScrivletThinking, BlocksWithoutAScreenUseTheFallbackWidths) {
  struct Case {
    std::string name, text;
    bool expanded;
    Rows rows;
  };
  const std::string long_first = std::string(60, 'p') + " tail";
  Rows thirty_one = {"", "  ▼ thinking (31 lines)"};
  for (int i = 1; i <= 30; ++i) thirty_one.push_back("    line " + std::to_string(i));
  thirty_one.push_back("    … +1 more lines");
  thirty_one.push_back("");
  Rows thirty = {"", "  ▼ thinking (30 lines)"};
  for (int i = 1; i <= 30; ++i) thirty.push_back("    line " + std::to_string(i));
  thirty.push_back("");
  const std::string words =
      "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi omicron pi rho";
  const Case cases[] = {
      {"one line", "abc", false, {"", "  ▶ abc"}},
      {"two lines", "abc\ndef", false, {"", "  ▶ abc…  (+1 lines)"}},
      {"trailing spaces before the mark",
       "abc   \r\ndef\nghi",
       false,
       {"", "  ▶ abc…  (+2 lines)"}},
      {"cut at 50 (fallback)", long_first, false, {"", "  ▶ " + std::string(50, 'p') + "…"}},
      {"expanded two", "abc\ndef", true, {"", "  ▼ thinking (2 lines)", "    abc", "    def", ""}},
      {"expanded one: still lines", "abc", true, {"", "  ▼ thinking (1 lines)", "    abc", ""}},
      {"blank line inside keeps a row",
       "a\n\nb",
       true,
       {"", "  ▼ thinking (3 lines)", "    a", "", "    b", ""}},
      {"wrapped at 72 with the indent on every row",
       words + " " + words,
       true,
       {"", "  ▼ thinking (1 lines)",
        "    alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu",
        "    nu xi omicron pi rho alpha beta gamma delta epsilon zeta eta theta",
        "    iota kappa lambda mu nu xi omicron pi rho", ""}},
      {"31 lines", numbered_lines(31), true, thirty_one},
      {"30 lines", numbered_lines(30), true, thirty},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Appended before the application runs: its width cannot be read yet.
    ViewApp app;
    Scrivlet& v = *app.view;
    v.append_thinking(c.text, c.expanded);
    Pilot pilot(app, {100, 50});
    EXPECT_EQ(trimmed_rows(v), c.rows);
    EXPECT_EQ(v._line_counter.value_or(0), static_cast<int>(c.rows.size()));
    EXPECT_EQ(v._thinking_line_map, (std::map<int, int>{{1, 0}}));
  }
}

TEST(ScrivletThinking, StylesOfHeaderAndBody) {
  testing::Mounted m;
  Scrivlet& v = m.v;
  v.append_thinking("abc\ndef", true);
  const auto& header = v.lines()[1].segments();
  ASSERT_GE(header.size(), 2u);
  EXPECT_EQ(header[0].text, "  ▼ ");
  EXPECT_EQ(header[0].style, Style("cyan"));
  EXPECT_EQ(header[1].style, Style("dim italic cyan"));
  EXPECT_EQ(v.lines()[2].segments()[0].style, Style("dim italic"));
  testing::Mounted mc;
  Scrivlet& c = mc.v;
  c.append_thinking("abc\ndef");
  const auto& folded = c.lines()[1].segments();
  ASSERT_GE(folded.size(), 3u);
  EXPECT_EQ(folded[1].style, Style("dim italic"));
  EXPECT_EQ(folded[2].style, Style("dim cyan"));
}

TEST(ScrivletThinking, WidthsFollowTheApplicationScreen) {
  const std::string hundred = std::string(50, 'a') + "  " + std::string(48, 'b');
  const std::string body = std::string(40, 'w') + " " + std::string(10, 'z');
  struct Case {
    int width;
    std::string text;
    bool expanded;
    Rows rows;
  } cases[] = {
      // 80 - 28 = 52 characters: the two spaces at the cut are dropped before the mark.
      {80, hundred, false, {"", "  ▶ " + std::string(50, 'a') + "…"}},
      // 40 - 28 = 12, floor 30.
      {40, hundred, false, {"", "  ▶ " + std::string(30, 'a') + "…"}},
      // 44 - 6 = 38, floor 40: wrapped at 36 columns including the indent.
      {44,
       body,
       true,
       {"", "  ▼ thinking (1 lines)", "    " + std::string(32, 'w'),
        "    " + std::string(8, 'w') + " " + std::string(10, 'z'), ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    ViewApp app;
    Pilot pilot(app, {c.width, 40});
    app.view->append_thinking(c.text, c.expanded);
    pilot.wait_idle();
    EXPECT_EQ(trimmed_rows(*app.view), c.rows);
  }
}

TEST(ScrivletThinking, CollapsedHeaderStaysOneRowOnANarrowView) {
  ViewApp app;
  Pilot pilot(app, {40, 10});
  app.view->append_thinking(std::string(45, 'x') + "\nmore");
  pilot.wait_idle();
  const auto r = trimmed_rows(*app.view);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].substr(r[1].size() - 3), "…");
}

// A log of plain one-row items with thinking headers at chosen lines.
struct ClickCase {
  std::string name;
  std::map<int, int> map;  // header line -> history index
  int y;
  std::map<int, bool> expect;
};

TEST(ScrivletThinking, ClickTogglesOnlyTheBlockWhoseHeaderIsOnThatRow) {
  const ClickCase cases[] = {
      {"header on the row", {{5, 0}}, 5, {{0, true}}},
      {"header two rows below", {{7, 0}}, 5, {{0, false}}},
      {"header two rows above", {{3, 0}}, 5, {{0, false}}},
      {"neighbouring headers stay",
       {{4, 0}, {5, 1}, {6, 2}},
       5,
       {{0, false}, {1, true}, {2, false}}},
      {"past the last drawn row", {{10, 0}}, 10, {{0, false}}},
      {"negative rows", {{-3, 0}}, -3, {{0, false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::Mounted m;
    Scrivlet& v = m.v;
    for (int i = 0; i < 3; ++i) {
      v._history.emplace_back("thinking", std::vector<std::string>{" "});
      v._thinking_states[i] = false;
    }
    for (int i = 0; i < 10; ++i) v.write(Text("row " + std::to_string(i)));
    v._thinking_line_map = c.map;
    v._handle_thinking_click(c.y);
    for (const auto& [idx, flag] : c.expect) EXPECT_EQ(v._thinking_states[idx], flag) << idx;
  }
}

TEST(ScrivletThinking, AClickBelowAWrappedPromptOpensTheBlockClicked) {
  ViewApp app;
  Pilot pilot(app, {40, 12});
  Scrivlet& v = *app.view;
  v.append_user("please look at the failing config test once more");
  v.append_thinking("first block\nof two");
  v.append_thinking("second block\nof two");
  pilot.wait_idle();
  // The prompt takes two rows: the headers sit on rows 4 and 6, not on lines 3 and 5.
  EXPECT_EQ(v._thinking_line_map, (std::map<int, int>{{4, 1}, {6, 2}}));
  pilot.click(4, 6);
  EXPECT_EQ(pilot.screenshot(),
            "\n"
            " ❯ please look at the failing config\n"
            "   test once more\n"
            "\n"
            "   ▶ first block…  (+1 lines)\n"
            "\n"
            "   ▼ thinking (2 lines)\n"
            "     second block\n"
            "     of two\n"
            "\n"
            "\n"
            "");
}

TEST(ScrivletThinking, ToggleReplaysKeepsOtherFlagsAndScrollPosition) {
  ViewApp app;
  Pilot pilot(app, {60, 12});
  Scrivlet& v = *app.view;
  for (int i = 0; i < 20; ++i) v.append_info("note " + std::to_string(i));
  v.append_thinking("alpha\nbeta\ngamma", false);
  v.append_thinking("one\ntwo", true);
  for (int i = 0; i < 20; ++i) v.append_info("tail " + std::to_string(i));
  pilot.wait_idle();
  v.scroll_to(35, false);
  pilot.wait_idle();
  const int header = v._thinking_line_map.begin()->first;
  v._handle_thinking_click(header);
  pilot.wait_idle();
  EXPECT_EQ(v._thinking_states.at(20), true);
  EXPECT_EQ(v._thinking_states.at(21), true);
  EXPECT_EQ(v.scroll_offset().y, 35);
  EXPECT_EQ(v._thinking_line_map.size(), 2u);
  EXPECT_EQ(v._history.size(), 42u);  // the replay adds no entries
  EXPECT_EQ(trimmed_rows(v)[header], "  ▼ thinking (3 lines)");
}

TEST(ScrivletThinking, ClickThroughTheMouseOnTheScreen) {
  ViewApp app;
  Pilot pilot(app, {50, 8});
  app.view->append_thinking("why this\nand that");
  pilot.wait_idle();
  EXPECT_EQ(pilot.screenshot(), "\n   ▶ why this…  (+1 lines)\n\n\n\n\n\n");
  // Column 1 is the padding: x 3 of the content area sits on the arrow.
  pilot.click(4, 1);
  EXPECT_EQ(pilot.screenshot(), "\n   ▼ thinking (2 lines)\n     why this\n     and that\n\n\n\n");
  pilot.click(4, 1);
  EXPECT_EQ(pilot.screenshot(), "\n   ▶ why this…  (+1 lines)\n\n\n\n\n\n");
  EXPECT_EQ(app.view->get_selection(), "");
}

}  // namespace
}  // namespace orvo::tui::scrivlet
