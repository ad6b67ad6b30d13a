#include "tui/framework/headless/virtual_terminal.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

#include "common/utf8.hpp"
#include "tui/framework/text/cells.hpp"

namespace orvo::tui {

namespace {

std::vector<int> split_params(std::string_view s) {
  std::vector<int> v;
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t end = s.find_first_of(";:", start);
    if (end == std::string_view::npos) end = s.size();
    int n = 0;
    std::from_chars(s.data() + start, s.data() + end, n);
    v.push_back(n);
    start = end + 1;
  }
  return v;
}

}  // namespace

VirtualTerminal::VirtualTerminal(Size size) : screen_(size) {}

void VirtualTerminal::resize(Size size) {
  screen_.resize(size);
  top_ = 0;
  bottom_ = -1;
  x_ = y_ = 0;
  wrap_pending_ = false;
}

void VirtualTerminal::feed(std::string_view bytes) {
  for (const char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    switch (state_) {
      case State::Ground:
        if (b == 0x1b) {
          flush_text();
          state_ = State::Esc;
        } else if (b < 0x20 || b == 0x7f) {
          flush_text();
          control(b);
        } else {
          text_.push_back(ch);
        }
        break;
      case State::Esc:
        if (b == '[') {
          state_ = State::Csi;
          params_.clear();
        } else if (b == ']' || b == 'P' || b == '_' || b == '^' || b == 'X') {
          state_ = State::String;
        } else {
          state_ = State::Ground;  // two-byte escapes (ESC 7, ESC =, ...) are not kept
        }
        break;
      case State::Csi:
        if (b >= 0x40 && b <= 0x7e) {
          state_ = State::Ground;
          csi(static_cast<char>(b));
        } else if (b >= 0x20) {
          if (params_.size() < 256) params_.push_back(ch);  // longer ones are nothing we use
        } else {
          state_ = State::Ground;
        }
        break;
      case State::String:
        if (b == 0x07) state_ = State::Ground;
        if (b == 0x1b) state_ = State::StringEsc;
        break;
      case State::StringEsc:
        state_ = b == '\\' ? State::Ground : State::String;
        break;
    }
  }
  flush_text();
}

void VirtualTerminal::flush_text() {
  if (text_.empty()) return;
  const std::size_t keep = text::incomplete_tail(text_);
  const std::string_view run(text_.data(), text_.size() - keep);
  for_each_grapheme(run, [&](const Grapheme& g) {
    std::string_view s = run.substr(g.begin, g.end - g.begin);
    std::size_t p = 0;
    if (text::decode(s, p) == text::kReplacement && p == 1) s = "\xEF\xBF\xBD";
    print(s, g.cells);
  });
  text_.erase(0, text_.size() - keep);
}

void VirtualTerminal::line_feed() {
  // At the bottom margin the scroll region moves up; below it the cursor stops at the last row.
  if (y_ == bottom()) {
    scroll_up(1);
  } else if (y_ + 1 < screen_.height()) {
    ++y_;
  }
}

void VirtualTerminal::scroll_up(int n) {
  const int w = screen_.width(), top = top_, bot = bottom();
  n = std::min(n, bot - top + 1);
  for (int y = top; y + n <= bot; ++y)
    for (int x = 0; x < w; ++x) screen_.cell(x, y) = screen_.at(x, y + n);
  CellStyle blank;
  blank.bg = style_.bg;  // erased rows take the current background, as xterm's do
  screen_.fill(Region{0, bot - n + 1, w, n}, blank);
}

void VirtualTerminal::print(std::string_view grapheme, int width) {
  const int w = screen_.width();
  if (w == 0 || screen_.height() == 0) return;
  if (width <= 0) {
    // A zero-width cluster joins the cell before the cursor.
    const int px = wrap_pending_ ? x_ : x_ - 1;
    if (px >= 0) {
      int lx = px;
      if (screen_.at(lx, y_).width == 0 && lx > 0) --lx;
      screen_.cell(lx, y_).text.append(grapheme);
    }
    return;
  }
  if (wrap_pending_ || (width == 2 && x_ + 1 >= w)) {
    x_ = 0;
    line_feed();
    wrap_pending_ = false;
  }
  screen_.put(x_, y_, grapheme, width, style_);
  x_ += width;
  if (x_ >= w) {
    x_ = w - 1;
    wrap_pending_ = true;
  }
}

void VirtualTerminal::control(unsigned char b) {
  switch (b) {
    case '\r':
      x_ = 0;
      wrap_pending_ = false;
      break;
    case '\n':
      line_feed();
      wrap_pending_ = false;
      break;
    case '\b':
      if (x_ > 0) --x_;
      wrap_pending_ = false;
      break;
    case '\t':
      x_ = std::min(screen_.width() - 1, (x_ / 8 + 1) * 8);
      break;
    default:
      break;
  }
}

void VirtualTerminal::csi(char final_byte) {
  std::string_view p = params_;
  const bool priv = !p.empty() && p[0] == '?';
  if (priv) p.remove_prefix(1);
  if (!p.empty() && (p[0] == '<' || p[0] == '>' || p[0] == '=')) return;
  if (!p.empty() && (p.back() == '$' || p.back() == ' ')) return;  // DECRQM and friends
  const std::vector<int> v = split_params(p);
  const auto arg = [&](std::size_t i, int def) { return i < v.size() && v[i] > 0 ? v[i] : def; };
  const int w = screen_.width(), h = screen_.height();
  if (priv) {
    if (final_byte == 'h' || final_byte == 'l') {
      for (int m : v) {
        if (final_byte == 'h') {
          if (m == 1049 && !modes_.count(1049)) {
            screen_.clear();
            x_ = y_ = 0;
          }
          modes_.insert(m);
        } else {
          modes_.erase(m);
        }
      }
    }
    return;
  }
  wrap_pending_ = false;
  CellStyle erase;
  erase.bg = style_.bg;
  switch (final_byte) {
    case 'H':
    case 'f':
      y_ = std::min(h - 1, arg(0, 1) - 1);
      x_ = std::min(w - 1, arg(1, 1) - 1);
      break;
    case 'A':
      y_ = std::max(0, y_ - arg(0, 1));
      break;
    case 'B':
      y_ = std::min(h - 1, y_ + arg(0, 1));
      break;
    case 'C':
      x_ = std::min(w - 1, x_ + arg(0, 1));
      break;
    case 'D':
      x_ = std::max(0, x_ - arg(0, 1));
      break;
    case 'G':
      x_ = std::min(w - 1, arg(0, 1) - 1);
      break;
    case 'd':
      y_ = std::min(h - 1, arg(0, 1) - 1);
      break;
    case 'J': {
      const int mode = v.empty() ? 0 : v[0];
      if (mode == 0) {
        screen_.fill(Region{x_, y_, w - x_, 1}, erase);
        screen_.fill(Region{0, y_ + 1, w, h - y_ - 1}, erase);
      } else if (mode == 1) {
        screen_.fill(Region{0, 0, w, y_}, erase);
        screen_.fill(Region{0, y_, x_ + 1, 1}, erase);
      } else {
        screen_.fill(screen_.region(), erase);
      }
      break;
    }
    case 'K': {
      const int mode = v.empty() ? 0 : v[0];
      if (mode == 0)
        screen_.fill(Region{x_, y_, w - x_, 1}, erase);
      else if (mode == 1)
        screen_.fill(Region{0, y_, x_ + 1, 1}, erase);
      else
        screen_.fill(Region{0, y_, w, 1}, erase);
      break;
    }
    case 'm':
      sgr();
      break;
    case 'r': {  // DECSTBM: the scroll region (kept only when it holds two rows or more)
      const int top = arg(0, 1) - 1, bot = std::min(h, arg(1, h)) - 1;
      if (top < bot) {
        top_ = top;
        bottom_ = bot == h - 1 ? -1 : bot;
        x_ = y_ = 0;
      }
      break;
    }
    case 'S':  // SU: the scroll region up by n rows
      scroll_up(arg(0, 1));
      break;
    default:
      break;
  }
}

void VirtualTerminal::sgr() {
  const std::vector<int> v = split_params(params_);
  for (std::size_t i = 0; i < v.size(); ++i) {
    const int n = v[i];
    const auto extended = [&](Color& target) {
      if (i + 2 < v.size() && v[i + 1] == 5) {
        target = Color::eight_bit(v[i + 2]);
        i += 2;
      } else if (i + 4 < v.size() && v[i + 1] == 2) {
        target =
            Color::rgb(static_cast<std::uint8_t>(v[i + 2]), static_cast<std::uint8_t>(v[i + 3]),
                       static_cast<std::uint8_t>(v[i + 4]));
        i += 4;
      } else {
        i = v.size();
      }
    };
    switch (n) {
      case 0:
        style_ = CellStyle{};
        break;
      case 1:
        style_.attrs |= Style::Bold;
        break;
      case 2:
        style_.attrs |= Style::Dim;
        break;
      case 3:
        style_.attrs |= Style::Italic;
        break;
      case 4:
        style_.attrs |= Style::Underline;
        break;
      case 5:
        style_.attrs |= Style::Blink;
        break;
      case 7:
        style_.attrs |= Style::Reverse;
        break;
      case 9:
        style_.attrs |= Style::Strike;
        break;
      case 22:
        style_.attrs &= ~(Style::Bold | Style::Dim);
        break;
      case 23:
        style_.attrs &= ~Style::Italic;
        break;
      case 24:
        style_.attrs &= ~Style::Underline;
        break;
      case 25:
        style_.attrs &= ~Style::Blink;
        break;
      case 27:
        style_.attrs &= ~Style::Reverse;
        break;
      case 29:
        style_.attrs &= ~Style::Strike;
        break;
      case 38:
        extended(style_.fg);
        break;
      case 39:
        style_.fg = Color();
        break;
      case 48:
        extended(style_.bg);
        break;
      case 49:
        style_.bg = Color();
        break;
      default:
        if (n >= 30 && n <= 37) style_.fg = Color::standard(n - 30);
        if (n >= 90 && n <= 97) style_.fg = Color::standard(n - 90 + 8);
        if (n >= 40 && n <= 47) style_.bg = Color::standard(n - 40);
        if (n >= 100 && n <= 107) style_.bg = Color::standard(n - 100 + 8);
        break;
    }
  }
}

}  // namespace orvo::tui
