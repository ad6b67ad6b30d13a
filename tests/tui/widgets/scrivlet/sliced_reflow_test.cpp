// A long log is re-flowed around the reader: what the reader sees at once, the entries before it
// in slices between frames. Whatever happens while entries wait, the log must end up as a replay
// that lays everything out in one go, and the reader must see the right rows all along.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {
namespace {

class LogApp : public App {
 public:
  explicit LogApp(std::size_t sliced_from) {
    auto screen = std::make_unique<Screen>();
    view = &screen->mount_new<Scrivlet>();
    install_screen("main", std::move(screen));
    switch_screen("main");
    view->clipboard_options.device = "/nonexistent/tty";
    view->clipboard_options.path = "";
    view->sliced_reflow_entries = sliced_from;
  }
  Scrivlet* view;
};

const std::string kDiff = "--- a/x.cpp\n+++ b/x.cpp\n@@ -3,2 +3,2 @@\n-old line\n+new line\n ctx\n";

// One turn of every kind of entry; `k` makes its texts distinct.
void turn(Scrivlet& v, int k) {
  const std::string n = std::to_string(k);
  v.append_user("Question " + n + ": why does the build fail on this machine?");
  v.append_thinking("Thought " + n + ".\nSecond thought.\nThird.", k % 3 == 0);
  v.append_tool("bash", "cmake --build build-" + n);
  v.append_tool_result("line 1\nline 2\nline 3\nline 4\nline 5\nline 6\nline 7\nline " + n);
  v.append_tool_done("edit_file", "src/x" + n + ".cpp", "1 change");
  v.append_tool_result(kDiff);
  v.append_assistant("## Answer " + n +
                     "\n\nUse `std::span` here, then build again:\n\n```cpp\nint x = " + n +
                     ";\n```\n- one\n- two\n\nA closing paragraph long enough to wrap at the " +
                     "narrower widths used here, so rows differ between widths.");
  v.append_turn_summary(1.5 + k, {"bash", "edit_file"}, 100, 2000, 0.5);
}

// The two logs: one sliced (from 20 entries), one laid out in one go.
struct Pair {
  LogApp a{20};
  LogApp b{std::numeric_limits<std::size_t>::max()};
  Pilot pa{a, {100, 12}};
  Pilot pb{b, {100, 12}};
  Scrivlet& sliced = *a.view;
  Scrivlet& whole = *b.view;

  Pair() {
    for (int k = 0; k < 12; ++k) {
      turn(sliced, k);
      turn(whole, k);
    }
    settle();
  }
  void both(const std::function<void(Scrivlet&, Pilot&)>& f) {
    f(sliced, pa);
    f(whole, pb);
  }
  void settle() {
    pa.wait_idle();
    pb.wait_idle();
  }
  void resize(int w, int h) {
    both([&](Scrivlet& v, Pilot& p) {
      p.resize(w, h);
      p.wait_idle();
      // No turn of the loop after it: its slices would run (a short log needs only one).
      v._rerender();
    });
  }
  // Resized to 70 columns, with entries left to the slices.
  void resize_leaving_slices() {
    resize(70, 12);
    ASSERT_TRUE(sliced.reflow_pending());
  }
  bool finish() {
    return pa.wait_until([&] { return !sliced.reflow_pending(); });
  }
};

// The rows in view, text and style (the scrollbar left out: it shows the rows laid out so far).
std::vector<Strip> in_view(Scrivlet& v) {
  std::vector<Strip> out;
  for (int y = 0; y < v.size().height; ++y) out.push_back(v.render_line(y));
  return out;
}

void expect_same(Scrivlet& a, Scrivlet& b) {
  ASSERT_EQ(a.lines().size(), b.lines().size());
  for (std::size_t i = 0; i < a.lines().size(); ++i)
    ASSERT_EQ(a.lines()[i], b.lines()[i]) << "row " << i << ": " << a.lines()[i].text();
  EXPECT_EQ(a._thinking_line_map, b._thinking_line_map);
  EXPECT_EQ(a._fold_line_map, b._fold_line_map);
  EXPECT_EQ(a._line_counter, b._line_counter);
  EXPECT_EQ(a._step_count, b._step_count);
  EXPECT_EQ(a.scroll_offset().y, b.scroll_offset().y);
  EXPECT_EQ(a._sel_range(), b._sel_range());
  EXPECT_EQ(in_view(a), in_view(b));
}

TEST(SlicedReflow, ShowsTheReadersRowsAtOnceAndEndsAsAWholeReplay) {
  struct Place {
    std::string name;
    std::function<void(Scrivlet&)> put;
  };
  const Place places[] = {
      {"following the end", [](Scrivlet&) {}},
      {"reading in the middle",
       [](Scrivlet& v) { v.scroll_to(static_cast<int>(v.lines().size() / 2)); }},
      {"reading two screens from the end", [](Scrivlet& v) { v.scroll_to(v.max_scroll_y() - 20); }},
  };
  for (const auto& place : places) {
    SCOPED_TRACE(place.name);
    Pair p;
    p.both([&](Scrivlet& v, Pilot& pilot) {
      place.put(v);
      pilot.wait_idle();
    });
    ASSERT_NO_FATAL_FAILURE(p.resize_leaving_slices());
    // Only the later part is laid out, and the reader sees exactly the rows of a whole replay.
    EXPECT_LT(p.sliced.lines().size(), p.whole.lines().size());
    EXPECT_EQ(in_view(p.sliced), in_view(p.whole));
    ASSERT_TRUE(p.finish());
    expect_same(p.sliced, p.whole);
  }
}

TEST(SlicedReflow, WhatHappensWhileEntriesWaitEndsAsAWholeReplay) {
  struct Case {
    std::string name;
    std::function<void(Scrivlet&, Pilot&)> change;
  };
  const Case cases[] = {
      {"entries appended", [](Scrivlet& v, Pilot&) { turn(v, 99); }},
      {"an answer streaming, then finished",
       [](Scrivlet& v, Pilot& p) {
         v.stream_token("## Streamed\n\nfirst line\n");
         v.stream_token("second line that runs long enough to wrap at seventy columns wide\n");
         p.wait_idle();
       }},
      {"an answer streaming through the end of the slices",
       [](Scrivlet& v, Pilot& p) {
         v.stream_token("## Streamed\n\nfirst line\n");
         p.wait_until([&] { return !v.reflow_pending(); });
         v.stream_token("second line\n");
         v.finish_stream("## Streamed\n\nfirst line\nsecond line\n");
       }},
      {"a tool output in view opened",
       [](Scrivlet& v, Pilot&) { v._handle_fold_click(v._fold_line_map.rbegin()->first); }},
      {"a thinking block in view opened",
       [](Scrivlet& v, Pilot&) { v._handle_thinking_click(v._thinking_line_map.rbegin()->first); }},
      {"every tool output opened", [](Scrivlet& v, Pilot&) { v.toggle_tool_output(); }},
      {"a selection dragged in view",
       [](Scrivlet& v, Pilot& p) {
         const auto r = v.content_region();
         p.drag(r.x + 2, r.y + 1, r.x + 20, r.y + 4);
       }},
      {"another resize",
       [](Scrivlet& v, Pilot& p) {
         p.resize(90, 14);
         p.wait_idle();
         v._rerender();
       }},
      {"a replay at the same width", [](Scrivlet& v, Pilot&) { v._replay_in_place(); }},
      {"steps reset", [](Scrivlet& v, Pilot&) { v.reset_steps(); }},
      {"cleared and refilled",
       [](Scrivlet& v, Pilot&) {
         v.clear();
         for (int k = 0; k < 3; ++k) turn(v, k);
       }},
      {"history cut short without a replay",
       [](Scrivlet& v, Pilot&) {
         v._history.erase(v._history.begin() + 5, v._history.end());
         v._rerender();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pair p;
    ASSERT_NO_FATAL_FAILURE(p.resize_leaving_slices());
    p.both(c.change);
    p.settle();
    ASSERT_TRUE(p.finish());
    p.settle();
    expect_same(p.sliced, p.whole);
  }
}

TEST(SlicedReflow, AnAnswerStreamingWhenTheRowsGoInFrontKeepsItsPlace) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(p.resize_leaving_slices());
  const std::string head = "## Streamed\n\nfirst paragraph\n\n```sh\nmake\n```\n\n";
  p.both([&](Scrivlet& v, Pilot&) { v.stream_token(head); });
  ASSERT_TRUE(p.finish());
  p.settle();
  EXPECT_EQ(p.sliced._stream_settled_rows(), p.whole._stream_settled_rows());
  // A link definition arriving late makes the answer draw itself again from its first row.
  p.both([&](Scrivlet& v, Pilot&) {
    v.stream_token("see [the docs][d] and more\n\n[d]: https://example.com/docs\n\n");
  });
  p.settle();
  EXPECT_EQ(p.sliced._stream_settled_rows(), p.whole._stream_settled_rows());
  expect_same(p.sliced, p.whole);
  p.both([&](Scrivlet& v, Pilot&) { v.finish_stream(); });
  p.settle();
  expect_same(p.sliced, p.whole);
}

TEST(SlicedReflow, ScrollingNearTheTopLaysTheRestOutAtOnce) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(p.resize_leaving_slices());
  p.sliced.scroll_home();
  const std::vector<Strip> seen = in_view(p.sliced);
  p.pa.wait_idle();
  // One step of the loop later every entry is there, and the reader still sees the same rows.
  EXPECT_FALSE(p.sliced.reflow_pending());
  EXPECT_EQ(p.sliced.lines().size(), p.whole.lines().size());
  EXPECT_EQ(in_view(p.sliced), seen);
  EXPECT_GT(p.sliced.scroll_offset().y, 0);
}

// A drawn object that fails every time it is laid out.
struct Failing : Renderable {
  std::vector<Strip> render_lines(const Console&, int) const override {
    throw std::runtime_error("cannot draw");
  }
};

TEST(SlicedReflow, AnEntryThatCannotBeDrawnIsLeftOutAndTheRestGoesOn) {
  LogApp app(20);
  Pilot pilot(app, {100, 12});
  Scrivlet& v = *app.view;
  v._history.push_back(HistoryEntry::raw(std::make_shared<Failing>()));
  for (int k = 0; k < 12; ++k) turn(v, k);
  pilot.wait_idle();
  pilot.resize(70, 12);
  pilot.wait_idle();
  v._rerender();
  ASSERT_TRUE(v.reflow_pending());
  ASSERT_TRUE(pilot.wait_until([&] { return !v.reflow_pending(); }));
  // Everything but the failing entry: the same rows as a log without it.
  LogApp plain(std::numeric_limits<std::size_t>::max());
  Pilot plain_pilot(plain, {70, 12});
  for (int k = 0; k < 12; ++k) turn(*plain.view, k);
  plain_pilot.wait_idle();
  plain.view->_rerender();
  EXPECT_EQ(v.lines(), plain.view->lines());
}

TEST(SlicedReflow, ALogGoneWhileEntriesWaitLeavesNothingBehind) {
  // The slices are timers of the application: a log taken down first must cancel its own.
  LogApp app(20);
  Pilot pilot(app, {100, 12});
  for (int k = 0; k < 12; ++k) turn(*app.view, k);
  pilot.wait_idle();
  pilot.resize(70, 12);
  pilot.wait_idle();
  app.view->_rerender();
  ASSERT_TRUE(app.view->reflow_pending());
  app.view->remove();
  pilot.pause(std::chrono::milliseconds(50));
  SUCCEED();
}

}  // namespace
}  // namespace orvo::tui::scrivlet
