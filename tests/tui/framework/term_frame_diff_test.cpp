#include <gtest/gtest.h>

#include <string>

#include "tui/framework/headless/virtual_terminal.hpp"
#include "tui/framework/term/frame_diff.hpp"
#include "tui/framework/text/segment.hpp"

namespace orvo::tui {
namespace {

CellStyle red() {
  return to_cell_style(Style::parse("red"));
}

// ---- Cell buffer: wide graphemes are never half-overwritten ----

struct WideCase {
  const char* name;
  int x;             // where the overwrite starts
  const char* text;  // what is written there
  const char* want;  // the row afterwards ("界" sits at columns 2-3 before)
};

class WideOverwrite : public ::testing::TestWithParam<WideCase> {};

TEST_P(WideOverwrite, OtherHalfBecomesSpace) {
  const WideCase& c = GetParam();
  CellBuffer buf({8, 1});
  buf.draw_text(0, 0, "ab界cd");
  buf.draw_text(c.x, 0, c.text);
  EXPECT_EQ(buf.plain_text(false), c.want) << c.name;
  // Every wide left half is followed by its right half, and no right half stands alone.
  for (int x = 0; x < 8; ++x) {
    const Cell& cell = buf.at(x, 0);
    if (cell.width == 2) {
      ASSERT_LT(x + 1, 8);
      EXPECT_EQ(buf.at(x + 1, 0).width, 0) << c.name << " at " << x;
    }
    if (cell.width == 0) {
      ASSERT_GT(x, 0);
      EXPECT_EQ(buf.at(x - 1, 0).width, 2) << c.name << " at " << x;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(CellBuffer, WideOverwrite,
                         ::testing::Values(WideCase{"left half", 2, "x", "abx cd  "},
                                           WideCase{"right half", 3, "x", "ab xcd  "},
                                           WideCase{"wide over right half", 3, "好", "ab 好d  "},
                                           WideCase{"wide over left half", 1, "好", "a好 cd  "},
                                           WideCase{"exactly", 2, "好", "ab好cd  "},
                                           WideCase{"wide at last column becomes space", 7, "好",
                                                    "ab界cd  "},
                                           WideCase{"wide chain", 1, "好好", "a好好d  "}));

TEST(CellBuffer, ClipCutsWideGraphemesIntoSpaces) {
  CellBuffer buf({6, 1});
  // Clip columns 1..3: "界" at 0-1 straddles the left edge, "好" at 2-3 fits, "字" at 4-5 is out.
  buf.draw_text(0, 0, "界好字", red(), Region{1, 0, 3, 1});
  EXPECT_EQ(buf.plain_text(false), "  好  ");
  EXPECT_EQ(buf.at(1, 0).style, red());
  // The right edge: a wide grapheme whose right half would be clipped becomes a space.
  CellBuffer b2({6, 1});
  const int end = b2.draw_text(0, 0, "a界", {}, Region{0, 0, 2, 1});
  EXPECT_EQ(end, 3);  // the column after the text, clipped or not
  EXPECT_EQ(b2.plain_text(), "a");
}

TEST(CellBuffer, ControlsAndInvalidBytesDrawAsReplacement) {
  CellBuffer buf({8, 1});
  buf.draw_text(0, 0, "a\x1b[31mb\xff");
  EXPECT_EQ(buf.plain_text(), "a\xEF\xBF\xBD[31mb\xEF\xBF\xBD");
}

TEST(CellBuffer, DrawsStripsWithTheirStyles) {
  CellBuffer buf({10, 1});
  const Strip strip({Segment("ab", Style::parse("bold")), Segment("界", Style::parse("on blue"))});
  EXPECT_EQ(buf.draw_strip(1, 0, strip), 5);
  EXPECT_EQ(buf.plain_text(), " ab界");
  EXPECT_EQ(buf.at(1, 0).style.attrs, Style::Bold);
  EXPECT_EQ(buf.at(3, 0).style.bg, Color::standard(4));
  EXPECT_EQ(buf.ansi_text(), " \x1b[1mab\x1b[0;44m界\x1b[0m     ");
}

TEST(CellBuffer, PlainTextTrimsOnlyWhenAsked) {
  CellBuffer buf({4, 2});
  buf.draw_text(0, 1, "x");
  EXPECT_EQ(buf.plain_text(), "\nx");
  EXPECT_EQ(buf.plain_text(false), "    \nx   ");
}

// ---- FrameDiffer: the bytes written ----

TEST(FrameDiffer, FirstFrameClearsThenWritesOnlyNonBlankCells) {
  FrameDiffer comp({10, 3});
  comp.frame().draw_text(2, 1, "hi");
  EXPECT_EQ(comp.render(), "\x1b[0m\x1b[H\x1b[2J\x1b[2;3Hhi");
  EXPECT_EQ(comp.render(), "");  // nothing changed
}

TEST(FrameDiffer, OneCellChange) {
  FrameDiffer comp({200, 60});
  comp.frame().fill(comp.frame().region(), to_cell_style(Style::parse("#aabbcc on #112233")));
  comp.render();
  comp.frame().put(120, 40, "x", 1, to_cell_style(Style::parse("bold #ffffff on #112233")));
  const std::string bytes = comp.render();
  EXPECT_EQ(bytes, "\x1b[41;121H\x1b[1;38;2;255;255;255;48;2;17;34;51mx\x1b[0m");
  EXPECT_LT(bytes.size(), 64u);
}

TEST(FrameDiffer, MovesTheCursorOnlyWhenNotContiguous) {
  FrameDiffer comp({40, 4});
  comp.render();
  comp.frame().draw_text(0, 0, "abc");  // contiguous: one CUP
  comp.frame().draw_text(5, 0, "de");   // short gap of blanks: rewritten, no move
  comp.frame().draw_text(30, 0, "fg");  // long gap: cursor forward
  comp.frame().draw_text(1, 2, "h");    // another row: CUP
  EXPECT_EQ(comp.render(), "\x1b[Habc  de\x1b[23Cfg\x1b[3;2Hh");
}

TEST(FrameDiffer, SgrChangesOnlyWhereTheStyleChanges) {
  FrameDiffer comp({20, 1});
  comp.render();
  const CellStyle bold = to_cell_style(Style::parse("bold"));
  const CellStyle bold_red = to_cell_style(Style::parse("bold red"));
  comp.frame().draw_text(0, 0, "aa", bold);
  comp.frame().draw_text(2, 0, "bb", bold_red);
  comp.frame().draw_text(4, 0, "cc", red());
  comp.frame().draw_text(6, 0, "dd");
  EXPECT_EQ(comp.render(), "\x1b[H\x1b[1maa\x1b[31mbb\x1b[22mcc\x1b[0mdd");
}

TEST(FrameDiffer, WithoutColoursOnlyAttributesAreWritten) {
  FrameDiffer comp({20, 1});
  comp.render();
  comp.set_colors(false);  // NO_COLOR
  comp.frame().draw_text(0, 0, "aa", to_cell_style(Style::parse("bold #ff0000 on #264f78")));
  comp.frame().draw_text(2, 0, "bb", to_cell_style(Style::parse("reverse underline red")));
  comp.frame().draw_text(4, 0, "cc", red());
  comp.frame().draw_text(6, 0, "dd", to_cell_style(Style::parse("dim on blue")));
  // The change repaints everything.
  EXPECT_EQ(comp.render(),
            "\x1b[0m\x1b[H\x1b[2J\x1b[H\x1b[1maa\x1b[0;4;7mbb\x1b[0mcc\x1b[2mdd\x1b[0m");
  comp.set_colors(true);
  EXPECT_NE(comp.render().find("38;2;255;0;0"), std::string::npos);
}

TEST(FrameDiffer, WideGraphemeReplacedByNarrowCells) {
  FrameDiffer comp({6, 1});
  comp.frame().draw_text(0, 0, "界");
  comp.render();
  comp.frame().draw_text(0, 0, "ab");
  EXPECT_EQ(comp.render(), "\x1b[Hab");
  comp.frame().draw_text(1, 0, "好");  // over the right half of nothing wide: "a好"
  EXPECT_EQ(comp.render(), "\x1b[1;2H好");
  comp.frame().draw_text(2, 0, "x");  // over the right half of "好": its left half is blanked
  EXPECT_EQ(comp.render(), "\x1b[1;2H x");
  EXPECT_EQ(comp.shown().plain_text(), "a x");
}

TEST(FrameDiffer, InvalidateAndResizeRepaintEverything) {
  FrameDiffer comp({5, 2});
  comp.frame().draw_text(0, 0, "ab");
  comp.render();
  comp.invalidate();
  EXPECT_EQ(comp.render(), "\x1b[0m\x1b[H\x1b[2J\x1b[Hab");
  comp.resize({3, 1});
  EXPECT_EQ(comp.frame().plain_text(), "");
  EXPECT_EQ(comp.render(), "\x1b[0m\x1b[H\x1b[2J");
  comp.frame().resize({4, 2});  // behind the frame differ's back: still a full repaint
  comp.frame().draw_text(3, 1, "z");
  EXPECT_EQ(comp.render(), "\x1b[0m\x1b[H\x1b[2J\x1b[2;4Hz");
}

TEST(FrameDiffer, LastColumnLeavesTheCursorUnknown) {
  // After writing the last column the terminal's cursor waits to wrap; the next cell on the next
  // row needs an explicit move rather than relying on the wrap.
  FrameDiffer comp({3, 2});
  comp.render();
  comp.frame().draw_text(0, 0, "abc");
  comp.frame().draw_text(0, 1, "d");
  EXPECT_EQ(comp.render(), "\x1b[Habc\x1b[2Hd");
}

TEST(FrameDiffer, OutputReplayedOnAVirtualTerminalGivesTheFrame) {
  FrameDiffer comp({12, 3});
  VirtualTerminal vt({12, 3});
  comp.frame().draw_text(0, 0, "hello 世界", to_cell_style(Style::parse("bold #5f87ff")));
  comp.frame().draw_text(2, 2, "x", to_cell_style(Style::parse("on #264f78")));
  vt.feed(comp.render());
  comp.frame().draw_text(7, 0, "X");  // over the right half of 世
  comp.frame().fill(Region{0, 2, 12, 1}, {});
  vt.feed(comp.render());
  EXPECT_EQ(vt.screenshot(), "hello  X界\n\n");
  EXPECT_EQ(vt.screenshot_ansi(), comp.frame().ansi_text());
}

}  // namespace
}  // namespace orvo::tui
