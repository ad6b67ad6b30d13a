// Layout of the two stylesheets the product ships (the mode screen and the conversation log),
// checked by region and by screenshot.
#include <gtest/gtest.h>

#include <algorithm>

#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/text/text.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/container.hpp"
#include "tui/framework/widgets/rich_log.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/framework/widgets/static.hpp"

namespace orvo::tui {

// Regions print as {x, y, width, height} in failures.
void PrintTo(const Region& r, std::ostream* os);
void PrintTo(const Region& r, std::ostream* os) {
  *os << "{" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << "}";
}

namespace {

// Test doubles with the exact class names and DEFAULT_CSS of the product's widgets.
class QuorvelScreen : public Screen {
 public:
  static constexpr std::string_view DEFAULT_CSS =
      "\n    QuorvelScreen {\n        layout: vertical;\n    }\n    #picker-header {\n        "
      "dock: top;\n        height: 1;\n        padding: 0 1;\n        color: #5f87ff;\n        "
      "background: $surface;\n    }\n    #picker-center {\n        height: 1fr;\n        "
      "align: center middle;\n    }\n    #picker-box {\n        width: 52;\n        height: "
      "auto;\n        padding: 1 2;\n        border: round #5f87ff;\n    }\n    ";

  QuorvelScreen() { declare_css_type("QuorvelScreen", DEFAULT_CSS); }
  void compose(ComposeResult& r) override {
    r.yield<Static>("", "picker-header");
    auto center = r.open<Container>("picker-center");
    r.yield<Static>(
        "Select a mode:\n\n  [bold]1.[/] Fast — quick answers\n  [bold]2.[/] Reasoning — deep "
        "thinking\n\n[dim]Press 1 or 2[/]",
        "picker-box");
  }
  void on_mount() override { update_header(); }
  void on_resize() override { update_header(); }
  void update_header() {
    int width = 80;
    try {
      width = app()->size().width;
    } catch (const std::exception&) {
    }
    int remaining = std::max(0, width - 2 - 14);
    std::string line = "🏠 Kestravel ";
    for (int i = 0; i < remaining; ++i) line += "─";
    query_one<Static>("#picker-header").update(line);
  }
};

class Scrivlet : public RichLog {
 public:
  static constexpr std::string_view DEFAULT_CSS =
      "\n    Scrivlet {\n        height: 1fr;\n        overflow-y: scroll;\n        overflow-x: "
      "hidden;\n        padding: 0 1;\n        scrollbar-size: 1 1;\n    }\n    ";
  static constexpr bool ALLOW_SELECT = false;
  Scrivlet() : RichLog(options()) {
    declare_css_type("Scrivlet", DEFAULT_CSS);
    set_allow_select(ALLOW_SELECT);
  }

 private:
  static RichLogOptions options() {
    RichLogOptions o;
    o.id = "chat-log";
    o.wrap = true;
    return o;
  }
};

class ChatScreen : public Screen {
 public:
  void compose(ComposeResult& r) override {
    r.yield<Static>("[bold]chat[/]", "chat-header");
    r.yield<Scrivlet>();
  }
};

class ShippedApp : public App {
 public:
  ShippedApp() {
    add_css("#chat-header { dock: top; height: 1; }");
    install_screen("quorvel", std::make_unique<QuorvelScreen>());
    install_screen("chat", std::make_unique<ChatScreen>());
    switch_screen("quorvel");
  }
};

TEST(WidgetsLayout, ModeScreenCentresTheBox) {
  ShippedApp app;
  Pilot pilot(app, {80, 24});
  Screen& s = app.screen();
  auto& header = s.query_one<Static>("#picker-header");
  auto& center = s.query_one<Container>("#picker-center");
  auto& box = s.query_one<Static>("#picker-box");
  EXPECT_EQ(header.region(), (Region{0, 0, 80, 1}));
  EXPECT_EQ(header.content_region(), (Region{1, 0, 78, 1}));
  EXPECT_EQ(center.region(), (Region{0, 1, 80, 23}));
  // 52 wide; 6 rows of text + 2 of padding + 2 of border; centred in the 23 rows below the header.
  EXPECT_EQ(box.region(), (Region{14, 7, 52, 10}));
  EXPECT_EQ(box.content_region(), (Region{17, 9, 46, 6}));

  auto dashes = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "─";
    return s;
  };
  const std::string expected =
      " 🏠 Kestravel " + dashes(64) +
      "\n\n\n\n\n\n\n"
      "              ╭" +
      dashes(50) +
      "╮\n"
      "              │                                                  │\n"
      "              │  Select a mode:                                  │\n"
      "              │                                                  │\n"
      "              │    1. Fast — quick answers                       │\n"
      "              │    2. Reasoning — deep thinking                  │\n"
      "              │                                                  │\n"
      "              │  Press 1 or 2                                    │\n"
      "              │                                                  │\n"
      "              ╰" +
      dashes(50) + "╯\n\n\n\n\n\n\n";
  EXPECT_EQ(pilot.screenshot(), expected);

  // The header follows the terminal's width; the box stays centred.
  pilot.resize(60, 14);
  EXPECT_EQ(box.region(), (Region{4, 2, 52, 10}));
  EXPECT_EQ(pilot.screenshot().substr(0, pilot.screenshot().find('\n')),
            " 🏠 Kestravel " + dashes(44));
  // Terminals too small for anything still lay out and draw (clipped).
  for (Size tiny : {Size{1, 1}, Size{5, 3}, Size{52, 2}}) {
    pilot.resize(tiny.width, tiny.height);
    const std::string shot = pilot.screenshot();
    EXPECT_EQ(std::count(shot.begin(), shot.end(), '\n'), tiny.height - 1);
  }
}

TEST(WidgetsLayout, ModeScreenColours) {
  ShippedApp app;
  Pilot pilot(app, {80, 24});
  const std::string ansi = pilot.screenshot_ansi();
  // Header: blue text on the surface colour; border in the same blue.
  EXPECT_NE(ansi.find("38;2;95;135;255"), std::string::npos);
  EXPECT_NE(ansi.find("48;2;30;30;30"), std::string::npos);
  const CellBuffer screen =
      pilot.driver().with_terminal([](const VirtualTerminal& t) { return t.screen(); });
  EXPECT_EQ(screen.at(14, 7).text, "╭");
  EXPECT_EQ(screen.at(14, 7).style.fg, Color::rgb(0x5f, 0x87, 0xff));
  EXPECT_EQ(screen.at(1, 0).style.fg, Color::rgb(0x5f, 0x87, 0xff));
  EXPECT_EQ(screen.at(1, 0).style.bg, Color::rgb(0x1e, 0x1e, 0x1e));
  EXPECT_TRUE(screen.at(19, 11).style.attrs & Style::Bold);  // "1." is bold
}

TEST(WidgetsLayout, ConversationLogFillsTheRestWithScrollbarAndPadding) {
  ShippedApp app;
  app.switch_screen("chat");
  Pilot pilot(app, {80, 24});
  auto& log = app.screen().query_one<Scrivlet>("Scrivlet");
  EXPECT_FALSE(log.allow_select());
  EXPECT_EQ(log.region(), (Region{0, 1, 80, 23}));
  // One column of padding each side, the scrollbar always there at the right edge.
  EXPECT_EQ(log.content_region(), (Region{1, 1, 77, 23}));
  EXPECT_EQ(log.size().width, 77);
  log.write(Text("hello"));
  for (int i = 0; i < 30; ++i) log.write(Text("row " + std::to_string(i)));
  std::string shot = pilot.screenshot();
  EXPECT_EQ(shot.substr(0, shot.find('\n')), "chat");
  // The view follows the end: the last 23 rows, thumb at the bottom of the scrollbar.
  std::vector<std::string> rows;
  for (std::size_t p = 0, q; p <= shot.size(); p = q + 1) {
    q = shot.find('\n', p);
    if (q == std::string::npos) q = shot.size();
    rows.push_back(shot.substr(p, q - p));
  }
  ASSERT_EQ(rows.size(), 24u);
  EXPECT_EQ(rows[23].substr(0, 8), " row 29 ");
  EXPECT_EQ(rows[1], " row 7");
  EXPECT_EQ(rows[23].substr(rows[23].size() - 3), "█");  // the thumb, last column
}

// The layout rules one at a time, on three plain children #a, #b, #c of a 20x10 screen.
TEST(WidgetsLayout, Rules) {
  struct Case {
    const char* css;
    Region a, b, c;
  };
  const Case cases[] = {
      // Fractions share what fixed sizes leave, in proportion.
      {"#a { height: 1fr; } #b { height: 2fr; } #c { height: 1; }",
       {0, 0, 20, 3},
       {0, 3, 20, 6},
       {0, 9, 20, 1}},
      // Side by side: percentages of the container, cells, and the rest.
      {"Screen { layout: horizontal; } #a { width: 25%; } #b { width: 1fr; } #c { width: 4; }",
       {0, 0, 5, 10},
       {5, 0, 11, 10},
       {16, 0, 4, 10}},
      // Docks take their edge first; the rest flows in what remains.
      {"#a { dock: bottom; height: 2; } #b { dock: left; width: 3; } #c { height: 1fr; }",
       {0, 8, 20, 2},
       {0, 0, 3, 8},
       {3, 0, 17, 8}},
      // Hidden children take no space; the group is aligned as a whole, each child across.
      {"Screen { align: right bottom; } #a { display: none; } #b { height: 2; width: 6; } "
       "#c { height: 2; width: 8; }",
       {0, 0, 0, 0},
       {14, 6, 6, 2},
       {12, 8, 8, 2}},
      // A width is held to the container; a height may overflow it (drawing clips it).
      {"#a { height: 30; width: 50; }", {0, 0, 20, 30}, {0, 30, 20, 0}, {0, 30, 20, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.css);
    class Plain : public Screen {
     public:
      void compose(ComposeResult& r) override {
        r.yield<Widget>("a");
        r.yield<Widget>("b");
        r.yield<Widget>("c");
      }
    };
    App app;
    app.add_css(c.css);
    app.install_screen("main", std::make_unique<Plain>());
    app.switch_screen("main");
    Pilot pilot(app, {20, 10});
    Screen& s = app.screen();
    auto region = [&](const char* id) {
      Region r = s.query_one(id).region();
      return r.empty() ? Region{0, 0, 0, 0} : r;
    };
    auto expect = [](Region r) { return r.empty() ? Region{0, 0, 0, 0} : r; };
    EXPECT_EQ(region("#a"), expect(c.a));
    EXPECT_EQ(region("#b"), expect(c.b));
    EXPECT_EQ(region("#c"), expect(c.c));
  }
  // Border and padding sit inside the height; the content is what is left.
  App app;
  app.add_css("#a { height: 5; border: solid red; padding: 1 2; }");
  auto screen = std::make_unique<Screen>();
  Widget& a = screen->mount_new<Widget>("a");
  app.install_screen("main", std::move(screen));
  app.switch_screen("main");
  Pilot pilot(app, {20, 10});
  EXPECT_EQ(a.region(), (Region{0, 0, 20, 5}));
  EXPECT_EQ(a.content_region(), (Region{3, 2, 14, 1}));
  // A class added later is matched on the next frame.
  app.add_css("#a.tall { height: 7; }");
  a.add_class("tall");
  pilot.wait_idle();
  EXPECT_EQ(a.region(), (Region{0, 0, 20, 7}));
  a.remove_class("tall");
  pilot.wait_idle();
  EXPECT_EQ(a.region(), (Region{0, 0, 20, 5}));
  EXPECT_EQ(pilot.screenshot().substr(0, pilot.screenshot().find('\n')), "┌──────────────────┐");
}

// A container sized by its content makes room for a child's border, padding and the scrollbar
// that overflow-y: scroll always shows, so the child's text is neither wrapped nor clipped.
TEST(WidgetsLayout, AutoSizeCountsTheChildsChrome) {
  struct Case {
    const char* css;
    const char* shot;
  };
  const Case cases[] = {
      {"#log { width: auto; overflow-y: scroll; border: round; padding: 0 1; }",
       "┌──────────┐\n"
       "│╭────────╮│\n"
       "││ hello  ││\n"
       "│╰────────╯│\n"
       "└──────────┘"},
      {"#log { width: auto; overflow-y: scroll; scrollbar-size: 0 2; }",
       "┌───────┐\n"
       "│hello  │\n"
       "└───────┘\n\n"},
      // A scrollbar shown only when needed takes no room while the content fits.
      {"#log { width: auto; overflow-y: auto; padding: 0 1; }",
       "┌───────┐\n"
       "│ hello │\n"
       "└───────┘\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.css);
    class Boxed : public Screen {
     public:
      void compose(ComposeResult& r) override {
        auto box = r.open<Container>("box");
        r.yield<Static>("hello", "log");
      }
    };
    App app;
    app.add_css("#box { width: auto; height: auto; border: solid; }");
    app.add_css(c.css);
    app.install_screen("main", std::make_unique<Boxed>());
    app.switch_screen("main");
    Pilot pilot(app, {16, 5});
    EXPECT_EQ(pilot.screenshot(), c.shot);
  }
}

}  // namespace
}  // namespace orvo::tui
