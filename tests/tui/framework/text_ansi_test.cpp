#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tui/framework/text/text.hpp"

namespace orvo::tui {
namespace {

std::vector<std::string> spans_of(const Text& t) {
  std::vector<std::string> out;
  for (const auto& s : t.spans())
    out.push_back(t.plain().substr(s.start, s.end - s.start) + "=" + s.style.to_string());
  return out;
}

// No escape or other control may survive into the plain text.
void expect_clean(const Text& t) {
  for (unsigned char c : t.plain()) {
    ASSERT_TRUE(c >= 0x20 || c == '\n') << "control " << int(c) << " in " << t.plain();
    ASSERT_NE(c, 0x7F);
  }
  EXPECT_EQ(t.plain().find("\xC2\x9B"), std::string::npos);
}

using Spans = std::vector<std::string>;

TEST(TextAnsi, Sgr) {
  struct Case {
    const char* ansi;
    const char* plain;
    Spans spans;
  } cases[] = {
      {"\x1b[1mB\x1b[22mN", "BN", {"B=bold"}},
      {"\x1b[2;3;4;7;9mX\x1b[23;24;27;29mY",
       "XY",
       {"X=dim italic underline reverse strike", "Y=dim"}},
      {"\x1b[1;2mX\x1b[22mY", "XY", {"X=bold dim"}},
      {"\x1b[38;5;208mA\x1b[38;2;1;2;3mB\x1b[39mC", "ABC", {"A=color(208)", "B=#010203"}},
      {"\x1b[48;5;17mA\x1b[48;2;4;5;6mB\x1b[49mC", "ABC", {"A=on color(17)", "B=on #040506"}},
      {"\x1b[91;102mA\x1b[37;40mB", "AB", {"A=bright_red on bright_green", "B=white on black"}},
      {"\x1b[38:2::1:2:3mA\x1b[38:2:4:5:6mB\x1b[38:5:9mC",
       "ABC",
       {"A=#010203", "B=#040506", "C=color(9)"}},
      {"\x1b[31mA\x1b[mB\x1b[31mC\x1b[0;1mD", "ABCD", {"A=red", "C=red", "D=bold"}},
      {"\x1b[4:3mA\x1b[4:0mB", "AB", {"A=underline"}},
      {"\x1b[1m\x1b[31mA\x1b[1;31mB", "AB", {"AB=bold red"}},  // same style: one span
      {"\x1b[38;5;999mA\x1b[38;2;300;0;0mB", "AB", {}},        // out of range: ignored
      {"\x1b[38;5mA", "A", {}},                                // truncated
      {"\x1b[99999999999999999;1mA", "A", {"A=bold"}},
      {"\x1b[>4;2mA\x1b[?1mB", "AB", {}},  // private sequences are not SGR
      {"\xC2\x9B"
       "31mA",
       "A",
       {"A=red"}},  // 8-bit CSI in UTF-8 form
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ansi);
    const Text t = Text::from_ansi(c.ansi);
    expect_clean(t);
    EXPECT_EQ(t.plain(), c.plain);
    EXPECT_EQ(spans_of(t), c.spans);
  }
}

TEST(TextAnsi, DropsEveryOtherControl) {
  using namespace std::string_view_literals;
  struct Case {
    std::string_view ansi;
    const char* plain;
  } cases[] = {
      {"a\x1b[2Ab\x1b[10;20Hc\x1b[Kd\x1b[?25le\x1b[2J", "abcde"},
      {"\x1b]0;window title\x07x", "x"},
      {"\x1b]52;c;aGVsbG8=\x1b\\x", "x"},
      {"\x1b]8;;http://example.com\x1b\\link\x1b]8;;\x1b\\", "link"},
      {"\x1b]2;t\xC2\x9Cx", "x"},  // ST in UTF-8 form
      {"\x1bPq#0;2;0;0;0#0~~\x1b\\x", "x"},
      {"\x1b_apc\x1b\\x\x1b^pm\x07y\x1bXsos\x1b\\z", "xyz"},
      {"\x1b]0;unterminated\nnext", "\nnext"},
      {"\x1b]0;t\x1b[1mx", "x"},  // ESC ends the string and starts a new sequence
      {"x\x1b", "x"},
      {"a\x1b"
       "cb\x1b"
       "7c\x1b"
       "8d",
       "abcd"},
      {"a\x1b(Bb\x1b)0c", "abc"},
      {"a\x1b\x1b[1mb", "ab"},
      {"a\x1b[31", "a"},
      {"a\x1b[31\nb", "a\nb"},
      {"a\x07"
       "b\x08"
       "c\0d\x7f"
       "e\x0e"
       "f"sv,
       "abcdef"},
      {"a\xC2\x85"
       "b\xC2\x9D"
       "0;t\x07"
       "c",
       "abc"},
      {"a\r\nb", "a\nb"},
      {"progress 10%\rprogress 55%\rprogress 100%\nnext", "progress 100%\nnext"},
      {"abc\r", "abc"},
      {"abc\r\r\n", "abc\n"},
      {"a\tb", "a       b"},
      {"a\xFF"
       "b\xC3",
       "a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD"},
      {"caf\xC3\xA9 \xE6\x97\xA5", "caf\xC3\xA9 \xE6\x97\xA5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ansi));
    const Text t = Text::from_ansi(c.ansi);
    expect_clean(t);
    EXPECT_EQ(t.plain(), c.plain);
  }
}

TEST(TextAnsi, CarriageReturnDropsStyledTextBeforeIt) {
  const Text t = Text::from_ansi("keep\n\x1b[31mred\r\x1b[32mgreen");
  EXPECT_EQ(t.plain(), "keep\ngreen");
  EXPECT_EQ(spans_of(t), Spans{"green=green"});
}

TEST(TextAnsi, RealToolOutput) {
  struct Case {
    const char* what;
    const char* ansi;
    const char* plain;
    Spans spans;
  } cases[] = {
      {"grep --color",
       "\x1b[35m\x1b[Kinclude/termui/wrap.h\x1b[m\x1b[K\x1b[36m\x1b[K:\x1b[m\x1b[K\x1b[32m\x1b[K397"
       "\x1b[m\x1b[K\x1b[36m\x1b[K:\x1b[m\x1b[K    const int avail_\x1b[01;31m\x1b[Kwidth\x1b[m"
       "\x1b[K = \x1b[01;31m\x1b[Kwidth\x1b[m\x1b[K - indent;",
       "include/termui/wrap.h:397:    const int avail_width = width - indent;",
       {"include/termui/wrap.h=magenta", ":=cyan", "397=green", ":=cyan", "width=bold red",
        "width=bold red"}},
      {"ls --color",
       "drwxr-xr-x  2 dev  dev    4096 Dec  8 12:03 \x1b[0m\x1b[01;34m.\x1b[0m\n"
       "lrwxrwxrwx  1 dev  dev      27 Dec  4 14:03 \x1b[01;36mcompile_commands.json\x1b[0m -> "
       "build/compile_commands.json",
       "drwxr-xr-x  2 dev  dev    4096 Dec  8 12:03 .\n"
       "lrwxrwxrwx  1 dev  dev      27 Dec  4 14:03 compile_commands.json -> "
       "build/compile_commands.json",
       {".=bold blue", "compile_commands.json=bold cyan"}},
      {"gcc -fdiagnostics-color",
       "\x1b[01m\x1b[Ksrc/scrollback.cpp:18:21:\x1b[m\x1b[K \x1b[01;31m\x1b[Kerror: \x1b[m\x1b[Kno "
       "matching function for call to \xE2\x80\x98\x1b[01m\x1b[Kpush_back(int)\x1b[m\x1b[K\xE2\x80"
       "\x99\n      |     \x1b[01;31m\x1b[K~~~~^~~\x1b[m\x1b[K",
       "src/scrollback.cpp:18:21: error: no matching function for call to "
       "\xE2\x80\x98push_back(int)\xE2\x80\x99\n      |     ~~~~^~~",
       {"src/scrollback.cpp:18:21:=bold", "error: =bold red", "push_back(int)=bold",
        "~~~~^~~=bold red"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Text t = Text::from_ansi(c.ansi);
    expect_clean(t);
    EXPECT_EQ(t.plain(), c.plain);
    EXPECT_EQ(spans_of(t), c.spans);
  }
}

// A small tool corpus (tests/data/corpus/tool), row by row: no control survives, rows fit, and
// rendering a row back to ANSI loses nothing.
TEST(TextAnsi, ToolCorpusLeavesNoControls) {
  const std::filesystem::path dir = KV_SOURCE_DIR "/tests/data/corpus/tool";
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  int styled = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string line;
    std::istringstream lines(ss.str());
    while (std::getline(lines, line)) {
      const Text t = Text::from_ansi(line);
      expect_clean(t);
      styled += static_cast<int>(t.spans().size());
      for (const Strip& row : t.rich_wrap(40)) EXPECT_LE(row.cell_length(), 40);
      // Rendered back to SGR, the row parses to itself.
      const Strip row = t.to_strip().simplify();
      EXPECT_EQ(Text::from_ansi(row.render(ColorSystem::TrueColor)).to_strip().simplify(), row);
    }
  }
  EXPECT_GT(styled, 100);
}

}  // namespace
}  // namespace orvo::tui
