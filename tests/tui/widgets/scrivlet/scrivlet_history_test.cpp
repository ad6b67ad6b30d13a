// The class shell: line counting, clear inside and outside a replay, the replay's dispatch and
// scroll restore, the width rule of write, steps.
#include <gtest/gtest.h>

#include <stdexcept>

#include "fixture.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::Harness;
using testing::rows;

TEST(ScrivletHistory, TrackLinesStartsAtZeroAndAdvances) {
  Scrivlet v;
  EXPECT_FALSE(v._line_counter);
  EXPECT_EQ(v._track_lines(), 0);
  EXPECT_EQ(v._line_counter, 1);
  EXPECT_EQ(v._track_lines(3), 1);
  EXPECT_EQ(v._track_lines(), 4);
}

TEST(ScrivletHistory, ShellDefaults) {
  Scrivlet v;
  EXPECT_TRUE(v.wrap());
  EXPECT_FALSE(v.allow_select());
  EXPECT_FALSE(Scrivlet::ALLOW_SELECT);
  EXPECT_EQ(v._step_count, 0);
  EXPECT_FALSE(v._stream_text || v._stream_started || v._rerendering);
  EXPECT_EQ(tool_header("edit_file"), (std::pair<std::string, std::string>{"Update", "updated"}));
  EXPECT_EQ(tool_header("list_files"),
            (std::pair<std::string, std::string>{"list_files", "list_files"}));
  EXPECT_EQ(Scrivlet::DEFAULT_CSS,
            "\n    Scrivlet {\n        height: 1fr;\n        overflow-y: scroll;\n        "
            "overflow-x: hidden;\n        padding: 0 1;\n        scrollbar-size: 1 1;\n    }\n"
            "    ");
}

TEST(ScrivletHistory, MountPushesTheCustomThemeOnTheLogConsole) {
  Harness h;
  EXPECT_EQ(h.v.console().get_style("markdown.code"), Style("#d72b6b on #2a2a2a"));
  EXPECT_EQ(h.v.console().get_style("markdown.h4"), Style("bold white"));
}

TEST(ScrivletHistory, ClearOutsideAndInsideAReplay) {
  Harness h;
  h.v.append_thinking("why");
  h.v.append_user("hi");
  h.v._thinking_line_map[7] = 0;
  h.v._step_count = 5;
  h.v._rerendering = true;
  h.v.clear();
  EXPECT_EQ(h.v._history.size(), 2u);
  EXPECT_EQ(h.v._thinking_states.size(), 1u);
  EXPECT_EQ(h.v._line_counter, 0);
  EXPECT_TRUE(h.v.lines().empty());
  h.v._rerendering.reset();
  h.v.clear();
  EXPECT_TRUE(h.v._history.empty());
  EXPECT_TRUE(h.v._thinking_states.empty());
  EXPECT_TRUE(h.v._thinking_line_map.empty());
  EXPECT_EQ(h.v._step_count, 5);  // only reset_steps resets it
  h.v.reset_steps();
  h.v.clear();
  EXPECT_EQ(h.v._step_count, 0);
}

// A renderable that fails, to see what a failing renderer leaves behind.
struct Failing : Renderable {
  std::vector<Strip> render_lines(const Console&, int) const override {
    throw std::runtime_error("broken");
  }
};

TEST(ScrivletHistory, ReplayDrawsKnownKindsAndSkipsOthers) {
  Harness h({60, 20});
  h.v.append_user("one");
  h.v._history.emplace_back("nonsense", std::vector<std::string>{"x"});
  h.v._history.emplace_back("user");  // a known kind without its value is skipped too
  h.v._history.push_back(HistoryEntry::raw(std::make_shared<Text>("raw row")));
  h.v.append_tool_result("disk full", true);
  h.v._spacer();
  const auto before = rows(h.v);
  EXPECT_EQ(before, (std::vector<std::string>{"", "❯ one", "    ⎿ disk full", ""}));
  const int steps = h.v._step_count;
  h.v._rerender();
  EXPECT_EQ(rows(h.v), (std::vector<std::string>{"", "❯ one", "raw row", "    ⎿ disk full", ""}));
  EXPECT_EQ(h.v._line_counter, 5);
  EXPECT_FALSE(h.v._rerendering);
  EXPECT_EQ(h.v._history.size(), 6u);
  EXPECT_EQ(h.v._history[4], HistoryEntry("tool_result", {"disk full", "true"}));
  // The error flag survives the replay: the row is still the red error row.
  EXPECT_EQ(h.v.lines()[3].segments().back().style, Style("bold red"));
  EXPECT_EQ(h.v._step_count, steps);
}

TEST(ScrivletHistory, RendererErrorInReplayLeavesTheMarkAndTheRowsSoFar) {
  Harness h;
  h.v.append_info("kept");
  h.v._history.push_back(HistoryEntry::raw(std::make_shared<Failing>()));
  h.v.append_info("never");
  EXPECT_THROW(h.v._rerender(), std::runtime_error);
  EXPECT_TRUE(h.v._rerendering);
  EXPECT_EQ(rows(h.v), (std::vector<std::string>{"", "  kept"}));
}

TEST(ScrivletHistory, ReplayRestoresTheScrollPosition) {
  Harness h({40, 10});
  for (int i = 0; i < 30; ++i) h.v.append_info("row " + std::to_string(i));
  h.pilot.wait_idle();
  h.v.scroll_to(17, false);
  h.pilot.wait_idle();
  h.v.append_tool("bash", "ls");
  h.v.scroll_to(17, false);
  h.pilot.wait_idle();
  ASSERT_EQ(h.v.scroll_offset().y, 17);
  h.v._rerender();
  h.pilot.wait_idle();
  EXPECT_EQ(h.v.scroll_offset().y, 17);
  // Every replay draws the tool header again, and counts it again.
  EXPECT_EQ(h.v._step_count, 2);
}

TEST(ScrivletHistory, WriteLaysOutAtTheWidgetWidthMinusTwoAbove10) {
  // The widget's content is the terminal minus 2 columns of padding and 1 of scrollbar. A row
  // of 12 characters fits 12 columns, not 11.
  struct Case {
    int terminal;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {17, {"aaaaa bbbbbb"}},     // widget 14: width 12
      {16, {"aaaaa", "bbbbbb"}},  // widget 13: width 11
      {15, {"aaaaa bbbbbb"}},     // widget 12: no width given, the base log's own (12)
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.terminal);
    Harness h({c.terminal, 10});
    h.v.write(Text("aaaaa bbbbbb"));
    EXPECT_EQ(rows(h.v), c.rows);
  }
}

TEST(ScrivletHistory, LineBreaksAreFoundAtEveryOffset) {
  // Long runs are scanned several bytes at a time: a break (or a byte that only looks like the
  // start of one) must be seen wherever it falls in such a run.
  const std::string breaks[] = {"\n",   "\r",   "\r\n",     "\x0b",         "\x0c",        "\x1c",
                                "\x1d", "\x1e", "\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9"};
  const std::string look_alikes[] = {"\t", "\xc2\xa0", "\xe2\x80\xa6", "\xe2\x82\xac"};
  for (std::size_t before = 0; before < 20; ++before) {
    const std::string head(before, 'a'), tail(19 - before, 'b');
    for (const auto& br : breaks) {
      SCOPED_TRACE(::testing::Message() << before << " bytes, then break of " << br.size());
      const std::string text = head + br + tail;
      const std::vector<std::string> want =
          tail.empty() ? std::vector<std::string>{head} : std::vector<std::string>{head, tail};
      EXPECT_EQ(split_lines(text), want);
      EXPECT_EQ(count_lines(text), want.size());
      EXPECT_EQ(line_views(text, 1).size(), 1u);
    }
    for (const auto& other : look_alikes) {
      SCOPED_TRACE(::testing::Message() << before << " bytes, then look-alike " << other.size());
      const std::string text = head + other + tail;
      EXPECT_EQ(split_lines(text), std::vector<std::string>{text});
      EXPECT_EQ(count_lines(text), 1u);
    }
  }
}

}  // namespace
}  // namespace orvo::tui::scrivlet
