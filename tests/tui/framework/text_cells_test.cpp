#include <gtest/gtest.h>

#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/segment.hpp"

namespace orvo::tui {
namespace {

TEST(TextCells, WidthPerGraphemeCluster) {
  struct Case {
    const char* text;
    int cells;
  } cases[] = {
      {"", 0},
      {"hello", 5},
      {"日本語", 6},     // wide
      {"e\xCC\x81", 1},  // e + combining acute
      {"ab\xCC\x81\xCC\xA3"
       "c",
       3},                                                  // two marks on one base
      {"\xF0\x9F\x98\x80", 2},                              // emoji
      {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 2},              // thumbs up + skin tone: one cluster
      {"\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB", 2},  // ZWJ sequence
      {"\xE2\x9D\xA4\xEF\xB8\x8F", 2},                      // heart + VS16: emoji presentation
      {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 2},              // flag
      {"a\tb", 2},                                          // controls take no cell
      {"\xFF", 1},                                          // invalid byte reads as U+FFFD
      {"\xEF\xBC\xA1", 2},                                  // fullwidth A
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(cell_len(c.text), c.cells);
    int sum = 0;
    for_each_grapheme(c.text, [&](const Grapheme& g) { sum += g.cells; });
    EXPECT_EQ(sum, c.cells);
  }
}

TEST(TextCells, PrefixNeverSplitsACluster) {
  struct Case {
    const char* text;
    int max;
    std::size_t bytes;
    int cells;
  } cases[] = {
      {"abcdef", 3, 3, 3},         {"abc", 10, 3, 3},
      {"ab\xE6\x97\xA5", 3, 2, 2},                             // the wide char would straddle
      {"ab\xE6\x97\xA5", 4, 5, 4}, {"abe\xCC\x81x", 3, 5, 3},  // the mark stays with its base
      {"e\xCC\x81", 0, 0, 0},      {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD!", 2, 8, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const CellPrefix p = cell_prefix(c.text, c.max);
    EXPECT_EQ(p.bytes, c.bytes);
    EXPECT_EQ(p.cells, c.cells);
  }
}

TEST(TextCells, SanitizeReplacesControls) {
  EXPECT_EQ(sanitize("a\x1b[31mb"), "a\xEF\xBF\xBD[31mb");
  EXPECT_EQ(sanitize("a\nb\tc"),
            "a\nb\xEF\xBF\xBD"
            "c");
  EXPECT_EQ(sanitize("a\tb", true), "a\tb");
  EXPECT_EQ(sanitize("\xC2\x9B"
                     "x\xFF"),
            "\xEF\xBF\xBDx\xEF\xBF\xBD");  // C1 CSI, invalid byte
  EXPECT_TRUE(is_sanitized("plain \xE6\x97\xA5 text\n"));
  EXPECT_FALSE(is_sanitized("bell\a"));
}

Strip sample() {
  // "ab" red, "日本" bold, "e" + combining mark plain: 2 + 4 + 1 = 7 cells.
  return Strip({Segment("ab", Style("red")), Segment("\xE6\x97\xA5\xE6\x9C\xAC", Style("bold")),
                Segment("e\xCC\x81")});
}

TEST(TextStrip, CropWorksInCells) {
  const Strip s = sample();
  ASSERT_EQ(s.cell_length(), 7);
  struct Case {
    int start, end;
    const char* text;
  } cases[] = {
      {0, 7,
       "ab\xE6\x97\xA5\xE6\x9C\xAC"
       "e\xCC\x81"},
      {0, 2, "ab"},
      {1, 4, "b\xE6\x97\xA5"},
      {0, 3, "ab "},  // half of a wide char becomes a space
      {3, 7,
       " \xE6\x9C\xAC"
       "e\xCC\x81"},  // the other half too
      {3, 5, "  "},
      {6, 7, "e\xCC\x81"},
      {4, 100,
       "\xE6\x9C\xAC"
       "e\xCC\x81"},
      {5, 100, " e\xCC\x81"},
      {4, 4, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + ".." + std::to_string(c.end));
    const Strip r = s.crop(c.start, c.end);
    EXPECT_EQ(r.text(), c.text);
    EXPECT_EQ(r.cell_length(), cell_len(r.text()));
  }
  // Styles follow their text; a half-glyph space keeps the glyph's style.
  const Strip r = s.crop(1, 3);
  ASSERT_EQ(r.segments().size(), 2u);
  EXPECT_EQ(r.segments()[0], Segment("b", Style("red")));
  EXPECT_EQ(r.segments()[1], Segment(" ", Style("bold")));
}

TEST(TextStrip, PadDivideAndStyle) {
  const Strip s = sample();
  EXPECT_EQ(s.extend(10).cell_length(), 10);
  EXPECT_EQ(s.extend(10).text(), s.text() + "   ");
  EXPECT_EQ(s.extend(3).cell_length(), 7);
  EXPECT_EQ(s.adjust(3).text(), "ab ");
  EXPECT_EQ(s.adjust(9).cell_length(), 9);

  const auto parts = s.divide({1, 3, 7});
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].text(), "a");
  EXPECT_EQ(parts[1].text(), "b ");
  EXPECT_EQ(parts[2].text(),
            " \xE6\x9C\xAC"
            "e\xCC\x81");

  const Strip hl = s.apply_style(Style::bg(Color::parse("#264f78")));
  EXPECT_EQ(hl.segments()[0].style.to_string(), "red on #264f78");
  EXPECT_EQ(Strip({Segment("a"), Segment("b"), Segment("c", Style("red"))}).simplify().segments(),
            (std::vector<Segment>{Segment("ab"), Segment("c", Style("red"))}));
}

TEST(TextStrip, RendersWithResetPerStyledSegment) {
  const Strip s({Segment("a", Style("bold")), Segment(" plain "), Segment("b", Style("#010203"))});
  EXPECT_EQ(s.render(ColorSystem::TrueColor), "\x1b[1ma\x1b[0m plain \x1b[38;2;1;2;3mb\x1b[0m");
  EXPECT_EQ(s.render(ColorSystem::None), "a plain b");
}

}  // namespace
}  // namespace orvo::tui
