// RichLog: layout width and wrapping, following the end, scrolling by keys and wheel, clear,
// the rows it keeps, and rendering of visible rows only.
#include <gtest/gtest.h>

#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/text/text.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/rich_log.hpp"
#include "tui/framework/widgets/screen.hpp"

namespace orvo::tui {
namespace {

class LogApp : public App {
 public:
  explicit LogApp(bool wrap = false, bool stay_when_scrolled_up = false) {
    auto screen = std::make_unique<Screen>();
    RichLogOptions o;
    o.id = "log";
    o.wrap = wrap;
    o.stay_when_scrolled_up = stay_when_scrolled_up;
    log = &screen->mount_new<RichLog>(o);
    install_screen("main", std::move(screen));
    switch_screen("main");
  }
  RichLog* log;
};

std::vector<std::string> texts(const RichLog& log) {
  std::vector<std::string> out;
  for (const auto& s : log.lines()) out.push_back(s.text());
  return out;
}

TEST(WidgetsRichLog, WidthAndWrap) {
  struct Case {
    bool wrap;
    std::optional<int> width;
    std::vector<std::string> rows;
  };
  const std::string words = "alpha beta gamma delta epsilon";
  const Case cases[] = {
      // Wrapped at the given width.
      {true, 12, {"alpha beta", "gamma delta", "epsilon"}},
      // Wrapped at the widget's content width (40 columns, no scrollbar needed).
      {true, std::nullopt, {words}},
      // Not wrapped: one row per line, longer than the width, nothing cut.
      {false, 12, {words}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "wrap " << c.wrap << " width " << c.width.value_or(-1));
    LogApp app(c.wrap);
    Pilot pilot(app, {40, 10});
    app.log->write(Text(words), c.width);
    EXPECT_EQ(texts(*app.log), c.rows);
  }
  // A long word is folded at the width; a renderable keeps its own rows' styles.
  LogApp app(true);
  Pilot pilot(app, {40, 10});
  Text t("abcdefghij", "bold");
  app.log->write(t, 4);
  EXPECT_EQ(texts(*app.log), (std::vector<std::string>{"abcd", "efgh", "ij"}));
  EXPECT_TRUE(app.log->lines()[0].segments()[0].style.bold());
  // The string form of a row is its text.
  app.log->write("two\nlines");
  EXPECT_EQ(app.log->lines().back().text(), "lines");
}

// A screen switched to and written in the same handler: the log has no width yet.
TEST(WidgetsRichLog, WritesBeforeTheFirstLayoutUseTheRealWidth) {
  App app;
  app.install_screen("first", std::make_unique<Screen>());
  app.switch_screen("first");
  Pilot pilot(app, {30, 7});
  auto screen = std::make_unique<Screen>();
  RichLogOptions o;
  o.wrap = true;
  RichLog& log = screen->mount_new<RichLog>(o);
  app.install_screen("log", std::move(screen));
  app.switch_screen("log");
  const std::string words = "one two three four five six seven eight";
  log.write(Text(words));
  log.write(words, 12);                         // an explicit width is kept
  log.write(std::make_shared<Text>("shared"));  // held without a copy
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(log.held_writes(), 3u);
  pilot.wait_idle();
  EXPECT_EQ(log.held_writes(), 0u);
  EXPECT_EQ(pilot.screenshot(),
            "one two three four five six\n"
            "seven eight\n"
            "one two\n"
            "three four\n"
            "five six\n"
            "seven eight\n"
            "shared");
  log.write("after");  // laid out at once now
  EXPECT_EQ(log.lines().back().text(), "after");

  // clear() drops held writes too.
  RichLog unplaced;
  unplaced.write("held");
  unplaced.clear();
  EXPECT_EQ(unplaced.held_writes(), 0u);
}

TEST(WidgetsRichLog, EveryWriteFollowsTheEnd) {
  LogApp app;
  Pilot pilot(app, {40, 10});
  RichLog& log = *app.log;
  for (int i = 0; i < 30; ++i) log.write("row " + std::to_string(i));
  pilot.press("pageup");
  EXPECT_EQ(log.scroll_offset().y, 10);
  log.write("row 30");
  pilot.wait_idle();
  EXPECT_EQ(log.scroll_offset().y, 21);
  EXPECT_EQ(log.render_line(9).text(), "row 30");
}

TEST(WidgetsRichLog, FollowsTheEndUnlessScrolledUp) {
  LogApp app(false, true);
  Pilot pilot(app, {40, 10});
  RichLog& log = *app.log;
  for (int i = 0; i < 30; ++i) log.write("row " + std::to_string(i));
  pilot.wait_idle();
  EXPECT_EQ(log.scroll_offset().y, 20);
  EXPECT_EQ(log.render_line(9).text(), "row 29");
  EXPECT_EQ(log.render_line(0).text(), "row 20");

  pilot.press("pageup");
  EXPECT_EQ(log.scroll_offset().y, 10);
  log.write("row 30");  // scrolled up: the view stays
  pilot.wait_idle();
  EXPECT_EQ(log.scroll_offset().y, 10);
  EXPECT_EQ(log.render_line(0).text(), "row 10");

  pilot.press("end");
  log.write("row 31");  // back at the end: followed again
  pilot.wait_idle();
  EXPECT_EQ(log.scroll_offset().y, 22);

  pilot.press({"home", "down", "down"});
  EXPECT_EQ(log.scroll_offset().y, 2);
  pilot.press("pagedown");
  EXPECT_EQ(log.scroll_offset().y, 12);
  pilot.scroll_up(5, 5);  // the wheel moves three rows
  EXPECT_EQ(log.scroll_offset().y, 9);
  pilot.scroll_down(5, 5, 10);  // and stops at the end
  EXPECT_EQ(log.scroll_offset().y, 22);
  log.scroll_to(-5);
  EXPECT_EQ(log.scroll_offset().y, 0);
  log.scroll_to(20, true);  // animated: moves over a few frames
  pilot.wait_idle();
  EXPECT_LT(log.scroll_offset().y, 20);
  EXPECT_TRUE(pilot.wait_until([&] { return log.scroll_offset().y == 20; }));
  log.scroll_to(0);

  // What is on screen: rows from the offset, scrollbar thumb at the top of the right column.
  std::string shot = pilot.screenshot();
  EXPECT_EQ(shot.substr(0, shot.find('\n')), "row 0" + std::string(34, ' ') + "█");
}

TEST(WidgetsRichLog, ClearAndRenderLineBounds) {
  LogApp app;
  Pilot pilot(app, {20, 4});
  RichLog& log = *app.log;
  for (int i = 0; i < 10; ++i) log.write("row " + std::to_string(i));
  pilot.press("pageup");
  log.clear();
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(log.scroll_offset().y, 0);
  EXPECT_TRUE(log.render_line(0).empty());
  EXPECT_TRUE(log.render_line(-1).empty());
  EXPECT_EQ(pilot.screenshot(), "\n\n\n");
  for (int i = 0; i < 6; ++i) log.write("new " + std::to_string(i));  // follows after clear
  EXPECT_EQ(pilot.screenshot(),
            "new 2\n"
            "new 3\n"
            "new 4              █\n"
            "new 5              █");
  EXPECT_TRUE(log.render_line(4).empty());  // below the visible rows
}

// A log that counts the rows it draws: only visible rows are drawn, however long the log.
class CountingLog : public RichLog {
 public:
  Strip render_line(int y) override {
    ++drawn;
    return RichLog::render_line(y);
  }
  const Strip* stored_line(int y) override {
    ++drawn;
    return RichLog::stored_line(y);
  }
  int drawn = 0;
};

TEST(WidgetsRichLog, DrawsOnlyVisibleRowsOfALongLog) {
  App app;
  auto screen = std::make_unique<Screen>();
  auto& log = screen->mount_new<CountingLog>();
  app.install_screen("main", std::move(screen));
  app.switch_screen("main");
  for (int i = 0; i < 100000; ++i) log.write("row " + std::to_string(i));
  Pilot pilot(app, {30, 8});
  EXPECT_EQ(log.scroll_offset().y, 100000 - 8);
  EXPECT_EQ(log.render_line(7).text(), "row 99999");
  log.drawn = 0;
  log.scroll_to(50000);
  pilot.wait_idle();
  EXPECT_EQ(log.drawn, 8);
  EXPECT_EQ(pilot.screenshot().substr(0, 9), "row 50000");
}

}  // namespace
}  // namespace orvo::tui
