#include <gtest/gtest.h>

#include "tui/framework/text/style.hpp"

namespace orvo::tui {
namespace {

TEST(TextStyle, ParsesDefinitions) {
  struct Case {
    const char* def;
    const char* canonical;  // to_string() of the parsed style
  } cases[] = {
      {"", "none"},
      {"none", "none"},
      {"bold", "bold"},
      {"dim italic", "dim italic"},
      {"underline strike reverse", "underline reverse strike"},
      {"red", "red"},
      {"bright_cyan", "bright_cyan"},
      {"Bold  RED", "bold red"},
      {"#5F87ff", "#5f87ff"},
      {"#d72b6b on #2a2a2a", "#d72b6b on #2a2a2a"},
      {"on #264f78", "on #264f78"},
      {"bold white on red", "bold white on red"},
      {"default on default", "default on default"},
      {"not bold italic", "not bold italic"},
      {"color(208)", "color(208)"},
      {"color(9)", "bright_red"},
      {"rgb(1, 2,3)", "#010203"},
      {"red blue", "blue"},  // the last colour wins
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.def);
    const Style s = Style::parse(c.def);
    EXPECT_EQ(s.to_string(), c.canonical);
    EXPECT_EQ(Style::parse(s.to_string()), s);  // round trip
  }
}

TEST(TextStyle, RejectsBadDefinitions) {
  for (const char* def :
       {"bolder", "#12345", "#12345g", "on", "red on", "on nothing", "not", "not red", "bright_",
        "bright_grey", "color(256)", "rgb(1,2)", "rgb(1,2,300)", "#"}) {
    SCOPED_TRACE(def);
    EXPECT_THROW(Style::parse(def), StyleSyntaxError);
    EXPECT_THROW(Style::parse(def), std::invalid_argument);
    EXPECT_FALSE(Style::try_parse(def).has_value());
  }
  try {
    Style::parse("bold purple");
    FAIL();
  } catch (const StyleSyntaxError& e) {
    EXPECT_NE(std::string(e.what()).find("purple"), std::string::npos);
  }
}

TEST(TextStyle, OverlaySetWinsUnsetInherits) {
  const Style base("bold red on blue");
  EXPECT_EQ((base + Style("italic")).to_string(), "bold italic red on blue");
  EXPECT_EQ((base + Style("green")).to_string(), "bold green on blue");
  EXPECT_EQ((base + Style("not bold")).to_string(), "not bold red on blue");
  EXPECT_EQ((base + Style::bg(Color::parse("#264f78"))).to_string(), "bold red on #264f78");
  EXPECT_EQ(base + Style(), base);
  EXPECT_EQ(Style() + base, base);
  // The selection highlight: only a background.
  const Style hl = Style::bg(Color::rgb(0x26, 0x4f, 0x78));
  EXPECT_FALSE(hl.color().has_value());
  EXPECT_EQ(hl.bgcolor()->name(), "#264f78");
  EXPECT_FALSE(hl.get(Style::Bold).has_value());
}

TEST(TextStyle, SgrPerColorSystem) {
  using CS = ColorSystem;
  struct Case {
    const char* def;
    CS system;
    const char* sgr;
  } cases[] = {
      {"", CS::TrueColor, ""},
      {"not bold", CS::TrueColor, ""},
      {"bold red", CS::None, ""},
      {"bold red", CS::Standard, "\x1b[1;31m"},
      {"dim italic underline strike reverse", CS::TrueColor, "\x1b[2;3;4;7;9m"},
      {"bright_white on bright_black", CS::Standard, "\x1b[97;100m"},
      {"default on default", CS::TrueColor, "\x1b[39;49m"},
      {"#5f87ff", CS::TrueColor, "\x1b[38;2;95;135;255m"},
      {"#5f87ff", CS::EightBit, "\x1b[38;5;69m"},
      {"#5f87ff", CS::Standard, "\x1b[94m"},
      {"#d72b6b on #2a2a2a", CS::EightBit, "\x1b[38;5;161;48;5;235m"},
      {"#d72b6b on #2a2a2a", CS::Standard, "\x1b[31;40m"},
      {"#32cd32", CS::Standard, "\x1b[32m"},
      {"#ff0000", CS::Standard, "\x1b[91m"},
      {"#808080", CS::EightBit, "\x1b[38;5;244m"},
      {"#ffffff on #000000", CS::EightBit, "\x1b[38;5;231;48;5;16m"},
      {"color(208)", CS::TrueColor, "\x1b[38;5;208m"},
      {"color(208)", CS::Standard, "\x1b[31m"},
      {"color(3)", CS::EightBit, "\x1b[33m"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.def);
    EXPECT_EQ(Style::parse(c.def).render_sgr(c.system), c.sgr);
  }
}

TEST(TextStyle, ColorSystemNames) {
  EXPECT_EQ(parse_color_system("truecolor"), ColorSystem::TrueColor);
  EXPECT_EQ(parse_color_system("256"), ColorSystem::EightBit);
  EXPECT_EQ(parse_color_system("standard"), ColorSystem::Standard);
  EXPECT_EQ(parse_color_system("none"), ColorSystem::None);
  EXPECT_THROW(parse_color_system("windows98"), StyleSyntaxError);
}

}  // namespace
}  // namespace orvo::tui
