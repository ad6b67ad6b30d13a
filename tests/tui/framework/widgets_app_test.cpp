// Application behaviour driven through the pilot: key dispatch and bindings, screens, queries,
// focus, mouse routing and capture, timers, resize.
#include <gtest/gtest.h>

#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/container.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/framework/widgets/static.hpp"

namespace orvo::tui {
namespace {

// A focusable widget that records what reaches it.
class Probe : public Widget {
 public:
  static constexpr std::string_view DEFAULT_CSS = "Probe { height: 3; padding: 1 2; }";
  explicit Probe(std::string id, std::string consumes = "")
      : Widget(std::move(id)), consumes_(std::move(consumes)) {
    declare_css_type("Probe", DEFAULT_CSS);
    set_can_focus(true);
  }
  bool on_key(const KeyEvent& e) override {
    log.push_back("key " + e.key);
    return e.key == consumes_;
  }
  void on_mouse_down(const MouseEvent& e) override {
    log.push_back("down " + std::to_string(e.x) + "," + std::to_string(e.y));
    if (capture) capture_mouse();
  }
  void on_mouse_move(const MouseEvent& e) override {
    log.push_back("move " + std::to_string(e.x) + "," + std::to_string(e.y));
  }
  void on_mouse_up(const MouseEvent& e) override {
    log.push_back("up " + std::to_string(e.x) + "," + std::to_string(e.y));
    release_mouse();
  }
  void on_resize() override { log.push_back("resize " + std::to_string(size().width)); }

  std::vector<std::string> log;
  bool capture = false;

 private:
  std::string consumes_;
};

class MainScreen : public Screen {
 public:
  MainScreen() {
    set_bindings({Binding("1", "one", "One"), Binding("2", "app_two"), Binding("q", "quit")});
    register_action("one", [this] { actions.push_back("screen one"); });
  }
  void compose(ComposeResult& r) override {
    r.yield<Static>("top", "header");
    {
      auto c = r.open<Container>("middle");
      r.yield<Probe>("first", "x");
      r.yield<Probe>("second");
    }
  }
  void on_mount() override {
    // The whole tree exists when the screen is mounted.
    mounted_header = &query_one<Static>("#header");
    ++mounts;
  }
  std::vector<std::string> actions;
  Static* mounted_header = nullptr;
  int mounts = 0;
};

class TestApp : public App {
 public:
  TestApp() {
    set_bindings({Binding("2,ctrl+t", "app_two")});
    register_action("app_two", [this] { actions.push_back("app two"); });
    auto main = std::make_unique<MainScreen>();
    main_screen = main.get();
    install_screen("main", std::move(main));
    install_screen("other", std::make_unique<Screen>("other-screen"));
    switch_screen("main");
  }
  std::vector<std::string> actions;
  MainScreen* main_screen;
};

TEST(WidgetsApp, KeyDispatchOrder) {
  TestApp app;
  Pilot pilot(app, {40, 12});
  MainScreen& s = *app.main_screen;
  auto& first = s.query_one<Probe>("#first");
  ASSERT_EQ(app.focused(), &first);  // the first focusable widget gets the focus

  pilot.press("x");  // consumed by the focused widget
  pilot.press("1");  // the screen's binding
  pilot.press("2");  // the screen's binding names an action only the application registers
  pilot.press("ctrl+t");
  pilot.send_bytes("\x1b");  // a lone ESC becomes the escape key after a short wait
  EXPECT_EQ(first.log, (std::vector<std::string>{"resize 36", "key x", "key 1", "key 2",
                                                 "key ctrl+t", "key escape"}));
  EXPECT_EQ(s.actions, (std::vector<std::string>{"screen one"}));
  EXPECT_EQ(app.actions, (std::vector<std::string>{"app two", "app two"}));

  pilot.press("tab");
  EXPECT_EQ(app.focused(), &s.query_one<Probe>("#second"));
  pilot.press("shift+tab");
  EXPECT_EQ(app.focused(), &first);

  EXPECT_FALSE(pilot.exited());
  pilot.press("q");  // "quit" is not the screen's: the application's built-in exit runs
  EXPECT_TRUE(pilot.exited());
}

TEST(WidgetsApp, QueriesAndScreens) {
  TestApp app;
  EXPECT_THROW(app.size(), std::runtime_error);  // no terminal yet
  Pilot pilot(app, {40, 12});
  EXPECT_EQ(app.size(), (Size{40, 12}));
  MainScreen& s = *app.main_screen;
  EXPECT_EQ(s.mounts, 1);
  EXPECT_EQ(s.mounted_header, &s.query_one<Static>("#header"));
  EXPECT_EQ(&s.query_one<Container>("Container"), &s.query_one("#middle"));
  EXPECT_EQ(&s.query_one<Probe>("#middle Probe"), &s.query_one("#first"));
  EXPECT_THROW(s.query_one("#missing"), NoMatches);
  EXPECT_THROW(s.query_one<Static>("#first"), WrongType);
  try {
    s.query_one("#missing");
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("#missing"), std::string::npos);
  }

  pilot.press("tab");
  app.switch_screen("other");
  pilot.wait_idle();
  EXPECT_EQ(&app.screen(), app.has_screen("other") ? &app.screen() : nullptr);
  EXPECT_EQ(app.screen().id(), "other-screen");
  EXPECT_EQ(app.focused(), nullptr);
  pilot.press("1");  // bindings of the hidden screen do not run
  EXPECT_TRUE(s.actions.empty());

  app.switch_screen("main");
  pilot.wait_idle();
  EXPECT_EQ(s.mounts, 1);                                      // mounted once, kept while not shown
  EXPECT_EQ(app.focused(), &app.query_one<Probe>("#second"));  // the focus it had
  pilot.press("1");
  EXPECT_EQ(s.actions.size(), 1u);

  // A pushed screen covers the current one until popped.
  auto pushed = std::make_unique<Screen>("popup");
  pushed->set_bindings({Binding("escape", "close")});
  Screen* popup = pushed.get();
  popup->register_action("close", [&app] { app.pop_screen(); });
  app.push_screen(std::move(pushed));
  pilot.press("1");
  EXPECT_EQ(s.actions.size(), 1u);
  pilot.press("escape");  // pops (and destroys) the screen from its own action
  EXPECT_EQ(&app.screen(), &s);
  EXPECT_THROW(app.pop_screen(), std::logic_error);
  EXPECT_THROW(app.switch_screen("nope"), std::invalid_argument);
}

TEST(WidgetsApp, MouseIsRelativeToContentAndFollowsCapture) {
  TestApp app;
  Pilot pilot(app, {40, 12});
  auto& first = app.main_screen->query_one<Probe>("#first");
  auto& second = app.main_screen->query_one<Probe>("#second");
  // Header row 0; #first rows 1-3 with padding 1 2: content starts at (2, 2).
  ASSERT_EQ(first.region(), (Region{0, 1, 40, 3}));
  ASSERT_EQ(first.content_region(), (Region{2, 2, 36, 1}));
  first.capture = true;
  pilot.mouse_down(5, 2);
  pilot.mouse_move(5, 6);  // over #second, but captured by #first
  pilot.mouse_up(7, 6);
  pilot.click("#second", 1, 0);  // not captured any more: goes to #second
  EXPECT_EQ(first.log, (std::vector<std::string>{"resize 36", "down 3,0", "move 3,4", "up 5,4"}));
  EXPECT_EQ(second.log, (std::vector<std::string>{"resize 36", "down 1,0", "up 1,0"}));
  EXPECT_EQ(app.focused(), &second);  // a press focuses a focusable widget
}

TEST(WidgetsApp, ResizeReachesWidgets) {
  TestApp app;
  Pilot pilot(app, {40, 12});
  auto& first = app.main_screen->query_one<Probe>("#first");
  pilot.resize(30, 10);
  EXPECT_EQ(app.size(), (Size{30, 10}));
  EXPECT_EQ(first.log.back(), "resize 26");
  EXPECT_EQ(pilot.driver().with_terminal([](const VirtualTerminal& t) { return t.size(); }),
            (Size{30, 10}));
}

TEST(WidgetsApp, Timers) {
  TestApp app;
  Pilot pilot(app, {20, 5});
  int once = 0, ticks = 0;
  app.set_timer(std::chrono::milliseconds(20), [&] { ++once; });
  TimerId tick = app.set_interval(std::chrono::milliseconds(10), [&] { ++ticks; });
  TimerId never = app.set_timer(std::chrono::milliseconds(5), [&] { ADD_FAILURE(); });
  app.cancel_timer(never);
  EXPECT_TRUE(pilot.wait_until([&] { return ticks >= 3 && once == 1; }));
  app.cancel_timer(tick);
  int seen = ticks;
  pilot.pause(std::chrono::milliseconds(40));
  EXPECT_EQ(ticks, seen);
  EXPECT_EQ(once, 1);
}

class BadCss : public Widget {
 public:
  static constexpr std::string_view DEFAULT_CSS = "BadCss {\n  height: 1;\n  height: tall;\n}";
  BadCss() { declare_css_type("BadCss", DEFAULT_CSS); }
};

// A screen first mounted while another one became current before any frame (a start-up that
// goes straight on to the next screen) is still styled when it is shown later.
TEST(WidgetsApp, AScreenLeftBeforeItsFirstFrameIsStyledWhenShown) {
  App app;
  auto a = std::make_unique<Screen>();
  Probe* probe = &a->mount_new<Probe>("probe");
  app.install_screen("a", std::move(a));
  app.install_screen("b", std::make_unique<Screen>());
  app.switch_screen("b");
  Pilot pilot(app, {40, 12});
  app.switch_screen("a");
  app.switch_screen("b");
  pilot.wait_idle();
  app.switch_screen("a");
  pilot.wait_idle();
  ASSERT_FALSE(probe->log.empty());
  EXPECT_EQ(probe->log.back(), "resize 36");  // its stylesheet's padding, 2 on each side
}

TEST(WidgetsApp, BadStylesheetIsAnErrorNamingClassAndLine) {
  App app;
  auto screen = std::make_unique<Screen>();
  screen->mount_new<BadCss>();
  app.install_screen("main", std::move(screen));
  app.switch_screen("main");
  try {
    Pilot pilot(app, {20, 5});
    ADD_FAILURE() << "no error";
  } catch (const CssError& e) {
    EXPECT_EQ(e.line(), 3);
    EXPECT_NE(std::string(e.what()).find("BadCss DEFAULT_CSS line 3"), std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(app.running());
  EXPECT_THROW(app.add_css("A { color: nope; }"), CssError);
}

TEST(WidgetsApp, PasteGoesToTheFocusedWidget) {
  struct Paster : Widget {
    Paster() { set_can_focus(true); }
    void on_paste(const std::string& text) override { got += text; }
    std::string got;
  };
  App app;
  auto screen = std::make_unique<Screen>();
  auto& p = screen->mount_new<Paster>();
  app.install_screen("main", std::move(screen));
  app.switch_screen("main");
  Pilot pilot(app, {20, 5});
  pilot.send_bytes("\x1b[200~two\nlines\x1b[201~");
  EXPECT_EQ(p.got, "two\nlines");
}

TEST(WidgetsApp, FramesOnlyForVisibleChanges) {
  TestApp app;
  Pilot pilot(app, {40, 12});
  const auto frames = pilot.driver().frames_written();
  pilot.press("f12");  // handled by nobody, changes nothing
  app.query_one<Probe>("#first").refresh();
  pilot.wait_idle();
  EXPECT_EQ(pilot.driver().frames_written(), frames);
  app.query_one<Static>("#header").update("new top");
  pilot.wait_idle();
  EXPECT_EQ(pilot.driver().frames_written(), frames + 1);
  EXPECT_EQ(pilot.screenshot().substr(0, 7), "new top");
}

struct Boom : Message {};

TEST(WidgetsApp, ErrorInAHandlerEndsRunAndRestoresTheDriver) {
  TestApp app;
  app.on<Boom>([](Boom&) { throw std::runtime_error("boom"); });
  app.post_message(std::make_shared<Boom>());
  HeadlessDriver driver({20, 5});
  EXPECT_THROW(app.run(driver), std::runtime_error);
  EXPECT_FALSE(driver.running());
  EXPECT_FALSE(app.running());
}

TEST(WidgetsApp, RemovedWidgetsLeaveTreeFocusAndScreen) {
  TestApp app;
  Pilot pilot(app, {40, 12});
  auto& first = app.query_one<Probe>("#first");
  ASSERT_EQ(app.focused(), &first);
  // Removed from its own key handler's binding: it must survive until the event is done.
  first.register_action("drop", [&first] { first.remove(); });
  first.set_bindings({Binding("r", "drop")});
  pilot.press("r");
  EXPECT_THROW(app.query_one("#first"), NoMatches);
  EXPECT_EQ(app.focused(), nullptr);
  EXPECT_EQ(app.query_one<Probe>("#second").region().y, 1);  // moved up into the space
}

}  // namespace
}  // namespace orvo::tui
