// The stylesheet subset: values, selectors and cascade, and errors that name their line.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tui/framework/text/style.hpp"
#include "tui/framework/widgets/css.hpp"

namespace orvo::tui {
namespace {

Styles one_rule(std::string_view css) {
  auto rules = parse_css(css);
  EXPECT_EQ(rules.size(), 1u);
  return rules.empty() ? Styles{} : rules[0].styles;
}

TEST(WidgetsCss, PropertyValues) {
  struct Case {
    const char* css;
    std::function<bool(const Styles&)> check;
  };
  const Case cases[] = {
      {"A { layout: vertical; }", [](const Styles& s) { return s.layout == Layout::Vertical; }},
      {"A { layout: horizontal }", [](const Styles& s) { return s.layout == Layout::Horizontal; }},
      {"A { dock: top; }", [](const Styles& s) { return s.dock == Dock::Top; }},
      {"A { height: 1; }", [](const Styles& s) { return s.height == Scalar::cells(1); }},
      {"A { height: 1fr; }", [](const Styles& s) { return s.height == Scalar::fr(1); }},
      {"A { height: 2.5fr; }", [](const Styles& s) { return s.height == Scalar::fr(2.5); }},
      {"A { height: auto; }", [](const Styles& s) { return s.height == Scalar::automatic(); }},
      {"A { width: 52; }", [](const Styles& s) { return s.width == Scalar::cells(52); }},
      {"A { width: 50%; }", [](const Styles& s) { return s.width == Scalar::percent(50); }},
      {"A { padding: 1; }",
       [](const Styles& s) {
         return s.padding == Spacing{1, 1, 1, 1};
       }},
      {"A { padding: 0 1; }",
       [](const Styles& s) {
         return s.padding == Spacing{0, 1, 0, 1};
       }},
      {"A { padding: 1 2 3 4; }",
       [](const Styles& s) {
         return s.padding == Spacing{1, 2, 3, 4};
       }},
      {"A { align: center middle; }",
       [](const Styles& s) { return s.align_h == AlignH::Center && s.align_v == AlignV::Middle; }},
      {"A { align: right bottom; }",
       [](const Styles& s) { return s.align_h == AlignH::Right && s.align_v == AlignV::Bottom; }},
      {"A { color: #5F87FF; }",
       [](const Styles& s) { return s.color == Color::rgb(0x5f, 0x87, 0xff); }},
      {"A { color: #abc; }",
       [](const Styles& s) { return s.color == Color::rgb(0xaa, 0xbb, 0xcc); }},
      {"A { color: red; }", [](const Styles& s) { return s.color == Color::standard(1); }},
      {"A { background: $surface; }",
       [](const Styles& s) {
         return s.background == Color::parse(default_palette().at("surface"));
       }},
      {"A { background: $primary; color: $accent }",
       [](const Styles& s) {
         return s.background == Color::parse(default_palette().at("primary")) &&
                s.color == Color::parse(default_palette().at("accent"));
       }},
      {"A { border: round #5f87ff; }",
       [](const Styles& s) {
         return s.border == Border{BorderKind::Round, Color::rgb(0x5f, 0x87, 0xff)};
       }},
      {"A { border: none; }", [](const Styles& s) { return s.border->kind == BorderKind::None; }},
      {"A { overflow-y: scroll; overflow-x: hidden; }",
       [](const Styles& s) {
         return s.overflow_y == OverflowMode::Scroll && s.overflow_x == OverflowMode::Hidden;
       }},
      {"A { scrollbar-size: 1 2; }",
       [](const Styles& s) { return s.scrollbar_size_h == 1 && s.scrollbar_size_v == 2; }},
      // Unknown properties are ignored, known ones around them still apply.
      {"A { text-style: bold; height: 3; tint: red 50%; }",
       [](const Styles& s) { return s.height == Scalar::cells(3); }},
      // Comments anywhere, missing final semicolon, later declaration wins.
      {"/* c */ A /* c */ { height: 1; /* c */ height: 2 }",
       [](const Styles& s) { return s.height == Scalar::cells(2); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.css);
    EXPECT_TRUE(c.check(one_rule(c.css)));
  }
}

TEST(WidgetsCss, ErrorsNameTheLine) {
  struct Case {
    const char* css;
    int line;
    const char* says;
  };
  const Case cases[] = {
      {"A {\n  height: 1;\n  height: lots;\n}", 3, "invalid value 'lots' for 'height'"},
      {"A {\n  color: $nosuch;\n}", 2, "'color'"},
      {"A {\n  padding: 1 2 3 4 5;\n}", 2, "padding"},
      {"A {\n  align: middle center;\n}", 2, "align"},
      {"A {\n  border: wavy red;\n}", 2, "border"},
      {"A {\n  height 1;\n}", 2, "expected ':'"},
      {"\n\nA {\n  height: 1;\n", 3, "missing '}'"},
      {"A {\n  height: 1;\n}\nB", 4, "expected '{'"},
      {"A > B { }", 1, "unexpected character '>'"},
      {"{ height: 1; }", 1, "missing selector"},
      {"A { height: 1; \n /* open", 2, "unterminated comment"},
      {"A { B { height: 1; } }", 1, "expected ':'"},
      {"A { height: -1; }", 1, "height"},
      {"A { width: 99999999999; }", 1, "width"},
      {"A { color: \xff\xfe; }", 1, "\\xff"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.css);
    try {
      parse_css(c.css, "Origin");
      ADD_FAILURE() << "no error";
    } catch (const CssError& e) {
      EXPECT_EQ(e.line(), c.line);
      std::string what = e.what();
      EXPECT_NE(what.find("Origin line " + std::to_string(c.line) + ":"), std::string::npos)
          << what;
      EXPECT_NE(what.find(c.says), std::string::npos) << what;
    }
  }
}

// Palette entries are colours of the stylesheet syntax, parsed with the rule that names them; one
// that is no colour is an error at that rule's line, not a colour silently left out when drawn.
TEST(WidgetsCss, PaletteVariables) {
  const Palette palette = {{"short", "#abc"}, {"named", "Bright_Cyan"}, {"bad", "nope"}};
  struct Case {
    const char* declaration;
    std::optional<Color> color;  // nullopt: a CssError on line 2
  };
  const Case cases[] = {
      {"color: $short", Color::rgb(0xaa, 0xbb, 0xcc)},
      {"color: $named", Color::standard(14)},
      {"border: solid $short", Color::rgb(0xaa, 0xbb, 0xcc)},
      {"color: $bad", std::nullopt},
      {"border: solid $bad", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.declaration);
    try {
      auto rules = parse_css(std::string("A {\n  ") + c.declaration + ";\n}", "Origin", palette);
      ASSERT_EQ(rules.size(), 1u);
      const Styles& s = rules[0].styles;
      EXPECT_EQ(s.border ? s.border->color : s.color, c.color);
    } catch (const CssError& e) {
      EXPECT_FALSE(c.color) << e.what();
      EXPECT_EQ(e.line(), 2);
      EXPECT_NE(std::string(e.what()).find("'nope'"), std::string::npos) << e.what();
    }
  }
}

struct Node : Selectable {
  std::string id;
  std::vector<std::string> types, classes;
  const Node* parent = nullptr;
  const std::string& css_id() const override { return id; }
  const std::vector<std::string>& css_types() const override { return types; }
  const std::vector<std::string>& css_classes() const override { return classes; }
  const Selectable* css_parent() const override { return parent; }
};

TEST(WidgetsCss, SelectorsAndCascade) {
  Node screen;
  screen.types = {"QuorvelScreen", "Screen", "Widget"};
  Node center;
  center.id = "picker-center";
  center.types = {"Container", "Widget"};
  center.parent = &screen;
  Node box;
  box.id = "picker-box";
  box.types = {"Static", "Widget"};
  box.classes = {"menu"};
  box.parent = &center;

  Stylesheet sheet;
  sheet.add(
      "Static { height: auto; width: 10; color: red; }\n"
      "Widget { width: 20; padding: 1; }\n"  // less specific than Static for width
      "#picker-box { width: 52; }\n"
      "Static { width: 30; }\n"  // an id wins over any later type rule
      "QuorvelScreen .menu { color: blue; }\n"
      "Container Static, Other { border: round red; }\n"
      "Screen Container Container Static { height: 3; }");
  Styles s = sheet.compute(box);
  EXPECT_EQ(s.width, Scalar::cells(52));
  EXPECT_EQ(s.height, Scalar::automatic());
  EXPECT_EQ(s.color, Color::standard(4));  // class beats type
  EXPECT_EQ(s.padding, (Spacing{1, 1, 1, 1}));
  ASSERT_TRUE(s.border);
  EXPECT_EQ(s.border->kind, BorderKind::Round);

  Styles c = sheet.compute(center);
  EXPECT_EQ(c.width, Scalar::cells(20));
  EXPECT_FALSE(c.color);
  EXPECT_FALSE(c.border);
}

// The stylesheets of the conversation view and of the mode screen, exactly as those widgets
// declare them.
constexpr std::string_view kConversationCss =
    "\n    Scrivlet {\n        height: 1fr;\n        overflow-y: scroll;\n        overflow-x: "
    "hidden;\n        padding: 0 1;\n        scrollbar-size: 1 1;\n    }\n    ";
constexpr std::string_view kModeScreenCss =
    "\n    QuorvelScreen {\n        layout: vertical;\n    }\n    #picker-header {\n        dock: "
    "top;\n        height: 1;\n        padding: 0 1;\n        color: #5f87ff;\n        "
    "background: $surface;\n    }\n    #picker-center {\n        height: 1fr;\n        align: "
    "center middle;\n    }\n    #picker-box {\n        width: 52;\n        height: auto;\n        "
    "padding: 1 2;\n        border: round #5f87ff;\n    }\n    ";

TEST(WidgetsCss, ShippedStylesheetsParse) {
  auto conv = parse_css(kConversationCss, "Scrivlet");
  ASSERT_EQ(conv.size(), 1u);
  EXPECT_EQ(conv[0].line, 2);
  const Styles& s = conv[0].styles;
  EXPECT_EQ(s.height, Scalar::fr(1));
  EXPECT_EQ(s.overflow_y, OverflowMode::Scroll);
  EXPECT_EQ(s.overflow_x, OverflowMode::Hidden);
  EXPECT_EQ(s.padding, (Spacing{0, 1, 0, 1}));
  EXPECT_EQ(s.scrollbar_size_h, 1);
  EXPECT_EQ(s.scrollbar_size_v, 1);

  auto mode = parse_css(kModeScreenCss, "QuorvelScreen");
  ASSERT_EQ(mode.size(), 4u);
  EXPECT_EQ(mode[0].styles.layout, Layout::Vertical);
  const Styles& header = mode[1].styles;
  EXPECT_EQ(mode[1].selectors[0].parts[0].id, "picker-header");
  EXPECT_EQ(header.dock, Dock::Top);
  EXPECT_EQ(header.height, Scalar::cells(1));
  EXPECT_EQ(header.color, Color::rgb(0x5f, 0x87, 0xff));
  EXPECT_EQ(header.background, Color::parse(default_palette().at("surface")));
  EXPECT_EQ(mode[2].styles.align_h, AlignH::Center);
  EXPECT_EQ(mode[2].styles.align_v, AlignV::Middle);
  const Styles& box = mode[3].styles;
  EXPECT_EQ(box.width, Scalar::cells(52));
  EXPECT_EQ(box.height, Scalar::automatic());
  EXPECT_EQ(box.padding, (Spacing{1, 2, 1, 2}));
  EXPECT_EQ(box.border, (Border{BorderKind::Round, Color::rgb(0x5f, 0x87, 0xff)}));
}

}  // namespace
}  // namespace orvo::tui
