#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/console.hpp"
#include "tui/framework/text/text.hpp"

namespace orvo::tui {
namespace {

std::vector<std::string> rows(const Text& t, int width) {
  std::vector<std::string> out;
  for (const Strip& s : t.rich_wrap(width)) {
    EXPECT_LE(s.cell_length(), width) << s.text();
    EXPECT_EQ(s.cell_length(), cell_len(s.text())) << s.text();
    out.push_back(s.text());
  }
  return out;
}

using Rows = std::vector<std::string>;

TEST(TextLayout, WrapsAtSpacesFoldsLongWordsHonoursNewlines) {
  struct Case {
    const char* text;
    int width;
    Rows rows;
  } cases[] = {
      {"", 10, {""}},
      {"hello world", 11, {"hello world"}},
      {"hello world", 5, {"hello", "world"}},
      {"hello world", 8, {"hello", "world"}},
      {"a   b", 10, {"a   b"}},
      {"a   b", 3, {"a", "b"}},
      {"  ab cd", 4, {"  ab", "cd"}},
      {"abcdefghij", 4, {"abcd", "efgh", "ij"}},
      {"x abcdefghij y", 4, {"x", "abcd", "efgh", "ij y"}},
      {"a\n\nb", 5, {"a", "", "b"}},
      {"a\n", 5, {"a", ""}},
      {"trailing   ", 8, {"trailing"}},
      {"trailing   ", 10, {"trailing  "}},
      {"code   \nab  cd  ", 4, {"code", "ab", "cd  "}},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x83\x86",
       5,
       {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE8\xAA\x9E\xE3\x83\x86"}},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 1, {" ", " ", " "}},  // a row narrower than a glyph
      {"e\xCC\x81"
       "e\xCC\x81"
       "e\xCC\x81",
       2,
       {"e\xCC\x81"
        "e\xCC\x81",
        "e\xCC\x81"}},
      {"ok \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD done",
       5,
       {"ok \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", "done"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " @" + std::to_string(c.width));
    EXPECT_EQ(rows(Text(c.text), c.width), c.rows);
  }
}

TEST(TextLayout, NoWrapAndOverflow) {
  struct Case {
    const char* text;
    Overflow overflow;
    bool no_wrap;
    int width;
    Rows rows;
  } cases[] = {
      {"hello world", Overflow::Crop, true, 5, {"hello"}},
      {"hello world", Overflow::Ellipsis, true, 5, {"hell\xE2\x80\xA6"}},
      {"hello", Overflow::Ellipsis, true, 5, {"hello"}},
      {"hello world", Overflow::Fold, true, 5, {"hello", " worl", "d"}},
      {"one\ntwo three", Overflow::Ellipsis, true, 4, {"one", "two\xE2\x80\xA6"}},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
       Overflow::Ellipsis,
       true,
       4,
       {"\xE6\x97\xA5\xE2\x80\xA6"}},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
       Overflow::Crop,
       true,
       5,
       {"\xE6\x97\xA5\xE6\x9C\xAC"}},
      {"see https://example.com/a/b ok",
       Overflow::Ellipsis,
       false,
       10,
       {"see", "https://e\xE2\x80\xA6", "ok"}},
      {"see https://example.com/a/b ok", Overflow::Crop, false, 10, {"see", "https://ex", "ok"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Text t(c.text);
    t.no_wrap = c.no_wrap;
    t.overflow = c.overflow;
    EXPECT_EQ(rows(t, c.width), c.rows);
  }
}

TEST(TextLayout, EllipsisTakesTheStyleOfTheCutText) {
  Text t("", Style(), true, Overflow::Ellipsis);
  t.append("ab", "red").append("cdef", "bold");
  const auto out = t.rich_wrap(4);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].render(ColorSystem::Standard),
            "\x1b[31mab\x1b[0m\x1b[1mc\x1b[0m\x1b[1m\xE2\x80\xA6\x1b[0m");
}

TEST(TextLayout, StylesSpansAndBase) {
  Text t("", Style("italic"));
  t.append("bold", "bold").append(" plain ").append("red", "red");
  t.stylize(Style("underline"), 2, 7);  // over "ld pl"
  EXPECT_EQ(t.plain(), "bold plain red");
  const Strip row = t.to_strip();
  std::vector<std::string> got;
  for (const auto& s : row.segments()) got.push_back(s.text + "=" + s.style.to_string());
  EXPECT_EQ(got,
            (std::vector<std::string>{"bo=bold italic", "ld=bold italic underline",
                                      " pl=italic underline", "ain =italic", "red=italic red"}));
  // Appending another Text keeps its base style and spans.
  Text other("x", Style("dim"));
  other.stylize(Style("red"), 0, 1);
  Text joined("a");
  joined.append(other);
  EXPECT_EQ(joined.spans().size(), 2u);
  EXPECT_EQ(joined.to_strip().segments().back().style.to_string(), "dim red");
}

TEST(TextLayout, WrappedRowsKeepStyles) {
  Text t;
  t.append("aaa ", "red").append("bbb", "bold");
  const auto out = t.rich_wrap(4);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].segments(), (std::vector<Segment>{Segment("aaa", Style("red"))}));
  EXPECT_EQ(out[1].segments(), (std::vector<Segment>{Segment("bbb", Style("bold"))}));
}

TEST(TextLayout, CleansTextOnTheWayIn) {
  EXPECT_EQ(Text("a\tb").plain(), "a       b");
  EXPECT_EQ(Text("abc\tb\n\tc").plain(), "abc     b\n        c");
  EXPECT_EQ(Text("\xE6\x97\xA5\tb").plain(), "\xE6\x97\xA5      b");  // tab stops count cells
  EXPECT_EQ(Text("a\x1b[31mb\r").plain(), "a\xEF\xBF\xBD[31mb\xEF\xBF\xBD");
  EXPECT_EQ(Text("bad \xFF byte").plain(), "bad \xEF\xBF\xBD byte");
}

TEST(TextLayout, Justify) {
  Text t("ab");
  t.justify = Justify::Right;
  EXPECT_EQ(rows(t, 5), Rows{"   ab"});
  t.justify = Justify::Center;
  EXPECT_EQ(rows(t, 6), Rows{"  ab"});
}

TEST(TextMarkup, TagsAndLiterals) {
  struct Case {
    const char* markup;
    const char* plain;
    std::vector<std::string> spans;  // "start-end=style"
  } cases[] = {
      {"[bold]hi[/] there", "hi there", {"0-2=bold"}},
      {"[bold red]x[/bold red]y", "xy", {"0-1=bold red"}},
      {"[dim]a[bold]b[/]c[/]", "abc", {"0-3=dim", "1-2=bold"}},
      {"[bold]unclosed", "unclosed", {"0-8=bold"}},
      {"[dim]a[bold]b[/dim]c", "abc", {"0-2=dim", "1-3=bold"}},
      {"\\[bold]x", "[bold]x", {}},
      {"\\\\[bold]x", "\\x", {"1-2=bold"}},
      {"[/]", "[/]", {}},
      {"a[/bold]b", "a[/bold]b", {}},
      {"[bold]x[/italic]", "x[/italic]", {"0-10=bold"}},
      {"[notastyle]x", "[notastyle]x", {}},
      {"list[1]", "list[1]", {}},
      {"a[b", "a[b", {}},
      {"[", "[", {}},
      {"[]", "[]", {}},
      {"[[bold]x[/]", "[x", {"1-2=bold"}},
      {"[#5f87ff]blue[/] [on #264f78]sel[/]", "blue sel", {"0-4=#5f87ff", "5-8=on #264f78"}},
      {"[bold]\x1b[31m[/]", "\xEF\xBF\xBD[31m", {"0-7=bold"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.markup);
    const Text t = Text::from_markup(c.markup);
    EXPECT_EQ(t.plain(), c.plain);
    std::vector<std::string> spans;
    for (const auto& s : t.spans())
      spans.push_back(std::to_string(s.start) + "-" + std::to_string(s.end) + "=" +
                      s.style.to_string());
    EXPECT_EQ(spans, c.spans);
  }
}

TEST(TextMarkup, EscapeRoundTripsAndThemeNames) {
  for (const char* s : {"plain", "[bold]", "a\\[b", "\\", "x\\\\[y]", "[[", "]"}) {
    SCOPED_TRACE(s);
    EXPECT_EQ(Text::from_markup(escape_markup(s)).plain(), s);
  }
  const Theme theme{{"warn", "bold yellow"}};
  const Text t = render_markup("[warn]w[/warn]", Style(), &theme);
  ASSERT_EQ(t.spans().size(), 1u);
  EXPECT_EQ(t.spans()[0].style.to_string(), "bold yellow");
}

TEST(TextConsole, PrintsRowsWithSgrAndResets) {
  std::ostringstream out;
  Console console(ConsoleOptions{10, ColorSystem::TrueColor, true, &out, false, false});
  Text t("hello world", Style("bold"));
  console.print(t);
  EXPECT_EQ(out.str(), "\x1b[1mhello\x1b[0m\n\x1b[1mworld\x1b[0m\n");
  console.print("[red]x[/] y");
  EXPECT_EQ(out.str().substr(out.str().size() - 13), "\x1b[31mx\x1b[0m y\n");
}

TEST(TextConsole, ColourOffWithoutTerminalOrWithNoColor) {
  std::ostringstream out;
  Console not_tty(ConsoleOptions{20, ColorSystem::TrueColor, false, &out, false, false});
  EXPECT_EQ(not_tty.color_system(), ColorSystem::None);
  not_tty.print(Text("x", Style("bold red")));
  EXPECT_EQ(out.str(), "x\n");
  Console no_color(ConsoleOptions{20, ColorSystem::TrueColor, true, nullptr, true, false});
  EXPECT_EQ(no_color.color_system(), ColorSystem::Monochrome);
  Console forced(ConsoleOptions{20, ColorSystem::EightBit, true, nullptr, false, false});
  EXPECT_EQ(forced.color_system(), ColorSystem::EightBit);
  forced.print(Text("x", Style("#ff0000")));
  EXPECT_EQ(forced.buffer(), "\x1b[38;5;196mx\x1b[0m\n");
  EXPECT_EQ(forced.export_text(), "x\n");
  EXPECT_EQ(forced.take_buffer(), "\x1b[38;5;196mx\x1b[0m\n");
  EXPECT_EQ(forced.buffer(), "");
}

TEST(TextConsole, NoColorFromTheEnvironment) {
  ::setenv("NO_COLOR", "1", 1);
  std::ostringstream out;
  Console console(out, 20, ColorSystem::TrueColor, true);
  ::unsetenv("NO_COLOR");
  // Colours go; bold, dim, italic, underline and reverse stay.
  EXPECT_EQ(console.color_system(), ColorSystem::Monochrome);
  console.print(Text("x", Style("bold red on blue")));
  console.print(Text("y", Style("#ff0000")));
  console.print(Text("z", Style("dim italic underline reverse")));
  EXPECT_EQ(out.str(), "\x1b[1mx\x1b[0m\ny\n\x1b[2;3;4;7mz\x1b[0m\n");
}

TEST(TextStrip, ControlsInSegmentsAreReplaced) {
  const Strip s({Segment("a\x1b]52;c;eA==\x07", Style("bold")), Segment("\tb")});
  EXPECT_EQ(s.text(),
            "a\xEF\xBF\xBD]52;c;eA==\xEF\xBF\xBD\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(s.cell_length(), 15);
  EXPECT_EQ(s.render(ColorSystem::None).find('\x1b'), std::string::npos);
}

TEST(TextConsole, ThemesResolveNamesFirst) {
  Console console(ConsoleOptions{20, ColorSystem::TrueColor, true, nullptr, false, false});
  EXPECT_EQ(console.get_style("markdown.strong"), Style("bold"));
  EXPECT_EQ(console.get_style("bold red"), Style("bold red"));
  EXPECT_THROW(console.get_style("no.such.name"), StyleSyntaxError);
  EXPECT_EQ(console.get_style("no.such.name", Style("dim")), Style("dim"));
  console.push_theme(Theme{{"markdown.strong", "#ff0000"}, {"bold", "italic"}});
  EXPECT_EQ(console.get_style("markdown.strong"), Style("#ff0000"));
  EXPECT_EQ(console.get_style("markdown.em"), Style("italic"));  // inherited
  EXPECT_EQ(console.get_style("bold"), Style("italic"));         // names before definitions
  console.pop_theme();
  console.pop_theme();  // never below the default theme
  EXPECT_EQ(console.get_style("markdown.strong"), Style("bold"));
  EXPECT_THROW((Theme{{"x", "not a style"}}), StyleSyntaxError);
}

}  // namespace
}  // namespace orvo::tui
