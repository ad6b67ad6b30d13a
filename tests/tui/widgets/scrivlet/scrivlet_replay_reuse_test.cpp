// A replay reuses the rows an entry drew before. Whatever happened in between, the log must end
// up exactly as a replay that lays every entry out anew: the same rows and styles, line counter,
// thinking map, tool steps and scroll position.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/markdown/markdown.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {
namespace {

class LogApp : public App {
 public:
  explicit LogApp(ScrivletOptions o = {}) {
    auto screen = std::make_unique<Screen>();
    view = &screen->mount_new<Scrivlet>(std::move(o));
    install_screen("main", std::move(screen));
    switch_screen("main");
    view->clipboard_options.device = "/nonexistent/tty";
    view->clipboard_options.path = "";
  }
  Scrivlet* view;
};

// Everything a replay sets.
struct State {
  std::vector<Strip> rows;
  std::map<int, int> headers;
  int lines = 0;
  int steps = 0;  // counted by this replay
  int scroll = 0;
  friend bool operator==(const State&, const State&) = default;
};

State replay(Scrivlet& v, Pilot& pilot) {
  const int steps = v._step_count;
  v._rerender();
  pilot.wait_idle();
  return State{v.lines(), v._thinking_line_map, v._line_counter.value_or(0), v._step_count - steps,
               v.scroll_offset().y};
}

// A replay as it happens (rows kept from before where they are still good), then one from
// nothing; the second must agree with the first.
void expect_same_as_cold(Scrivlet& v, Pilot& pilot) {
  const State warm = replay(v, pilot);
  // From nothing: no rows, and no parsed markdown or counted tool output either.
  v._drop_row_cache();
  v._facts.clear();
  Markdown::clear_cache();
  const State cold = replay(v, pilot);
  ASSERT_EQ(warm.rows.size(), cold.rows.size());
  for (std::size_t i = 0; i < warm.rows.size(); ++i)
    EXPECT_EQ(warm.rows[i], cold.rows[i]) << "row " << i << ": " << warm.rows[i].text();
  EXPECT_EQ(warm.headers, cold.headers);
  EXPECT_EQ(warm.lines, cold.lines);
  EXPECT_EQ(warm.steps, cold.steps);
  EXPECT_EQ(warm.scroll, cold.scroll);
}

const std::string kDiff = "--- a/x.cpp\n+++ b/x.cpp\n@@ -3,2 +3,2 @@\n-old line\n+new line\n ctx\n";
const std::string kAnswer =
    "## Fix\n\nUse `std::span` here:\n\n```cpp\nint x = 1;\n```\n- one\n- two";

// Every kind of entry, some drawn live and some only recorded.
void fill(Scrivlet& v) {
  v.append_user("Why does the build fail?");
  v.append_thinking("First thought.\nSecond thought.\nThird.");
  v.append_tool("bash", "cmake --build build\n  --target all");
  v.append_tool_result("line 1\nline 2\nline 3\nline 4\nline 5\nline 6\nline 7\nline 8");
  v.append_tool_done("edit_file", "src/x.cpp", "1 change");
  v.append_tool_result(kDiff);
  v.append_tool_result("permission denied", true);
  v.append_thinking("An expanded one\nwith two lines", true);
  v.append_assistant(kAnswer);
  v.append_assistant(
      "Plain answer that is long enough to wrap at some of the widths used here, "
      "and a second sentence for good measure.\n\nNext paragraph.");
  v.stream_token("streamed ");
  v.stream_token("answer\nsecond line");
  v.finish_stream("streamed answer\nsecond line");
  v.append_approval("bash", "rm -rf build && cmake -S . -B build -G Ninja");
  v.append_turn_summary(12.5, {"bash", "edit_file"}, 100, 2000, 0.5);
  v.append_queued("and then?");
  v.append_info("note");
  v.append_error("oops");
  v._spacer();
  v._history.push_back(HistoryEntry::raw(std::make_shared<Text>("raw row")));
  v._history.emplace_back("nonsense", std::vector<std::string>{"x"});
  v.append_thinking("Last block.\nIt has\nthree lines.");
}

int header_row(const Scrivlet& v, std::size_t nth) {
  auto it = v._thinking_line_map.begin();
  std::advance(it, static_cast<long>(nth));
  return it->first;
}

TEST(ScrivletReplayReuse, AgreesWithAReplayFromNothing) {
  struct Case {
    std::string name;
    std::function<void(Scrivlet&, Pilot&)> change;
  };
  const Case cases[] = {
      {"nothing changed", [](Scrivlet&, Pilot&) {}},
      {"first block unfolded",
       [](Scrivlet& v, Pilot&) { v._handle_thinking_click(header_row(v, 0)); }},
      {"expanded block folded",
       [](Scrivlet& v, Pilot&) { v._handle_thinking_click(header_row(v, 1)); }},
      {"two toggles in a row",
       [](Scrivlet& v, Pilot&) {
         v._handle_thinking_click(header_row(v, 2));
         v._handle_thinking_click(header_row(v, 0));
       }},
      {"narrower screen", [](Scrivlet&, Pilot& p) { p.resize(60, 20); }},
      {"wider screen", [](Scrivlet&, Pilot& p) { p.resize(140, 30); }},
      {"entries appended after the replay",
       [](Scrivlet& v, Pilot&) {
         v.append_user("more");
         v.append_thinking("late\nblock");
         v.append_tool("grep", "-rn x");
       }},
      {"entry replaced in place",
       [](Scrivlet& v, Pilot&) { v._history[0] = HistoryEntry("user", {"Another question"}); }},
      {"entry taken out (later indexes shift)",
       [](Scrivlet& v, Pilot&) { v._history.erase(v._history.begin() + 2); }},
      {"entry copied over another", [](Scrivlet& v, Pilot&) { v._history[2] = v._history[9]; }},
      {"entries swapped", [](Scrivlet& v, Pilot&) { std::swap(v._history[0], v._history[8]); }},
      {"tool outputs swapped, then one replaced",
       [](Scrivlet& v, Pilot& p) {
         std::swap(v._history[3], v._history[5]);
         replay(v, p);
         v._history[5] = HistoryEntry("tool_result", {"only\ntwo lines", "false"});
         p.resize(70, 30);
       }},
      {"entry moved out, left empty",
       [](Scrivlet& v, Pilot&) {
         const HistoryEntry taken = std::move(v._history[3]);
         (void)taken;
       }},
      {"streamed rows in between",
       [](Scrivlet& v, Pilot&) {
         v.stream_token("half a line");
         v.stream_token(" and more\n");
       }},
      {"theme pushed on the log console",
       [](Scrivlet& v, Pilot&) {
         v.console().push_theme(Theme({{"dim", "bold red"}}));
       }},
      {"cleared and refilled",
       [](Scrivlet& v, Pilot&) {
         v.clear();
         fill(v);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogApp app;
    Pilot pilot(app, {100, 30});
    Scrivlet& v = *app.view;
    fill(v);
    pilot.wait_idle();
    v.scroll_to(5, false);
    replay(v, pilot);  // the rows every later replay may reuse
    c.change(v, pilot);
    pilot.wait_idle();
    expect_same_as_cold(v, pilot);
  }
}

TEST(ScrivletReplayReuse, RowsDrawnByAppendsAgreeWithTheFirstReplay) {
  // Rows drawn by an append are kept too: the first replay reuses them (the streamed answer's
  // rows excepted, which give way to the settled answer).
  LogApp app;
  Pilot pilot(app, {100, 30});
  Scrivlet& v = *app.view;
  fill(v);
  pilot.wait_idle();
  expect_same_as_cold(v, pilot);
}

TEST(ScrivletReplayReuse, AgreesWhenTheLogDropsItsOldestRows) {
  // With max_lines the oldest rows leave the log: their entries must be drawn anew.
  ScrivletOptions o;
  o.max_lines = 25;
  LogApp app(o);
  Pilot pilot(app, {100, 30});
  Scrivlet& v = *app.view;
  fill(v);
  pilot.wait_idle();
  replay(v, pilot);
  v._handle_thinking_click(v._thinking_line_map.rbegin()->first);
  pilot.wait_idle();
  expect_same_as_cold(v, pilot);
  EXPECT_EQ(v.lines().size(), 25u);
}

TEST(ScrivletReplayReuse, NothingIsKeptBeforeTheFirstLayout) {
  // Appended before the application runs: the writes are held, so no rows can be reused.
  LogApp app;
  Scrivlet& v = *app.view;
  fill(v);
  Pilot pilot(app, {100, 30});
  pilot.wait_idle();
  expect_same_as_cold(v, pilot);
}

TEST(ScrivletReplayReuse, EntryIdsFollowTheContent) {
  HistoryEntry a("user", {"hi"});
  const HistoryEntry b("user", {"hi"});
  EXPECT_NE(a.id(), b.id());  // equal content, made apart
  const HistoryEntry copy = a;
  EXPECT_EQ(copy.id(), a.id());
  const std::uint64_t id = a.id();
  HistoryEntry moved = std::move(a);
  EXPECT_EQ(moved.id(), id);
  EXPECT_NE(a.id(), id);  // NOLINT(bugprone-use-after-move): what is left is another entry
  HistoryEntry target("info", {"x"});
  target = std::move(moved);
  EXPECT_EQ(target.id(), id);
  EXPECT_NE(moved.id(), id);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(target, copy);
}

}  // namespace
}  // namespace orvo::tui::scrivlet
