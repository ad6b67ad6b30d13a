#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tui/framework/term/background.hpp"

namespace orvo::tui {
namespace {

TEST(Background, ThemeFromTheColourReply) {
  struct Case {
    const char* body;
    std::optional<ThemeKind> theme;  // nullopt: not a readable reply
  };
  const Case cases[] = {
      {"11;rgb:0000/0000/0000", ThemeKind::dark},
      {"11;rgb:ffff/ffff/ffff", ThemeKind::light},
      {"11;rgb:ff/ff/ff", ThemeKind::light},
      {"11;rgb:f/f/f", ThemeKind::light},
      {"11;rgb:1e1e/1e1e/1e1e", ThemeKind::dark},
      // Mid-greys: #808080 looks middling but its luminance is about 0.22.
      {"11;rgb:80/80/80", ThemeKind::dark},
      {"11;rgb:b4b4/b4b4/b4b4", ThemeKind::dark},
      {"11;rgb:c0c0/c0c0/c0c0", ThemeKind::light},
      // Solarized light and a pure blue: lightness is about green more than blue.
      {"11;rgb:fdfd/f6f6/e3e3", ThemeKind::light},
      {"11;rgb:0000/0000/ffff", ThemeKind::dark},
      {"11;rgb:0000/ffff/0000", ThemeKind::light},
      {"11;rgba:ffff/ffff/ffff/0000", ThemeKind::light},
      {"11;#ffffff", ThemeKind::light},
      {"11;#000", ThemeKind::dark},
      {"11;rgb:ffff/ffff", std::nullopt},
      {"11;rgb:/ffff/ffff", std::nullopt},
      {"11;rgb:gg/gg/gg", std::nullopt},
      {"11;rgb:-1/0/0", std::nullopt},
      {"11;?", std::nullopt},
      {"11;", std::nullopt},
      {"11", std::nullopt},
      {";rgb:0/0/0", std::nullopt},
      {"11;#12345", std::nullopt},
      {"11;white", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto color = parse_color_reply(c.body);
    ASSERT_EQ(color.has_value(), c.theme.has_value()) << c.body;
    if (color) {
      EXPECT_EQ(theme_for_background(*color), *c.theme) << c.body;
    }
  }
}

TEST(Background, LuminanceEnds) {
  EXPECT_NEAR(relative_luminance(ColorReplyEvent{11, 0, 0, 0}), 0.0, 1e-9);
  EXPECT_NEAR(relative_luminance(ColorReplyEvent{11, 65535, 65535, 65535}), 1.0, 1e-9);
}

TEST(Background, ColorFgBgHint) {
  struct Case {
    const char* value;
    std::optional<ThemeKind> theme;
  };
  const Case cases[] = {
      {"0;15", ThemeKind::light},
      {"15;0", ThemeKind::dark},
      {"0;7", ThemeKind::light},
      {"7;8", ThemeKind::dark},
      {"0;default;15", ThemeKind::light},
      {"15;default", std::nullopt},
      {"", std::nullopt},
      {"15", std::nullopt},
      {"0;99", std::nullopt},
      {"0;1x", std::nullopt},
      {nullptr, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(theme_from_colorfgbg(c.value), c.theme) << (c.value ? c.value : "(unset)");
}

}  // namespace
}  // namespace orvo::tui
