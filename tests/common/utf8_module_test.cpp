// The one owner of UTF-8: decoding and encoding, invalid input, grapheme clusters, cell widths and
// the line scanner, as tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/utf8.hpp"

namespace orvo::text {
namespace {

TEST(Utf8Module, EncodeDecodeRoundTrip) {
  const char32_t cps[] = {0x0,    0x41,   0x7F,   0x80,    0x7FF,   0x800,   0xD7FF,
                          0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x1F44D, 0x10FFFF};
  for (const char32_t cp : cps) {
    std::string s;
    encode(cp, s);
    std::size_t pos = 0;
    EXPECT_EQ(decode(s, pos), cp) << std::hex << static_cast<unsigned>(cp);
    EXPECT_EQ(pos, s.size());
    EXPECT_EQ(sequence_length(s, 0), s.size());
  }
  // What cannot be encoded becomes U+FFFD.
  for (const char32_t cp : {char32_t{0xD800}, char32_t{0xDFFF}, char32_t{0x110000}}) {
    std::string s;
    encode(cp, s);
    EXPECT_EQ(s, "\uFFFD");
  }
}

// Every invalid sequence reads as U+FFFD one byte at a time: `want` lists the code points.
TEST(Utf8Module, InvalidSequencesReadOneByteAtATime) {
  struct Case {
    const char* name;
    std::string in;
    std::vector<char32_t> want;
  } cases[] = {
      {"overlong slash", "\xC0\xAF", {0xFFFD, 0xFFFD}},
      {"overlong 3-byte", "\xE0\x80\xAF", {0xFFFD, 0xFFFD, 0xFFFD}},
      {"overlong 4-byte", "\xF0\x80\x80\xAF", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},
      {"high surrogate", "\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},
      {"low surrogate", "\xED\xBF\xBF", {0xFFFD, 0xFFFD, 0xFFFD}},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},
      {"F5 lead", "\xF5\x80", {0xFFFD, 0xFFFD}},
      {"truncated at end", "a\xE6\x97", {'a', 0xFFFD, 0xFFFD}},
      {"truncated before ASCII", "\xF0\x9F\x91x", {0xFFFD, 0xFFFD, 0xFFFD, 'x'}},
      {"stray continuation", "\x80\xBF", {0xFFFD, 0xFFFD}},
      {"FF byte", "\xFF", {0xFFFD}},
      {"valid after invalid", "\xC3\xC3\xA9", {0xFFFD, 0xE9}},
  };
  for (const auto& c : cases) {
    std::vector<char32_t> got;
    std::size_t pos = 0;
    while (pos < c.in.size()) got.push_back(decode(c.in, pos));
    EXPECT_EQ(got, c.want) << c.name;
    EXPECT_EQ(count_chars(c.in), c.want.size()) << c.name;
    EXPECT_EQ(sequence_length(c.in, 0), c.want[0] == 0xFFFD ? 0u : 1u) << c.name;
    // Measuring never fails: each invalid byte is one replacement character, one cell.
    EXPECT_GE(cell_len(c.in), 1) << c.name;
  }
}

TEST(Utf8Module, IncompleteTailAndCharStart) {
  struct Case {
    std::string in;
    std::size_t tail;
  } cases[] = {
      {"", 0},
      {"ab", 0},
      {"a\xC3", 1},
      {"a\xE6\x97", 2},
      {"\xF0\x9F\x91", 3},
      {"\xF0\x9F\x91\x8D", 0},
      {"\xC3\xA9", 0},
      {"\x80\x80\x80\x80", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(incomplete_tail(c.in), c.tail) << c.in;
  const std::string s = "a\xF0\x9F\x91\x8D";
  EXPECT_EQ(char_start_from(s, 2), s.size());
  EXPECT_EQ(char_start_from(s, 1), 1u);
  EXPECT_EQ(char_start_from(s, 0), 0u);
}

// Clusters as utf8proc segments them, each with its width.
TEST(Utf8Module, GraphemeClusters) {
  struct Case {
    const char* name;
    std::string in;
    std::vector<std::string> clusters;
    std::vector<int> cells;
  } cases[] = {
      {"ascii", "ab", {"a", "b"}, {1, 1}},
      {"CR LF is one", "\r\n", {"\r\n"}, {0}},
      {"combining acute", "e\u0301x", {"e\u0301", "x"}, {1, 1}},
      {"two combining marks", "a\u0300\u0316", {"a\u0300\u0316"}, {1}},
      {"ZWJ family",
       "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466!",
       {"\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466", "!"},
       {2, 1}},
      {"two flags",
       "\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7",
       {"\U0001F1E9\U0001F1EA", "\U0001F1EB\U0001F1F7"},
       {2, 2}},
      {"skin tone", "\U0001F44D\U0001F3FDx", {"\U0001F44D\U0001F3FD", "x"}, {2, 1}},
      {"sun with VS16", "\u2600\uFE0F\u2600", {"\u2600\uFE0F", "\u2600"}, {2, 1}},
      {"invalid byte alone", "\xFF\u0301", {"\xFF\u0301"}, {1}},
      {"hangul jamo", "\u1100\u1161\u11A8", {"\u1100\u1161\u11A8"}, {2}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> clusters;
    std::vector<int> cells;
    for_each_grapheme(c.in, [&](const Grapheme& g) {
      clusters.emplace_back(c.in.substr(g.begin, g.end - g.begin));
      cells.push_back(g.cells);
    });
    EXPECT_EQ(clusters, c.clusters) << c.name;
    EXPECT_EQ(cells, c.cells) << c.name;
  }
}

TEST(Utf8Module, CellWidths) {
  struct Case {
    const char* name;
    std::string in;
    int cells;
  } cases[] = {
      {"empty", "", 0},
      {"ascii", "hello", 5},
      {"sun with VS16", "\u2600\uFE0F", 2},
      {"sun alone", "\u2600", 1},
      {"heart with VS16 after text", "ok \u2764\uFE0F", 5},
      {"CJK", "\u65E5\u672C", 4},
      {"fullwidth A", "\uFF21", 2},
      {"combining after ASCII", "e\u0301", 1},
      {"combining alone", "\u0301", 0},
      {"zero width space", "a\u200Bb", 2},
      {"C0 controls", "\x01\x1B\t", 0},
      {"DEL and C1", "\x7F\u0085\u009B", 0},
      {"ZWJ family", "\U0001F468\u200D\U0001F469\u200D\U0001F467", 2},
      {"flag", "\U0001F1EF\U0001F1F5", 2},
      {"lone regional indicator", "\U0001F1EF", 2},
      {"thumbs up with tone", "\U0001F44D\U0001F3FD", 2},
      {"invalid bytes", "a\xFF\xFE", 3},
  };
  for (const auto& c : cases) EXPECT_EQ(cell_len(c.in), c.cells) << c.name;
}

TEST(Utf8Module, CodePointWidths) {
  struct Case {
    char32_t cp;
    int cells;
  } cases[] = {
      {'a', 1},    {0x00, 0},   {0x1B, 0},   {0x7F, 0},   {0x9B, 0},    {0xA0, 1},    {0x0301, 0},
      {0x200B, 0}, {0x2600, 1}, {0xFE0F, 0}, {0x4E00, 2}, {0x1F600, 2}, {0x1F1E6, 2}, {0xFFFD, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(char_width(c.cp), c.cells) << std::hex << static_cast<unsigned>(c.cp);
}

// A prefix never splits a cluster, and a wide one that would straddle the limit stays out.
TEST(Utf8Module, PrefixByCells) {
  struct Case {
    std::string in;
    int max;
    std::string want;
  } cases[] = {
      {"abc", 2, "ab"},
      {"abc", 0, ""},
      {"abc", -1, ""},
      {"a\u65E5b", 2, "a"},
      {"a\u65E5b", 3, "a\u65E5"},
      {"ab\u0301c", 2, "ab\u0301"},
      {"x\u2600\uFE0Fy", 2, "x"},
      {"x\u2600y", 2, "x\u2600"},
      {"\U0001F44D\U0001F3FD!", 2, "\U0001F44D\U0001F3FD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(take_columns(c.in, c.max), c.want) << c.in << " in " << c.max;
    EXPECT_EQ(cell_prefix(c.in, c.max).cells, cell_len(c.want)) << c.in << " in " << c.max;
  }
}

// The word-at-a-time scanner agrees with a byte-by-byte reading of the boundaries wherever the
// boundary falls within a word, and across a word edge.
TEST(Utf8Module, LineScannerFindsBoundariesAtEveryOffset) {
  const std::string breaks[] = {"\n",   "\r\n",   "\r",     "\v",    "\f",
                                "\x1c", "\u0085", "\u2028", "\u2029"};
  for (const auto& br : breaks) {
    for (std::size_t at = 0; at < 20; ++at) {
      const std::string head(at, 'x');
      const std::string s = head + br + "\u00e9\u20ac tail";  // C2/E2-free lookalikes after it
      const auto lines = split_lines(s);
      ASSERT_EQ(lines.size(), 2u) << at;
      EXPECT_EQ(lines[0], head);
      EXPECT_EQ(lines[1], "\u00e9\u20ac tail");
      EXPECT_EQ(count_lines(s), 2u);
      EXPECT_EQ(line_views(s, 1).size(), 1u);
    }
  }
  // Lead bytes of a boundary that are not one: no break.
  const std::string not_breaks = std::string(9, 'y') + "\u00a0\u2030\u2000\xC2\xE2\x80";
  EXPECT_EQ(count_lines(not_breaks), 1u);
  EXPECT_EQ(split_lines(not_breaks), std::vector<std::string_view>{not_breaks});
  EXPECT_EQ(line_break_at("\r\n", 0), 2u);
  EXPECT_EQ(line_break_at("\xE2\x80", 0), 0u);  // truncated LS
}

}  // namespace
}  // namespace orvo::text
