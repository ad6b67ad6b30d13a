#include "common/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvo::text {
namespace {

using Lines = std::vector<std::string_view>;

TEST(Utf8, CountAndTakeByCodePoints) {
  EXPECT_EQ(count_chars(""), 0u);
  EXPECT_EQ(count_chars("héllo"), 5u);
  EXPECT_EQ(count_chars("日本🙂"), 3u);
  EXPECT_EQ(take_chars("héllo", 2), "hé");
  EXPECT_EQ(take_chars("日本🙂x", 3), "日本🙂");
  EXPECT_EQ(take_chars("ab", 10), "ab");
}

TEST(Utf8, InvalidBytesCountAsOneAndNeverOverrun) {
  // A truncated 3-byte sequence at the end, a stray continuation byte, an overlong form.
  const std::string bad =
      "a\xE6\x97"
      "b\x80"
      "\xC0\xAF";
  EXPECT_EQ(count_chars(bad), 7u);
  EXPECT_EQ(count_chars(std::string_view("\xF0\x9F", 2)), 2u);
  std::size_t pos = 0;
  EXPECT_EQ(decode("\xED\xA0\x80", pos), kReplacement);  // a surrogate
  EXPECT_EQ(pos, 1u);
}

TEST(Utf8, SplitLinesAtEveryBoundary) {
  struct Case {
    std::string in;
    Lines want;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\n\n", {"a", ""}},
      {"a\r\nb", {"a", "b"}},
      {"a\rb\n", {"a", "b"}},
      {"a\r\rb", {"a", "", "b"}},
      {"a\vb\fc", {"a", "b", "c"}},
      {"a\x1c"
       "b\x1d"
       "c\x1e"
       "d\x1f"
       "e",
       {"a", "b", "c",
        "d\x1f"
        "e"}},
      {"a\u0085b\u2028c\u2029d", {"a", "b", "c", "d"}},
      {"\n", {""}},
      {"x\xC2", {"x\xC2"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_lines(c.in), c.want) << c.in;
}

TEST(Utf8, StripUnicodeWhitespace) {
  EXPECT_EQ(strip("  \t\n a b \u3000\u2029"), "a b");
  EXPECT_EQ(strip("\u00a0\u00a0"), "");
  EXPECT_EQ(strip("x\x80"), "x\x80");  // a stray byte is not whitespace
  EXPECT_FALSE(has_visible(" \n\t\u2028"));
  EXPECT_TRUE(has_visible(" .\n"));
}

TEST(Utf8, TerminalSafeNeutralisesControlsOneColumnEach) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {"plain ünïcode 日本", "plain ünïcode 日本"},
      {"tab\tand\nline", "tab\tand\nline"},
      {"\x1b[31mred\x1b[0m", "\uFFFD[31mred\uFFFD[0m"},
      {"\x1b]52;c;aGk=\x07", "\uFFFD]52;c;aGk=\uFFFD"},
      {"progress\r50%", "progress\uFFFD50%"},
      {"dos\r\nline", "dos\nline"},
      {"c1\u009bX del\x7f", "c1\uFFFDX del\uFFFD"},
      {"bad\xff", "bad\uFFFD"},
  };
  for (const auto& c : cases) {
    const std::string got = terminal_safe(c.in);
    EXPECT_EQ(got, c.want) << c.in;
    EXPECT_EQ(got.find('\x1b'), std::string::npos);
  }
}

// Whole escape sequences go; lone controls stay for terminal_safe to neutralise.
TEST(Utf8, StripEscapesDropsWholeSequences) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {"\x1b[01;34msrc\x1b[0m", "src"},
      {"a\x1b[38;2;1;2;3mb\x1b[?1049hc\x1b[2 qd", "abcd"},
      {"\x1b]0;title\x07x", "x"},
      {"\x1b]52;c;aGk=\x1b\\y", "y"},
      {"\x1b]8;;http://x\xc2\x9clink", "link"},
      {"\x1bPq#0;2;0;0;0\x1b\\z", "z"},
      {"\x1b(Bplain\x1b=\x1b"
       "7",
       "plain"},
      {"\xc2\x9b"
       "31mc1",
       "c1"},
      {"\xc2\x9d"
       "0;t\x07"
       "osc",
       "osc"},
      {"\x1b]0;unterminated\nnext", "\nnext"},
      {"\x1b[12", ""},
      {"lone\x1b", "lone\x1b"},
      {"esc\x1b\x07"
       "bel",
       "esc\x1b\x07"
       "bel"},
      {"\x1b[31\x07m", "\x07m"},
      {"no escapes ünï \t\r\n", "no escapes ünï \t\r\n"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(strip_escapes(c.in), c.want) << c.in;
}

// Text quoted in a message has every control neutralised, line ends and tabs as well.
TEST(Utf8, MessageSafeNeutralisesEveryControl) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {"name", "name"},
      {"\x1b]0;pwned\x07", "\uFFFD]0;pwned\uFFFD"},
      {"a\nb\tc\r\nd", "a\uFFFDb\uFFFDc\uFFFDd"},
      {"c1\xc2\x9b"
       "31m del\x7f raw\x9b",
       "c1\uFFFD31m del\uFFFD raw\uFFFD"},
      {std::string("nul\0x", 5), "nul\uFFFDx"},
  };
  for (const auto& c : cases) EXPECT_EQ(message_safe(c.in), c.want) << c.in;
}

}  // namespace
}  // namespace orvo::text
