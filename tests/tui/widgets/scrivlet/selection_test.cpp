// Mouse selection: the click rule, normalised ranges, extraction with clamped columns, the
// highlight painted by render_line, and the copy that a finished drag makes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sel_fixture.hpp"
#include "tui/widgets/scrivlet/clipboard.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::mouse;
using testing::trimmed_rows;
using testing::ViewApp;

const Style kHighlight = Style::bg(Color::parse("#264f78"));

// A view with rows "row 0 abcdefgh" ... written as plain one-row items.
void fill(Scrivlet& v, int n) {
  for (int i = 0; i < n; ++i) v.write(Text("row " + std::to_string(i) + " abcdefgh"));
}

TEST(ScrivletSelection, RangesAreNormalised) {
  testing::Mounted m;
  Scrivlet& v = m.v;
  EXPECT_EQ(v._sel_range(), std::nullopt);
  struct Case {
    std::pair<int, int> start, end;  // (column, line)
    std::tuple<int, int, int, int> range;
  } cases[] = {
      {{10, 7}, {4, 5}, {5, 4, 7, 10}}, {{4, 5}, {10, 7}, {5, 4, 7, 10}},
      {{9, 3}, {2, 3}, {3, 2, 3, 9}},   {{2, 3}, {2, 3}, {3, 2, 3, 2}},
      {{0, 9}, {50, 2}, {2, 50, 9, 0}},
  };
  for (const auto& c : cases) {
    v._sel_start = c.start;
    v._sel_end = c.end;
    EXPECT_EQ(v._sel_range(), c.range);
  }
  v._sel_end.reset();
  EXPECT_EQ(v._sel_range(), std::nullopt);
  EXPECT_EQ(v._extract_selection(), "");
}

TEST(ScrivletSelection, ExtractionClampsColumnsAndSkipsMissingRows) {
  testing::Mounted m;
  Scrivlet& v = m.v;
  fill(v, 10);  // rows 0..9, "row N abcdefgh" (14 characters)
  struct Case {
    std::string name;
    std::pair<int, int> start, end;
    std::string text;
  } cases[] = {
      {"backwards over three lines", {10, 7}, {4, 5}, "5 abcdefgh\nrow 6 abcdefgh\nrow 7 abcd"},
      {"one line", {6, 2}, {9, 2}, "abc"},
      {"equal columns", {6, 2}, {6, 2}, ""},
      {"start past the end of its row", {40, 2}, {3, 3}, "\nrow"},
      {"end column past the row", {6, 4}, {99, 4}, "abcdefgh"},
      {"negative column", {-5, 4}, {3, 4}, "row"},
      {"last line past the last row", {10, 8}, {3, 30}, "efgh\nrow 9 abcdefgh"},
      {"wholly past the rows", {0, 20}, {5, 25}, ""},
      {"above row 0", {2, -3}, {3, 0}, "row"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    v._sel_start = c.start;
    v._sel_end = c.end;
    EXPECT_EQ(v._extract_selection(), c.text);
    EXPECT_EQ(v.get_selection(), c.text);
  }
}

TEST(ScrivletSelection, ColumnsCountCellsAndTakeWholeClusters) {
  testing::Mounted m;
  Scrivlet& v = m.v;
  // Cells: 界 0-1, é 2, 😀 3-4, x̃ 5 (x + combining tilde), 👍🏽 6-7 (with its modifier),
  // y 8.
  v.write(Text("界é😀x̃👍🏽y"));
  struct Case {
    int from, to;
    std::string text;
  } cases[] = {
      {0, 2, "界"},
      {1, 2, "界"},  // either half of a wide character takes it whole
      {2, 3, "é"},
      {2, 4, "é😀"},
      {4, 5, "😀"},
      {5, 6, "x̃"},  // the mark stays with its base
      {6, 7, "👍🏽"},
      {7, 8, "👍🏽"},  // the modifier stays with its hand
      {0, 99, "界é😀x̃👍🏽y"},
      {9, 12, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    v._sel_start = {c.from, 0};
    v._sel_end = {c.to, 0};
    EXPECT_EQ(v._extract_selection(), c.text);
    // The highlight paints exactly the copied characters.
    m.pilot.wait_idle();
    std::string painted;
    const Strip row = v.render_line(0 - v.scroll_offset().y);
    for (const auto& seg : row.segments())
      if (seg.style == kHighlight) painted += seg.text;
    EXPECT_EQ(painted, c.text);
  }
}

TEST(ScrivletSelection, ReleaseCloseToThePressIsAClick) {
  struct Case {
    int dx, dy;
    bool click;
  } cases[] = {{0, 0, true},  {2, 0, true},  {-2, 0, true},
               {3, 0, false}, {0, 1, false}, {-3, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.dx << "," << c.dy);
    ViewApp app;
    Pilot pilot(app, {40, 12});
    Scrivlet& v = *app.view;
    fill(v, 8);
    pilot.wait_idle();
    v.on_mouse_down(mouse(5, 2));
    v.on_mouse_up(mouse(5 + c.dx, 2 + c.dy));
    EXPECT_FALSE(v._selecting);
    EXPECT_EQ(!v._sel_start.has_value(), c.click);
    if (c.click) {
      EXPECT_EQ(v._selected_text, "");
      EXPECT_EQ(v.get_selection(), "");
    } else {
      EXPECT_NE(v._selected_text, "");
    }
  }
}

TEST(ScrivletSelection, ClickHandsThePressLineToTheThinkingToggle) {
  ViewApp app;
  Pilot pilot(app, {50, 6});
  Scrivlet& v = *app.view;
  fill(v, 10);
  v.append_thinking("reason\nmore");
  pilot.wait_idle();
  // The log follows its end: the header is the last row, at the bottom of the view.
  const int header = v._thinking_line_map.begin()->first;
  const int row_on_screen = header - v.scroll_offset().y;
  v.on_mouse_down(mouse(1, row_on_screen));
  v.on_mouse_up(mouse(3, row_on_screen));
  EXPECT_TRUE(v._thinking_states.at(0));
  EXPECT_FALSE(v._sel_start.has_value());
}

TEST(ScrivletSelection, MovesWithoutAPressAreIgnored) {
  ViewApp app;
  Pilot pilot(app, {40, 8});
  Scrivlet& v = *app.view;
  fill(v, 3);
  v.on_mouse_move(mouse(3, 1));
  v.on_mouse_up(mouse(5, 2));
  EXPECT_FALSE(v._sel_start.has_value());
  EXPECT_FALSE(v._sel_end.has_value());
}

TEST(ScrivletSelection, PositionsIncludeTheScrollOffset) {
  ViewApp app;
  Pilot pilot(app, {40, 6});
  Scrivlet& v = *app.view;
  fill(v, 30);
  pilot.wait_idle();
  v.scroll_to(10, false);
  v.on_mouse_down(mouse(0, 1));
  v.on_mouse_move(mouse(5, 2));
  v.on_mouse_up(mouse(5, 2));
  EXPECT_EQ(v._sel_start, (std::pair{0, 11}));
  EXPECT_EQ(v._selected_text, "row 11 abcdefgh\nrow 1");
}

TEST(ScrivletSelection, RenderLinePaintsOnlyTheRange) {
  testing::Mounted m;
  Scrivlet& v = m.v;
  Text styled;
  styled.append("ab", Style("bold red"));
  styled.append("cdef", Style("green"));
  v.write(styled);
  v.write(styled);
  v.write(styled);
  v._sel_start = {1, 0};
  v._sel_end = {3, 2};
  // First row: from column 1 on; the unselected "a" keeps its style.
  const Strip first_row = v.render_line(0);
  const auto& first = first_row.segments();
  EXPECT_EQ(first.front(), Segment("a", Style("bold red")));
  std::string painted;
  for (const auto& s : first)
    if (s.style == kHighlight) painted += s.text;
  EXPECT_EQ(painted.substr(0, 5), "bcdef");
  // Middle row: every segment in the highlight alone, no colour of its own left.
  const Strip middle = v.render_line(1);
  for (const auto& s : middle.segments()) EXPECT_EQ(s.style, kHighlight) << s.text;
  // Last row: columns before 3.
  const auto last = v.render_line(2);
  EXPECT_EQ(last.text(), v.lines()[2].text());
  std::string last_painted;
  for (const auto& s : last.segments())
    if (s.style == kHighlight) last_painted += s.text;
  EXPECT_EQ(last_painted, "abc");
  // Rows outside the range, and an empty one-line range, come back unchanged.
  v.write(styled);
  EXPECT_EQ(v.render_line(3), v.lines()[3]);
  v._sel_start = {2, 1};
  v._sel_end = {2, 1};
  EXPECT_EQ(v.render_line(1), v.lines()[1]);
}

// Without colours (NO_COLOR) a background alone would leave the range invisible: the terminal
// draws it in reverse video instead, and nothing of the colour is sent.
TEST(ScrivletSelection, WithoutColoursTheRangeIsReversed) {
  testing::Mounted m;
  Scrivlet& v = m.v;
  Text row;
  row.append("abcdef", Style("green"));
  v.write(row);
  v._sel_start = {1, 0};
  v._sel_end = {4, 0};
  for (const bool colors : {true, false}) {
    m.pilot.driver().set_colors(colors);
    std::string painted;
    const Strip row_drawn = v.render_line(0);
    for (const auto& s : row_drawn.segments()) {
      if (s.text == "bcd") painted = s.style.to_string();
    }
    EXPECT_EQ(painted, colors ? kHighlight.to_string() : Style("reverse").to_string()) << colors;
  }
}

TEST(ScrivletSelection, HighlightKeepsClustersAndWideCharacters) {
  testing::Mounted m;
  Scrivlet& v = m.v;
  v.write(Text("ax̃界b e\u0301z"));
  v._sel_start = {2, 0};  // starts at the combining tilde: it stays with its "x"
  v._sel_end = {6, 0};    // ends before the combining acute: it stays with its "e"
  const Strip s = v.render_line(0);
  EXPECT_EQ(s.text(), v.lines()[0].text());
  EXPECT_EQ(s.cell_length(), v.lines()[0].cell_length());
  for (const auto& seg : s.segments()) {
    const bool starts_with_mark =
        seg.text.rfind("\u0303", 0) == 0 || seg.text.rfind("\u0301", 0) == 0;
    EXPECT_FALSE(starts_with_mark) << "a mark was split from its base";
  }
  std::string painted;
  for (const auto& seg : s.segments())
    if (seg.style == kHighlight) painted += seg.text;
  EXPECT_EQ(painted, "界b ");
}

TEST(ScrivletSelection, DragOnScreenHighlightsAndCopiesThroughTheTerminal) {
  ViewApp app;
  Pilot pilot(app, {30, 6});
  Scrivlet& v = *app.view;
  v.append_info("alpha beta");
  v.append_info("gamma delta");
  pilot.wait_idle();
  // Screen column = content column + 1 (padding). Rows: "", "  alpha beta", "", "  gamma delta".
  pilot.drag(3, 1, 8, 3);
  EXPECT_EQ(v._selected_text, "alpha beta\n\n  gamma");
  EXPECT_EQ(v.get_selection(), "alpha beta\n\n  gamma");
  EXPECT_EQ(pilot.driver().written(), clipboard::osc52_sequence("alpha beta\n\n  gamma"));
  const std::string ansi = pilot.screenshot_ansi();
  EXPECT_NE(ansi.find("48;2;38;79;120"), std::string::npos) << ansi;
  // A new press drops the old highlight from the screen.
  pilot.mouse_down(3, 5);
  EXPECT_EQ(pilot.screenshot_ansi().find("48;2;38;79;120"), std::string::npos);
  pilot.mouse_up(3, 5);
}

TEST(ScrivletSelection, BlankSelectionIsKeptButNotCopied) {
  ViewApp app;
  Pilot pilot(app, {30, 6});
  Scrivlet& v = *app.view;
  v.write(Text("          x"));
  pilot.wait_idle();
  v.on_mouse_down(mouse(0, 0));
  v.on_mouse_up(mouse(6, 0));
  EXPECT_EQ(v._selected_text, "      ");
  EXPECT_EQ(pilot.driver().written(), "");
}

TEST(ScrivletSelection, FailedCopyBecomesAnInfoRow) {
  // Copying to a device that cannot be opened, with no command to fall back on.
  testing::Mounted m;
  Scrivlet& v = m.v;
  v.clipboard_through_app = false;
  v.clipboard_options.device = "/nonexistent/tty";
  v.clipboard_options.path = "";
  v.write(Text("some text here"));
  v._sel_start = {0, 0};
  v._selecting = true;
  v._sel_end = {4, 0};
  v._selected_text = "";
  // Straight through the handler's copy step, as a release would.
  v._set_clipboard_osc52("some");
  ASSERT_FALSE(v._history.empty());
  EXPECT_EQ(v._history.back().kind(), "info");
  EXPECT_EQ(v._history.back().value(0).rfind("Could not copy the selection: /nonexistent/tty: ", 0),
            0u);
}

TEST(ScrivletSelection, HeadlessViewCopiesToItsDeviceAndFallsBackToACommand) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("kv-sel-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "wl-copy") << "#!/bin/sh\ncat > '" << (dir / "got").string() << "'\n";
  fs::permissions(dir / "wl-copy", fs::perms::owner_all);
  ViewApp app;
  Pilot pilot(app, {30, 6});
  Scrivlet& v = *app.view;
  v.clipboard_through_app = false;
  v.clipboard_options.path = dir.string();
  v.clipboard_options.wayland_display = "wayland-0";
  v.append_info("copy me ✓");
  pilot.wait_idle();
  pilot.drag(3, 1, 12, 1);
  std::ifstream in(dir / "got");
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), "copy me ✓");
  EXPECT_EQ(pilot.driver().written(), "");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace orvo::tui::scrivlet
