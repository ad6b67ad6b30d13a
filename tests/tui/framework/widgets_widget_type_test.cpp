// Class attributes read by WidgetType: the type name for selectors, DEFAULT_CSS, ALLOW_SELECT and
// BINDINGS, and bindings whose action nobody registers.
#include <gtest/gtest.h>

#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/framework/widgets/static.hpp"

namespace orvo::tui {
namespace {

class Panel : public WidgetType<Panel, Static> {
 public:
  static constexpr std::string_view DEFAULT_CSS = "Panel { height: 2; background: #102030; }";
  static constexpr bool ALLOW_SELECT = false;
  static inline const std::vector<Binding> BINDINGS = {Binding("p", "poke"), Binding("x", "base")};
  explicit Panel(std::string text = "panel", std::string id = "") : WidgetType(text, id) {
    set_can_focus(true);
    register_action("poke", [this] { log.push_back("panel poke"); });
    register_action("base", [this] { log.push_back("panel base"); });
  }
  std::vector<std::string> log;
};

// Declares neither DEFAULT_CSS nor ALLOW_SELECT: inherits the selection flag and the
// stylesheet's matches by base type; its own bindings come first.
class SubPanel : public WidgetType<SubPanel, Panel> {
 public:
  static inline const std::vector<Binding> BINDINGS = {Binding("x", "sub")};
  SubPanel() : WidgetType("sub", "subpanel") {
    register_action("sub", [this] { log.push_back("sub"); });
  }
};

class Named : public WidgetType<Named, Static> {
 public:
  static constexpr std::string_view CSS_TYPE = "Chosen";
  static constexpr std::string_view DEFAULT_CSS = "Chosen { height: 1; }";
  Named() : WidgetType("named", "named") {}
};

class Host : public WidgetType<Host, Screen> {
 public:
  static constexpr std::string_view DEFAULT_CSS = "Host { background: #000000; }";
  void compose(ComposeResult& r) override {
    r.yield<Panel>("one", "one");
    r.yield<SubPanel>();
    r.yield<Named>();
  }
};

TEST(WidgetType, ClassAttributesNeedNoConstructorCalls) {
  App app;
  app.install_screen("main", std::make_unique<Host>());
  app.switch_screen("main");
  Pilot pilot(app, {20, 6});
  Host& host = dynamic_cast<Host&>(app.screen());
  EXPECT_EQ(host.css_types(), (std::vector<std::string>{"Host", "Screen", "Widget"}));
  auto& one = host.query_one<Panel>("#one");
  auto& sub = host.query_one<SubPanel>("SubPanel");
  EXPECT_EQ(sub.css_types(), (std::vector<std::string>{"SubPanel", "Panel", "Static", "Widget"}));
  EXPECT_EQ(host.query("Panel").size(), 2u);  // a selector on a base matches the subclass
  EXPECT_EQ(&host.query_one<Named>("Chosen"), &host.query_one<Named>("#named"));

  EXPECT_FALSE(one.allow_select());
  EXPECT_FALSE(sub.allow_select());  // inherited
  EXPECT_TRUE(host.allow_select());

  // DEFAULT_CSS applies: two rows each, and the panel's background.
  EXPECT_EQ(one.region().height, 2);
  EXPECT_EQ(sub.region().height, 2);
  EXPECT_EQ(host.query_one<Named>("#named").region().height, 1);
  EXPECT_EQ(one.base_style().bgcolor(), Color::parse("#102030"));

  // Bindings: the subclass's own first, then the inherited ones.
  ASSERT_EQ(app.focused(), &one);
  pilot.press({"p", "x"});
  EXPECT_EQ(one.log, (std::vector<std::string>{"panel poke", "panel base"}));
  sub.focus();
  pilot.press({"x", "p"});
  EXPECT_EQ(sub.log, (std::vector<std::string>{"sub", "panel poke"}));
}

class Forgetful : public WidgetType<Forgetful> {
 public:
  static inline const std::vector<Binding> BINDINGS = {Binding("f", "forgotten")};
  Forgetful() { set_can_focus(true); }
};

TEST(WidgetType, AnActionNobodyRegistersIsAnError) {
  {
    App app;
    auto screen = std::make_unique<Screen>();
    screen->mount_new<Forgetful>();
    app.install_screen("main", std::move(screen));
    app.switch_screen("main");
    try {
      Pilot pilot(app, {20, 5});
      ADD_FAILURE() << "no error";
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(),
                   "Forgetful: the binding of \"f\" names the action \"forgotten\", which neither "
                   "the widget nor the application registers");
    }
    EXPECT_FALSE(app.running());
  }
  {
    // The application registers it: fine, and the key runs it.
    App app;
    int runs = 0;
    app.register_action("forgotten", [&] { ++runs; });
    auto screen = std::make_unique<Screen>();
    screen->mount_new<Forgetful>();
    app.install_screen("main", std::move(screen));
    app.switch_screen("main");
    Pilot pilot(app, {20, 5});
    pilot.press("f");
    EXPECT_EQ(runs, 1);
    // Bindings replaced on a mounted widget are checked at once.
    EXPECT_THROW(app.screen().set_bindings({Binding("g", "nope")}), std::logic_error);
  }
  {
    App app;
    app.set_bindings({Binding("z", "missing")});
    app.install_screen("main", std::make_unique<Screen>());
    app.switch_screen("main");
    EXPECT_THROW(Pilot(app, {20, 5}), std::logic_error);
  }
}

}  // namespace
}  // namespace orvo::tui
