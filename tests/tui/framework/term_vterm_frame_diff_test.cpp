// Replays the frame differ's output on libvterm and compares its screen with the frame, cell by
// cell: text, width, attributes and colours.
#include <gtest/gtest.h>
#include <vterm.h>

#include <random>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "tui/framework/headless/virtual_terminal.hpp"
#include "tui/framework/term/frame_diff.hpp"

namespace orvo::tui {
namespace {

class Vterm {
 public:
  Vterm(int w, int h) : vt_(vterm_new(h, w)), w_(w), h_(h) {
    vterm_set_utf8(vt_, 1);
    screen_ = vterm_obtain_screen(vt_);
    vterm_screen_enable_altscreen(screen_, 1);
    vterm_screen_reset(screen_, 1);
  }
  ~Vterm() { vterm_free(vt_); }
  void feed(std::string_view bytes) { vterm_input_write(vt_, bytes.data(), bytes.size()); }

  // Differences between libvterm's screen and `want`, one line each ("" when equal).
  std::string diff(const CellBuffer& want) const {
    std::string out;
    for (int y = 0; y < h_; ++y) {
      for (int x = 0; x < w_; ++x) {
        const Cell& c = want.at(x, y);
        if (c.width == 0) continue;
        VTermScreenCell v;
        vterm_screen_get_cell(screen_, VTermPos{y, x}, &v);
        std::string text;
        for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && v.chars[i]; ++i)
          text::encode(v.chars[i], text);
        if (text.empty()) text = " ";
        std::string problem;
        if (text != c.text) problem += " text '" + text + "' want '" + c.text + "'";
        if (v.width != c.width) problem += " width " + std::to_string(v.width);
        const auto attr = [&](bool have, std::uint16_t bit, const char* name) {
          if (have != ((c.style.attrs & bit) != 0)) problem += std::string(" attr ") + name;
        };
        attr(v.attrs.bold, Style::Bold, "bold");
        attr(v.attrs.italic, Style::Italic, "italic");
        attr(v.attrs.underline != 0, Style::Underline, "underline");
        attr(v.attrs.reverse, Style::Reverse, "reverse");
        attr(v.attrs.strike, Style::Strike, "strike");
        if (!same_color(v.fg, c.style.fg, true)) problem += " fg";
        if (!same_color(v.bg, c.style.bg, false)) problem += " bg";
        if (!problem.empty())
          out += "(" + std::to_string(x) + "," + std::to_string(y) + ")" + problem + "\n";
      }
    }
    return out;
  }

 private:
  static bool same_color(const VTermColor& v, const Color& c, bool fg) {
    const bool is_default = fg ? VTERM_COLOR_IS_DEFAULT_FG(&v) : VTERM_COLOR_IS_DEFAULT_BG(&v);
    if (c.is_default()) return is_default;
    if (is_default) return false;
    if (c.type() == Color::Type::TrueColor) {
      const Rgb rgb = c.triplet();
      return VTERM_COLOR_IS_RGB(&v) && v.rgb.red == rgb.r && v.rgb.green == rgb.g &&
             v.rgb.blue == rgb.b;
    }
    return VTERM_COLOR_IS_INDEXED(&v) && v.indexed.idx == c.number();
  }

  VTerm* vt_;
  VTermScreen* screen_;
  int w_, h_;
};

TEST(FrameDifferOnVterm, RandomFramesAreReproducedExactly) {
  constexpr int kW = 30, kH = 8;
  const char* const kTexts[] = {"a", "hello", "界", "世界x", "é", "  ", "ab好cd", "—", "█▌"};
  const Style kStyles[] = {Style(),
                           Style::parse("bold"),
                           Style::parse("red"),
                           Style::parse("bold italic #5f87ff on #2a2a2a"),
                           Style::parse("underline color(208)"),
                           Style::parse("reverse on green"),
                           Style::parse("strike bright_cyan"),
                           Style::parse("dim"),
                           Style::parse("on #264f78")};
  std::mt19937 rng(1234);
  const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 20; ++round) {
    FrameDiffer comp({kW, kH});
    Vterm vt(kW, kH);
    vt.feed("\x1b[?1049h");
    for (int frame = 0; frame < 30; ++frame) {
      const int edits = 1 + pick(12);
      for (int e = 0; e < edits; ++e) {
        const CellStyle style = to_cell_style(kStyles[pick(std::size(kStyles))]);
        if (pick(10) == 0) {
          comp.frame().fill(Region{pick(kW), pick(kH), 1 + pick(10), 1 + pick(3)}, style);
        } else {
          comp.frame().draw_text(pick(kW + 2) - 2, pick(kH), kTexts[pick(std::size(kTexts))],
                                 style);
        }
      }
      if (pick(15) == 0) comp.invalidate();
      vt.feed(comp.render());
      const std::string d = vt.diff(comp.frame());
      ASSERT_EQ(d, "") << "round " << round << " frame " << frame << "\n"
                       << comp.frame().plain_text(false);
    }
  }
}

// A log that moves up by a few rows each frame above two fixed rows (a status line and an input
// box), with a scrollbar column that does not move with it: with scrolling on, the differ scrolls
// the log's rows on the terminal, and libvterm and the virtual terminal both end up showing the
// frame exactly, the fixed rows included.
TEST(FrameDifferOnVterm, ScrolledLogIsReproducedExactly) {
  constexpr int kW = 24, kH = 12, kLog = kH - 2;
  const Style kStyles[] = {Style(), Style::parse("bold #5f87ff on #2a2a2a"), Style::parse("red"),
                           Style::parse("on #264f78")};
  std::mt19937 rng(99);
  const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::vector<std::string> log;
  for (int i = 0; i < 200; ++i) {
    std::string row = "row " + std::to_string(i) + (i % 3 ? " 界" : "");
    log.push_back(i % 5 == 0 ? "" : row);  // blank rows, which match many others
  }
  FrameDiffer comp({kW, kH});
  comp.set_scroll(true);
  Vterm vt(kW, kH);
  vt.feed("\x1b[?1049h");
  VirtualTerminal term({kW, kH});
  int scrolled = 0;
  for (int first = 0, frame = 0; first + kLog < static_cast<int>(log.size()); ++frame) {
    CellBuffer& f = comp.frame();
    f.fill(f.region(), to_cell_style(Style::parse("on #101010")));
    for (int y = 0; y < kLog; ++y) {
      const auto& st = kStyles[static_cast<std::size_t>(first + y) % std::size(kStyles)];
      f.draw_text(0, y, log[static_cast<std::size_t>(first + y)], to_cell_style(st));
    }
    f.fill(Region{kW - 1, first * kLog / 200, 1, 3}, to_cell_style(Style::parse("on white")));
    f.draw_text(0, kLog, "status " + std::to_string(frame % 4), to_cell_style(kStyles[1]));
    f.draw_text(0, kLog + 1, "> typed", {});
    const std::string bytes = comp.render();
    scrolled += bytes.find("\x1b[r") != std::string::npos;
    vt.feed(bytes);
    term.feed(bytes);
    ASSERT_EQ(vt.diff(comp.frame()), "") << "frame " << frame << "\n" << f.plain_text(false);
    ASSERT_EQ(term.screenshot(false), f.plain_text(false)) << "frame " << frame;
    first += 1 + pick(3);
  }
  EXPECT_GT(scrolled, 20);
}

}  // namespace
}  // namespace orvo::tui
