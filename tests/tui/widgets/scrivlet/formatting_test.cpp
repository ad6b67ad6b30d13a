#include "tui/widgets/scrivlet/formatting.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace f = orvo::tui::scrivlet_format;

namespace {

std::string label(const std::string& name) {
  if (name == "bash") return "Bash";
  if (name == "read_file") return "Read";
  if (name == "grep") return "Search";
  return name;
}

TEST(ScrivletFormat, BudgetsUseOffsetFallbackAndFloor) {
  struct Case {
    std::optional<int> width;
    int offset, fallback, floor, expected;
  } cases[] = {
      {80, 28, 50, 30, 52}, {40, 28, 50, 30, 30},           {std::nullopt, 28, 50, 30, 50},
      {40, 6, 76, 40, 40},  {std::nullopt, 6, 76, 40, 76},  {100, 12, 70, 40, 88},
      {50, 12, 70, 40, 40}, {std::nullopt, 12, 70, 40, 70}, {0, 12, 70, 40, 40},
  };
  for (const auto& c : cases)
    EXPECT_EQ(f::budget(c.width, c.offset, c.fallback, c.floor), c.expected)
        << c.width.value_or(-1) << " - " << c.offset;
}

TEST(ScrivletFormat, FixedRoundsCorrectlyAndHalfwayToEven) {
  struct Case {
    double value;
    int decimals;
    const char* expected;
  } cases[] = {
      {12.34, 1, "12.3"},         {59.96, 1, "60.0"},   {0.25, 1, "0.2"}, {0.75, 1, "0.8"},
      {0.0125, 3, "0.013"},  // 0.0125 is stored a little above the half
      {0.0123, 3, "0.012"},       {0.0004, 3, "0.000"}, {2.5, 0, "2"},    {3.5, 0, "4"},
      {0.05, 1, "0.1"},  // stored as 0.05000000000000000277
      {1.2345e6, 1, "1234500.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(f::fixed(c.value, c.decimals), c.expected) << c.value;
}

TEST(ScrivletFormat, Elapsed) {
  struct Case {
    double elapsed;
    const char* expected;
  } cases[] = {
      {3.14159, "3.1s"}, {59.96, "60.0s"}, {60, "1m00s"},
      {75.9, "1m15s"},   {125.9, "2m05s"}, {3725, "62m05s"},
      {0, "0.0s"},       {-2, "0.0s"},     {std::numeric_limits<double>::quiet_NaN(), "0.0s"},
  };
  for (const auto& c : cases) EXPECT_EQ(f::format_elapsed(c.elapsed), c.expected) << c.elapsed;
  // A value far beyond any clock must not overflow the integer conversion.
  EXPECT_EQ(f::format_elapsed(std::numeric_limits<double>::infinity()).back(), 's');
  EXPECT_EQ(f::format_elapsed(1e300).back(), 's');
}

TEST(ScrivletFormat, TurnSummaryParts) {
  struct Case {
    double elapsed;
    std::vector<std::string> tools;
    std::int64_t tokens_out;
    double cost;
    const char* expected;
  } cases[] = {
      {3.14159, {}, 0, 0.0, "3.1s"},
      {60, {}, 0, 0.0, "1m00s"},
      {125.9, {"bash", "read_file", "bash", "lint"}, 0, 0.0, "2m05s · Bash x2, Read, lint"},
      {1, {}, 999, 0.0, "1.0s · 999 tokens"},
      {1, {}, 1000, 0.0, "1.0s · 1.0k tokens"},
      {1, {}, 1234, 0.0, "1.0s · 1.2k tokens"},
      {1, {}, 12345, 0.0, "1.0s · 12.3k tokens"},
      {1, {}, 1250, 0.0, "1.0s · 1.2k tokens"},  // exactly halfway: to even
      {1, {}, 0, 0.0004, "1.0s · $0.000 saved"},
      {1, {}, 0, -1.0, "1.0s"},
      {75.5,
       {"grep", "grep", "grep"},
       2500,
       0.0123,
       "1m15s · Search x3 · 2.5k tokens · $0.012 saved"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(f::format_turn_summary(c.elapsed, c.tools, c.tokens_out, c.cost, label), c.expected);
}

TEST(ScrivletFormat, ApprovalCommandOnOneRow) {
  struct Case {
    std::string command;
    int max;
    std::string expected;
  } cases[] = {
      {"a\nb\nc", 70, "a ↵ b ↵ c"},
      {" \n ", 70, "↵"},
      {"", 70, ""},
      {"rm x", 70, "rm x"},
      {std::string(100, 'x'), 88, std::string(88, 'x')},
      {"日本語のコマンド", 3, "日本語"},  // cut in characters, not bytes
      {"\n\nls\n", 70, "↵  ↵ ls ↵"},
      {"ok \xff\xfe", 70, "ok \xff\xfe"},  // invalid bytes are kept for the renderer to replace
  };
  for (const auto& c : cases) EXPECT_EQ(f::approval_command(c.command, c.max), c.expected);
}

TEST(ScrivletFormat, ThinkingPreview) {
  const std::string hundred = std::string(50, 'a') + "  " + std::string(48, 'b');
  struct Case {
    std::string first;
    std::size_t lines;
    int max;
    std::string expected;
  } cases[] = {
      {"abc", 1, 50, "abc"},
      {"abc", 2, 50, "abc…"},
      {"abc   ", 2, 50, "abc…"},
      {"abc   ", 1, 50, "abc   "},  // fits and is alone: kept as it is
      {hundred, 1, 52, std::string(50, 'a') + "…"},
      {std::string(30, 'x'), 1, 30, std::string(30, 'x')},
      {std::string(31, 'x'), 1, 30, std::string(30, 'x') + "…"},
      {"ééééé", 1, 3, "ééé…"},
  };
  for (const auto& c : cases) EXPECT_EQ(f::thinking_preview(c.first, c.lines, c.max), c.expected);
  EXPECT_EQ(f::thinking_more_count(1), "");
  EXPECT_EQ(f::thinking_more_count(2), "  (+1 lines)");
  EXPECT_EQ(f::thinking_more_count(31), "  (+30 lines)");
}

TEST(ScrivletFormat, ThinkingLines) {
  EXPECT_TRUE(f::thinking_lines("   \n  ").empty());
  EXPECT_TRUE(f::thinking_lines("").empty());
  EXPECT_EQ(f::thinking_lines("\n a\r\nb\u2028c \n"),
            (std::vector<std::string_view>{"a", "b", "c"}));
  EXPECT_EQ(f::thinking_lines("a\n\nb"), (std::vector<std::string_view>{"a", "", "b"}));
}

}  // namespace
