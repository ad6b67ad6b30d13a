// Text::from_ansi: SGR sequences become spans; every other control is consumed and dropped.
#include <cstring>

#include "common/utf8.hpp"
#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/text.hpp"

namespace orvo::tui {

class AnsiParser {
 public:
  AnsiParser(std::string_view in, Text& out)
      : in_(in),
        p_(reinterpret_cast<const unsigned char*>(in.data())),
        n_(in.size()),
        plain_(out.plain_),
        spans_(out.spans_) {}

  void run() {
    plain_.reserve(n_);
    std::size_t i = 0;
    while (i < n_) {
      const std::size_t j = printable_ascii_end(i);
      if (j > i) {
        add_text(i, j);
        i = j;
        continue;
      }
      const unsigned char c = p_[i];
      if (c == 0x1B) {
        i = escape(i);
      } else if (c == '\n') {
        newline();
        ++i;
      } else if (c == '\r') {
        if (i + 1 < n_ && p_[i + 1] == '\n') {
          newline();
          i += 2;
        } else {
          cr_pending_ = true;
          ++i;
        }
      } else if (c == '\t') {
        tab();
        ++i;
      } else if (c < 0x80) {
        ++i;  // other C0 controls and DEL: not printable, dropped
      } else {
        i = non_ascii(i);
      }
    }
    flush_span();
  }

 private:
  static bool printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

  // End of the run of printable ASCII starting at i, eight bytes at a time.
  std::size_t printable_ascii_end(std::size_t i) const {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    while (i + 8 <= n_) {
      std::uint64_t x;
      std::memcpy(&x, p_ + i, 8);
      const std::uint64_t below_space = (x - kOnes * 0x20) & ~x & kHigh;
      const std::uint64_t y = x ^ (kOnes * 0x7F);
      const std::uint64_t del = (y - kOnes) & ~y & kHigh;
      if ((below_space | del | (x & kHigh)) != 0) break;
      i += 8;
    }
    while (i < n_ && printable(p_[i])) ++i;
    return i;
  }

  void before_text() {
    if (cr_pending_) {
      cr_pending_ = false;
      erase_line();
    }
  }

  void add_text(std::size_t a, std::size_t b) {
    before_text();
    plain_.append(in_.data() + a, b - a);
  }

  void newline() {
    cr_pending_ = false;
    plain_ += '\n';
    line_start_ = plain_.size();
  }

  void tab() {
    before_text();
    const int column = cell_len(std::string_view(plain_).substr(line_start_));
    plain_.append(static_cast<std::size_t>(8 - column % 8), ' ');
  }

  // A lone CR: what follows overwrites the line, so the line so far is dropped.
  void erase_line() {
    plain_.resize(line_start_);
    while (!spans_.empty() && spans_.back().start >= line_start_) spans_.pop_back();
    if (!spans_.empty() && spans_.back().end > line_start_) spans_.back().end = line_start_;
    if (run_start_ > line_start_) run_start_ = line_start_;
  }

  std::size_t non_ascii(std::size_t i) {
    std::size_t k = i;
    const char32_t cp = text::decode(in_, k);
    if (k == i + 1) {  // invalid byte
      before_text();
      text::encode(text::kReplacement, plain_);
      return k;
    }
    if (cp <= 0x9F) {  // C1 control in UTF-8 form
      if (cp == 0x9B) return csi(k);
      if (cp == 0x9D) return osc(k);
      if (cp == 0x90 || cp == 0x98 || cp == 0x9E || cp == 0x9F) return string_seq(k);
      return k;
    }
    // Take the following valid, non-control multi-byte characters in one go.
    std::size_t end = k;
    while (end < n_ && p_[end] >= 0x80) {
      std::size_t m = end;
      const char32_t next = text::decode(in_, m);
      if (m == end + 1 || next <= 0x9F) break;
      end = m;
    }
    add_text(i, end);
    return end;
  }

  std::size_t escape(std::size_t i) {
    if (i + 1 >= n_) return n_;
    const unsigned char b = p_[i + 1];
    if (b == '[') return csi(i + 2);
    if (b == ']') return osc(i + 2);
    if (b == 'P' || b == 'X' || b == '^' || b == '_') return string_seq(i + 2);
    if (b >= 0x20 && b <= 0x2F) {  // ESC, intermediates, final (charset designation etc.)
      std::size_t j = i + 1;
      while (j < n_ && p_[j] >= 0x20 && p_[j] <= 0x2F) ++j;
      return (j < n_ && p_[j] >= 0x30 && p_[j] <= 0x7E) ? j + 1 : j;
    }
    if (b >= 0x30 && b <= 0x7E) return i + 2;  // two-byte escape (ESC 7, ESC c, ESC M ...)
    return i + 1;                              // lone ESC; what follows is read normally
  }

  // Control sequence starting after CSI at j; returns where reading continues.
  std::size_t csi(std::size_t j) {
    const std::size_t start = j;
    bool sgr_params = true;
    while (j < n_ && p_[j] >= 0x30 && p_[j] <= 0x3F) {
      if (!((p_[j] >= '0' && p_[j] <= '9') || p_[j] == ';' || p_[j] == ':')) sgr_params = false;
      ++j;
    }
    const std::size_t params_end = j;
    while (j < n_ && p_[j] >= 0x20 && p_[j] <= 0x2F) ++j;
    if (j >= n_) return n_;
    if (p_[j] >= 0x40 && p_[j] <= 0x7E) {
      if (p_[j] == 'm' && params_end == j && sgr_params) sgr(start, params_end);
      return j + 1;
    }
    return j;  // malformed: the sequence ends here and the byte is read normally
  }

  // OSC, DCS, SOS, PM, APC: everything up to BEL or ST is dropped. A line break also ends the
  // string (and is kept), so one stray "ESC ]" cannot swallow the rest of a log.
  std::size_t string_seq(std::size_t j) {
    while (j < n_) {
      const unsigned char c = p_[j];
      if (c == 0x07) return j + 1;
      if (c == '\n') return j;
      if (c == 0x1B) return (j + 1 < n_ && p_[j + 1] == '\\') ? j + 2 : j;
      if (c == 0xC2 && j + 1 < n_ && p_[j + 1] == 0x9C) return j + 2;
      ++j;
    }
    return n_;
  }

  // An operating system command: OSC 8 (a hyperlink, "8;params;target") becomes the link of the
  // text's style, an empty target ends it; the rest is dropped. Only a terminated sequence counts.
  std::size_t osc(std::size_t j) {
    const std::size_t end = string_seq(j);
    std::size_t body_end = end;
    if (end > j && p_[end - 1] == 0x07) {
      body_end = end - 1;
    } else if (end >= j + 2 && ((p_[end - 2] == 0x1B && p_[end - 1] == '\\') ||
                                (p_[end - 2] == 0xC2 && p_[end - 1] == 0x9C))) {
      body_end = end - 2;
    } else {
      return end;
    }
    const std::string_view body = in_.substr(j, body_end - j);
    if (!body.starts_with("8;")) return end;
    const std::size_t semi = body.find(';', 2);
    if (semi == std::string_view::npos) return end;
    const std::string_view target = body.substr(semi + 1);
    set_style(target.empty() ? cur_.with_link_id(0) : cur_.with_link(target));
    return end;
  }

  void set_style(const Style& s) {
    if (s == cur_) return;
    flush_span();
    cur_ = s;
  }

  void flush_span() {
    const std::size_t end = plain_.size();
    if (!cur_.empty() && run_start_ < end) {
      if (!spans_.empty() && spans_.back().end == run_start_ && spans_.back().style == cur_)
        spans_.back().end = end;
      else
        spans_.push_back({run_start_, end, cur_});
    }
    run_start_ = end;
  }

  void sgr(std::size_t a, std::size_t b) {
    constexpr int kMax = 32;
    int val[kMax];
    bool colon[kMax];  // joined to the previous parameter by ':'
    int count = 0;
    int v = 0;
    bool joined = false;
    const unsigned char* q = p_ + a;
    const unsigned char* const e = p_ + b;
    while (true) {
      while (q < e && *q >= '0' && *q <= '9') {
        if (v < 100000) v = v * 10 + (*q - '0');
        ++q;
      }
      if (count < kMax) {
        val[count] = v;
        colon[count] = joined;
        ++count;
      }
      if (q >= e) break;
      joined = *q == ':';  // the only other bytes here are ';' and ':'
      v = 0;
      ++q;
    }
    Style s = cur_;
    for (int k = 0; k < count;) {
      const int code = val[k];
      int next = k + 1;
      while (next < count && colon[next]) ++next;  // sub-parameters of this code
      const int subs = next - k - 1;
      if (code == 38 || code == 48) {
        std::optional<Color> c;
        if (subs > 0) {
          const int* g = val + k + 1;
          if (g[0] == 5 && subs >= 2 && g[1] <= 255) c = Color::eight_bit(g[1]);
          if (g[0] == 2 && subs >= 4) {
            const int* rgb = g + subs - 3;  // with or without a colour-space id
            if (rgb[0] <= 255 && rgb[1] <= 255 && rgb[2] <= 255)
              c = Color::rgb(static_cast<std::uint8_t>(rgb[0]), static_cast<std::uint8_t>(rgb[1]),
                             static_cast<std::uint8_t>(rgb[2]));
          }
        } else if (k + 1 < count) {
          if (val[k + 1] == 5 && k + 2 < count) {
            if (val[k + 2] <= 255) c = Color::eight_bit(val[k + 2]);
            next = k + 3;
          } else if (val[k + 1] == 2 && k + 4 < count) {
            if (val[k + 2] <= 255 && val[k + 3] <= 255 && val[k + 4] <= 255)
              c = Color::rgb(static_cast<std::uint8_t>(val[k + 2]),
                             static_cast<std::uint8_t>(val[k + 3]),
                             static_cast<std::uint8_t>(val[k + 4]));
            next = k + 5;
          } else {
            next = count;  // malformed: the rest cannot be read reliably
          }
        }
        if (c) s = code == 38 ? s.with_color(c) : s.with_bgcolor(c);
        k = next;
        continue;
      }
      switch (code) {
        case 0:
          s = Style();
          break;
        case 1:
          s = s.with(Style::Bold, true);
          break;
        case 2:
          s = s.with(Style::Dim, true);
          break;
        case 3:
          s = s.with(Style::Italic, true);
          break;
        case 4:
          s = (subs > 0 && val[k + 1] == 0) ? s.without(Style::Underline)
                                            : s.with(Style::Underline, true);
          break;
        case 5:
        case 6:
          s = s.with(Style::Blink, true);
          break;
        case 7:
          s = s.with(Style::Reverse, true);
          break;
        case 9:
          s = s.with(Style::Strike, true);
          break;
        case 21:
          s = s.with(Style::Underline, true);
          break;
        case 22:
          s = s.without(Style::Bold).without(Style::Dim);
          break;
        case 23:
          s = s.without(Style::Italic);
          break;
        case 24:
          s = s.without(Style::Underline);
          break;
        case 25:
          s = s.without(Style::Blink);
          break;
        case 27:
          s = s.without(Style::Reverse);
          break;
        case 29:
          s = s.without(Style::Strike);
          break;
        case 39:
          s = s.with_color(std::nullopt);
          break;
        case 49:
          s = s.with_bgcolor(std::nullopt);
          break;
        default:
          if (code >= 30 && code <= 37)
            s = s.with_color(Color::standard(code - 30));
          else if (code >= 40 && code <= 47)
            s = s.with_bgcolor(Color::standard(code - 40));
          else if (code >= 90 && code <= 97)
            s = s.with_color(Color::standard(code - 90 + 8));
          else if (code >= 100 && code <= 107)
            s = s.with_bgcolor(Color::standard(code - 100 + 8));
          break;  // anything else (conceal, fonts, overline ...) is ignored
      }
      k = next;
    }
    set_style(s.with_link_id(cur_.link_id()));  // SGR 0 does not end a hyperlink
  }

  std::string_view in_;
  const unsigned char* p_;
  std::size_t n_;
  std::string& plain_;
  std::vector<Span>& spans_;
  Style cur_;
  std::size_t run_start_ = 0;   // where the current style's run began
  std::size_t line_start_ = 0;  // start of the current line in plain_
  bool cr_pending_ = false;
};

Text Text::from_ansi(std::string_view ansi, Style base) {
  Text t;
  t.style_ = base;
  AnsiParser(ansi, t).run();
  return t;
}

}  // namespace orvo::tui
