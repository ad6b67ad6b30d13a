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

TEST(ScrivletFormat, ReportedUsage) {
  struct Case {
    std::int64_t in, out;
    double per_s;
    const char* expected;
  } cases[] = {
      {100, 20, 0.0, "100 tokens in, 20 out"},
      {1234, 999, 41.25, "1.2k tokens in, 999 out · 41.2 tokens/s"},  // halfway: to even
      {0, 1000, 12.0, "0 tokens in, 1.0k out · 12.0 tokens/s"},
  };
  for (const auto& c : cases) EXPECT_EQ(f::format_usage(c.in, c.out, c.per_s), c.expected);
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

TEST(ScrivletFormat, ApprovalCommandRowsFoldByCells) {
  using Texts = std::vector<std::string>;
  struct Case {
    std::string command;
    int width;
    Texts rows;
  } cases[] = {
      {"rm x", 10, {"rm x"}},
      {"abcdefgh", 4, {"abcd", "efgh"}},  // exactly full: no empty row after
      {"abcdefghi", 4, {"abcd", "efgh", "i"}},
      {"rm -rf src now", 8, {"rm -rf ", "src now"}},  // words stay whole, spaces kept
      {"aaaa bbbbbbbbbb", 6, {"aaaa ", "bbbbbb", "bbbb"}},
      {" bcd日", 4, {" ", "bcd", "日"}},  // the moved word and a wide character
      {"a\n\nb", 4, {"a", "", "b"}},      // an empty line keeps its row
      {"日本語", 5, {"日本", "語"}},      // a wide character never straddles two rows
      {"e\u0301e\u0301e\u0301", 2, {"e\u0301e\u0301", "e\u0301"}},  // nor a cluster splits
      {"a\tb", 20, {"a       b"}},                                  // tab to the next stop of 8
      {"a\tb", 4, {"a   ", "    ", "b"}},                           // its spaces fold too
      {"x\x1b[2Jy\rz", 20, {"x\uFFFD[2Jy\uFFFDz"}},                 // controls made inert
      {"ok\r\nnext", 20, {"ok", "next"}},                           // CR LF is a line break
      {"abc", 0, {"a", "b", "c"}},                                  // a width below 1 is 1
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    Texts got;
    for (const auto& r : f::approval_command_rows(c.command, c.width)) got.push_back(r.text);
    EXPECT_EQ(got, c.rows);
  }
  // The byte ranges point into the made-safe text: each row's source bytes.
  const auto rows = f::approval_command_rows("abcdef\ngh", 4);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(std::make_pair(rows[0].begin, rows[0].end), std::make_pair(0ul, 4ul));
  EXPECT_EQ(std::make_pair(rows[1].begin, rows[1].end), std::make_pair(4ul, 6ul));
  EXPECT_EQ(std::make_pair(rows[2].begin, rows[2].end), std::make_pair(7ul, 9ul));
}

TEST(ScrivletFormat, ApprovalTriggersFromTheReason) {
  using Words = std::vector<std::string>;
  struct Case {
    std::string reason;
    Words words;
  } cases[] = {
      {"deletes src/", {"src"}},
      {"deletes src/ and build/", {"src", "build"}},
      {"writes outside the project (/etc/x)", {"/etc/x"}},
      {"discards local changes in 2 files", {}},
      {"deletes \"old logs\"", {"old", "logs"}},  // quotes stripped
      {"removes x", {}},                          // one letter would match everywhere
      {"force-pushes", {"force-pushes"}},         // a reason of one word is searched itself
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(f::approval_triggers(c.reason), c.words) << c.reason;
}

TEST(ScrivletFormat, FoldKeepsHeadTailAndTriggerRows) {
  // Rows of three cells: row i shows bytes [3i, 3i+3).
  std::string text;
  for (int i = 0; i < 20; ++i) text += i == 9 ? "rm " : i == 13 ? "..s" : i == 14 ? "rc." : "abc";
  const auto rows = f::approval_command_rows(text, 3);
  ASSERT_EQ(rows.size(), 20u);
  using Folded = std::vector<std::pair<std::size_t, std::size_t>>;  // (row, hidden)
  const auto fold = [&](const std::vector<std::string>& triggers, std::size_t max_rows,
                        std::size_t max_trigger_rows = 100) {
    Folded out;
    for (const auto& r :
         f::fold_command_rows(rows, text, triggers, max_rows, 2, 2, max_trigger_rows))
      out.emplace_back(r.row, r.hidden);
    return out;
  };
  // Few enough rows: all of them.
  EXPECT_EQ(fold({"src"}, 20).size(), 20u);
  // Head and tail only.
  EXPECT_EQ(fold({}, 12), (Folded{{0, 0}, {1, 0}, {2, 16}, {18, 0}, {19, 0}}));
  // A trigger split over rows 13 and 14 keeps both.
  EXPECT_EQ(fold({"src"}, 12),
            (Folded{{0, 0}, {1, 0}, {2, 11}, {13, 0}, {14, 0}, {15, 3}, {18, 0}, {19, 0}}));
  // A gap of one row shows the row instead of a fold.
  EXPECT_EQ(fold({"rm"}, 12), (Folded{{0, 0}, {1, 0}, {2, 7}, {9, 0}, {10, 8}, {18, 0}, {19, 0}}));
  EXPECT_EQ(fold({"abc"}, 12, 3).size(), 8u);  // head, tail, 3 trigger rows and folds between
  // Every row a trigger row: nothing folded.
  EXPECT_EQ(fold({"abc", "rm", "s", "rc"}, 12).size(), 20u);
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
