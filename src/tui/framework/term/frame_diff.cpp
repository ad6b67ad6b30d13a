#include "tui/framework/term/frame_diff.hpp"

#include <algorithm>

namespace orvo::tui {

namespace {

// CUP: cursor to row y, column x (1-based on the wire); CSI H alone is the home position.
void append_cup(int x, int y, std::string& out) {
  out += "\x1b[";
  if (x == 0 && y == 0) {
    out += 'H';
    return;
  }
  out += std::to_string(y + 1);
  if (x > 0) {
    out += ';';
    out += std::to_string(x + 1);
  }
  out += 'H';
}

int digits(int n) {
  return n < 10 ? 1 : n < 100 ? 2 : n < 1000 ? 3 : 4;
}

bool same_row(const Cell* a, const Cell* b, int w) {
  for (int x = 0; x < w; ++x)
    if (!(a[x] == b[x])) return false;
  return true;
}

}  // namespace

FrameDiffer::FrameDiffer(Size size) : frame_(size), shown_(size) {}

void FrameDiffer::resize(Size size) {
  frame_.resize(size);
  shown_.resize(size);
  full_ = true;
}

void FrameDiffer::invalidate() {
  full_ = true;
}

std::string FrameDiffer::render() {
  std::string out;
  render(out);
  return out;
}

int FrameDiffer::render(std::string& out) {
  if (shown_.size() != frame_.size()) {  // the frame was resized directly
    shown_.resize(frame_.size());
    full_ = true;
  }
  const int w = frame_.width(), h = frame_.height();
  const bool full = full_;
  if (full_) {
    // SGR 0 so that ED paints the default background; CUP home; ED 2 erases the whole screen.
    out += "\x1b[0m\x1b[H\x1b[2J";
    shown_.clear();
    full_ = false;
  }
  // The style a cell is written in: without its colours when they are off.
  auto written_style = [this](const Cell& c) {
    if (colors_) return c.style;
    CellStyle s = c.style;
    s.fg = Color();
    s.bg = Color();
    return s;
  };
  if (!full && scroll_) scroll(out);
  CellStyle style;       // every frame starts and ends in the default style
  int cx = -1, cy = -1;  // where the cursor is; -1 when not known
  int written = 0;
  for (int y = 0; y < h; ++y) {
    if (!full && !frame_.dirty_[static_cast<std::size_t>(y)]) continue;
    frame_.dirty_[static_cast<std::size_t>(y)] = 0;
    const Cell* want = frame_.row(y);
    const Cell* have = shown_.row(y);
    for (int x = 0; x < w; ++x) {
      if (want[x] == have[x]) continue;
      int lx = x;
      // A changed right half: its left half goes out again (the pair is written whole).
      if (want[x].width == 0) {
        if (x == 0) continue;
        lx = x - 1;
      }
      const Cell& c = want[lx];
      if (cy != y || cx != lx) {
        // Same row and a short gap of unchanged cells in the current style: writing them again
        // is shorter than moving the cursor over them.
        bool rewrite = cy == y && cx >= 0 && cx < lx && lx - cx <= 3 + digits(lx + 1);
        for (int k = cx; rewrite && k < lx; ++k)
          rewrite =
              want[k].width == 1 && written_style(want[k]) == style && want[k].text.size() == 1;
        if (rewrite) {
          for (int k = cx; k < lx; ++k) out += want[k].text;
        } else if (cy == y && cx >= 0 && cx < lx) {
          out += "\x1b[";  // CUF: cursor forward n columns
          out += std::to_string(lx - cx);
          out += 'C';
        } else {
          append_cup(lx, y, out);
        }
      }
      const CellStyle cs = written_style(c);
      append_sgr_transition(style, cs, out);
      if (hyperlinks_ && style.link != cs.link) append_hyperlink(cs.link, out);
      style = cs;
      out += c.text;
      ++written;
      shown_.cell(lx, y) = c;
      int next = lx + 1;
      if (c.width == 2 && lx + 1 < w) {
        shown_.cell(lx + 1, y) = want[lx + 1];
        next = lx + 2;
      }
      cy = y;
      // After the last column the cursor waits to wrap; its position is then not reliable.
      cx = next >= w ? -1 : next;
      x = next - 1;
    }
  }
  if (!style.same_sgr(CellStyle{})) out += "\x1b[0m";
  if (hyperlinks_ && style.link != 0) append_hyperlink(0, out);
  return written;
}

void FrameDiffer::scroll(std::string& out) {
  const int w = frame_.width(), h = frame_.height();
  const auto want = [&](int y) { return frame_.row(y); };
  const auto have = [&](int y) { return shown_.row(y); };
  // The band of rows that changed.
  int top = 0, bot = h - 1;
  const auto changed = [&](int y) {
    return frame_.dirty_[static_cast<std::size_t>(y)] && !same_row(want(y), have(y), w);
  };
  while (top < h && !changed(top)) ++top;
  while (bot > top && !changed(bot)) --bot;
  const int band = bot - top + 1;
  if (band < 4) return;
  same_.resize(static_cast<std::size_t>(band));
  for (int y = top; y <= bot; ++y)
    same_[static_cast<std::size_t>(y - top)] = y == top || y == bot ? 0 : !changed(y);
  // Candidate shifts: where a few rows of the new frame were shown before (rows compare
  // unequal within a few cells, so the search is cheap). Scrolling is rarely worth it for
  // less than a few rows saved, and a blank row found higher up may suggest a wrong shift:
  // each candidate's gain is counted exactly, rows already right counted against it.
  int best_n = 0, best_gain = 0;
  int tried[3] = {0, 0, 0};
  for (int k = 0; k < 3; ++k) {
    const int p = top + band * k / 4;
    int n = 1;
    while (p + n <= bot && !same_row(want(p), have(p + n), w)) ++n;
    if (p + n > bot || n == tried[0] || n == tried[1]) continue;
    tried[k] = n;
    int gain = 0;
    for (int y = top; y + n <= bot; ++y) gain += same_row(want(y), have(y + n), w);
    for (int i = 0; i < band; ++i) gain -= same_[static_cast<std::size_t>(i)];
    if (gain > best_gain) {
      best_gain = gain;
      best_n = n;
    }
  }
  // A scroll costs about as many bytes as a few cells: worth it from a few rows saved on.
  if (best_gain < 3) return;
  // The scroll region is the band (DECSTBM), scrolled up by n (SU) and reset to the whole screen;
  // each moves the cursor home or leaves it somewhere the writer does not track, so the cell
  // writes that follow all start with a CUP. The style is the default here, so the rows that
  // come in at the bottom are blank in the default background.
  out += "\x1b[";
  out += std::to_string(top + 1);
  out += ';';
  out += std::to_string(bot + 1);
  out += "r\x1b[";
  out += std::to_string(best_n);
  out += "S\x1b[r";
  for (int y = top; y <= bot; ++y) {
    Cell* dst = &shown_.cells_[static_cast<std::size_t>(y) * w];
    if (y + best_n <= bot) {
      Cell* src = &shown_.cells_[static_cast<std::size_t>(y + best_n) * w];
      std::swap_ranges(src, src + w, dst);  // the source row is overwritten later on
    } else {
      std::fill(dst, dst + w, Cell{});
    }
    frame_.dirty_[static_cast<std::size_t>(y)] = 1;
  }
}

}  // namespace orvo::tui
