// Strip::restyle never splits a grapheme cluster, and the cell buffer keeps zero-width pieces
// that a segment boundary cut off their base.
#include <gtest/gtest.h>

#include "tui/framework/term/cell_buffer.hpp"
#include "tui/framework/text/segment.hpp"

namespace orvo::tui {
namespace {

// The row as "text|text*|text" where * marks segments carrying the highlight.
std::string pieces(const Strip& s, const Style& mark) {
  std::string out;
  for (const auto& seg : s.segments()) {
    if (!out.empty()) out += '|';
    out += seg.text;
    if (seg.style == mark) out += '*';
  }
  return out;
}

TEST(StripRestyle, WholeClustersOnly) {
  const Style hl = Style().with(Style::Reverse, true);
  const std::string e_acute = "e\u0301";                    // decomposed é
  const std::string family = "\U0001F468\u200D\U0001F469";  // ZWJ sequence, 2 cells
  const std::string flag = "\U0001F1EB\U0001F1F7";          // regional indicators, 2 cells
  struct Case {
    std::string text;
    int col0, col1;
    std::string expected;
  };
  const Case cases[] = {
      {"caf" + e_acute, 3, 4, "caf|" + e_acute + "*"},
      {"caf" + e_acute + "s", 0, 4, "caf" + e_acute + "*|s"},
      {"a" + family + "b", 1, 2, "a|" + family + "*|b"},  // half of it: all of it
      {"a" + family + "b", 2, 3, "a|" + family + "*|b"},
      {flag + flag, 2, 4, flag + "|" + flag + "*"},
      {"漢字x", 1, 3, "漢字*|x"},  // a range starting inside 漢 takes it whole
      {"abc", 5, 9, "abc"},        // outside: unchanged
      {"abc", 0, 99, "abc*"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text + " " + std::to_string(c.col0) + ".." + std::to_string(c.col1));
    const Strip s = Strip::of(c.text);
    const Strip r = s.restyle(c.col0, c.col1, hl);
    EXPECT_EQ(pieces(r, hl), c.expected);
    EXPECT_EQ(r.cell_length(), s.cell_length());
    EXPECT_EQ(r.text(), s.text());
  }
  // Across segments: a combining mark in a segment of its own goes with the cell before it.
  const Strip split(std::vector<Segment>{{"caf"}, {"e"}, {"\u0301"}});
  EXPECT_EQ(pieces(split.restyle(3, 4, hl), hl), "caf|e*|\u0301*");
  EXPECT_EQ(pieces(split.restyle(0, 3, hl), hl), "caf*|e|\u0301");
}

TEST(StripRestyle, PaintingKeepsCombiningMarksOfTheirOwnSegment) {
  CellBuffer buf(Size{8, 1});
  const Strip split(
      std::vector<Segment>{{"caf"}, {"e"}, {"\u0301", Style().with(Style::Bold, true)}, {"!"}});
  buf.draw_strip(0, 0, split);
  EXPECT_EQ(buf.plain_text(), "cafe\u0301!");
  // Restyled per cluster, it paints the same text.
  CellBuffer again(Size{8, 1});
  again.draw_strip(0, 0,
                   Strip::of("cafe\u0301!").restyle(3, 4, Style().with(Style::Reverse, true)));
  EXPECT_EQ(again.plain_text(), "cafe\u0301!");
}

}  // namespace
}  // namespace orvo::tui
