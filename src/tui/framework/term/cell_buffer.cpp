#include "tui/framework/term/cell_buffer.hpp"

#include "common/utf8.hpp"
#include "tui/framework/text/cells.hpp"

namespace orvo::tui {

namespace {

constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";

// SGR codes that switch one attribute on, and off, in Style::Attr bit order. Bold and dim share
// their off code (22: normal intensity).
struct AttrCodes {
  std::uint16_t bit;
  const char* on;
  const char* off;
};
constexpr AttrCodes kAttrCodes[] = {
    {Style::Bold, "1", "22"},      {Style::Dim, "2", "22"},   {Style::Italic, "3", "23"},
    {Style::Underline, "4", "24"}, {Style::Blink, "5", "25"}, {Style::Reverse, "7", "27"},
    {Style::Strike, "9", "29"},
};

void add_param(std::string& params, std::string_view p) {
  if (!params.empty()) params += ';';
  params += p;
}

// Parameters that set `to` starting from the default style.
void params_from_default(const CellStyle& to, std::string& params) {
  for (const auto& a : kAttrCodes)
    if (to.attrs & a.bit) add_param(params, a.on);
  if (!to.fg.is_default()) {
    if (!params.empty()) params += ';';
    to.fg.append_sgr_params(false, params);
  }
  if (!to.bg.is_default()) {
    if (!params.empty()) params += ';';
    to.bg.append_sgr_params(true, params);
  }
}

}  // namespace

CellStyle to_cell_style(const Style& style) {
  CellStyle c;
  if (auto fg = style.color()) c.fg = *fg;
  if (auto bg = style.bgcolor()) c.bg = *bg;
  c.attrs = style.on_mask();
  c.link = style.link_id();
  return c;
}

void append_sgr_transition(const CellStyle& from, const CellStyle& to, std::string& out) {
  if (from.same_sgr(to)) return;
  if (to.same_sgr(CellStyle{})) {
    out += "\x1b[0m";
    return;
  }
  // Called for every style change of every frame: the two candidates are built in buffers kept
  // by the thread rather than allocated each time.
  thread_local std::string inc, full;
  inc.clear();
  // Incremental: switch off what `to` lacks (re-enabling bold or dim if 22 took it away), switch
  // on what it adds, and change colours.
  const std::uint16_t removed = from.attrs & ~to.attrs;
  std::uint16_t need_on = to.attrs & ~from.attrs;
  for (const auto& a : kAttrCodes) {
    if (!(removed & a.bit)) continue;
    if (a.bit == Style::Dim && (removed & Style::Bold)) continue;  // 22 already sent
    add_param(inc, a.off);
    if (a.bit == Style::Bold || a.bit == Style::Dim)
      need_on |= to.attrs & (Style::Bold | Style::Dim);
  }
  for (const auto& a : kAttrCodes)
    if (need_on & a.bit) add_param(inc, a.on);
  if (!(from.fg == to.fg)) {
    if (!inc.empty()) inc += ';';
    to.fg.append_sgr_params(false, inc);
  }
  if (!(from.bg == to.bg)) {
    if (!inc.empty()) inc += ';';
    to.bg.append_sgr_params(true, inc);
  }
  // From scratch: SGR 0 then everything `to` sets (only shorter when something goes off).
  const std::string* best = &inc;
  if (removed != 0) {
    full.assign(1, '0');
    params_from_default(to, full);
    if (full.size() < inc.size()) best = &full;
  }
  out += "\x1b[";
  out += *best;
  out += 'm';
}

CellBuffer::CellBuffer(Size size) {
  resize(size);
}

void CellBuffer::resize(Size size) {
  size_ = Size{std::max(0, size.width), std::max(0, size.height)};
  cells_.assign(static_cast<std::size_t>(size_.width) * size_.height, Cell{});
  dirty_.assign(static_cast<std::size_t>(size_.height), 1);
}

void CellBuffer::clear(const CellStyle& style) {
  Cell blank;
  blank.style = style;
  std::fill(cells_.begin(), cells_.end(), blank);
  std::fill(dirty_.begin(), dirty_.end(), 1);
}

void CellBuffer::break_wide(int x, int y) {
  Cell& c = cell(x, y);
  if (c.width == 0 && x > 0) {
    Cell& lead = cell(x - 1, y);
    lead.text.assign(1, ' ');
    lead.width = 1;
  } else if (c.width == 2 && x + 1 < size_.width) {
    Cell& tail = cell(x + 1, y);
    tail.text.assign(1, ' ');
    tail.width = 1;
  }
}

void CellBuffer::put(int x, int y, std::string_view grapheme, int width, const CellStyle& style,
                     const Region& clip) {
  if (width <= 0) return;
  const Region r = clip.intersect(region());
  if (!r.contains(x, y)) return;
  if (width >= 2 && x + 1 >= r.right()) {
    grapheme = " ";  // the right half would be cut off
    width = 1;
  }
  break_wide(x, y);
  if (width >= 2) {
    break_wide(x + 1, y);
    Cell& lead = cell(x, y);
    lead.text.assign(grapheme);
    lead.style = style;
    lead.width = 2;
    Cell& tail = cell(x + 1, y);
    tail.text.clear();
    tail.style = style;
    tail.width = 0;
  } else {
    Cell& c = cell(x, y);
    if (grapheme.size() == 1 && c.text.size() == 1)
      c.text[0] = grapheme[0];  // the common case, without assign's checks
    else
      c.text.assign(grapheme);
    c.style = style;
    c.width = 1;
  }
}

int CellBuffer::draw_text(int x, int y, std::string_view text, const CellStyle& style,
                          const Region& clip, int join_from) {
  const Region r = clip.intersect(region());
  const bool row_visible = y >= r.y && y < r.bottom();
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (row_visible && x >= r.right()) {
      // The rest is clipped; only its width is left to count.
      return x + cell_len(text.substr(pos));
    }
    const auto b = static_cast<unsigned char>(text[pos]);
    std::string_view g;
    int w;
    if (b >= 0x20 && b < 0x7f &&
        (pos + 1 == text.size() || static_cast<unsigned char>(text[pos + 1]) < 0x80)) {
      g = text.substr(pos, 1);  // printable ASCII not followed by a combining mark
      w = 1;
      ++pos;
    } else {
      const Grapheme gr = next_grapheme(text, pos);
      g = text.substr(gr.begin, gr.end - gr.begin);
      w = gr.cells;
      std::size_t p = 0;
      const char32_t cp = text::decode(g, p);
      if (cp == '\t') {
        g = " ";
        w = 1;
      } else if (text::is_unsafe_control(cp) || cp == '\n' ||
                 (cp == text::kReplacement && p == 1)) {
        g = kReplacementChar;
        w = 1;
      }
      pos = gr.end;
    }
    if (w <= 0) {
      // Joined to the drawn cell before it (the lead cell of a wide one), never dropped.
      if (row_visible && x > join_from && x - 1 >= r.x && x - 1 < r.right()) {
        int lead = x - 1;
        if (cell(lead, y).width == 0 && lead > r.x) --lead;
        Cell& c = cell(lead, y);
        if (c.width > 0 && c.text != kReplacementChar) c.text.append(g);
      }
      continue;
    }
    if (row_visible) {
      if (x >= r.x) {
        put(x, y, g, w, style, r);
      } else if (x + w > r.x) {
        put(r.x, y, " ", 1, style, r);  // a wide grapheme cut by the left edge
      }
    }
    x += w;
  }
  return x;
}

int CellBuffer::draw_strip(int x, int y, const Strip& strip, const Region& clip) {
  return draw_strip(x, y, strip, clip, Style());
}

int CellBuffer::draw_strip(int x, int y, const Strip& strip, const Region& clip,
                           const Style& under) {
  const Region r = clip.intersect(region());
  if (y < r.y || y >= r.bottom() || x >= r.right()) return x + strip.cell_length();
  const int end = x + strip.cell_length();
  const int start = x;
  const bool plain = under.empty();
  for (const Segment& seg : strip.segments()) {
    if (x >= r.right()) break;
    x = draw_text(x, y, seg.text, to_cell_style(plain ? seg.style : under + seg.style), r, start);
  }
  return std::max(x, end);
}

void CellBuffer::fill(const Region& area, const CellStyle& style) {
  const Region r = area.intersect(region());
  for (int y = r.y; y < r.bottom(); ++y) {
    // Wide graphemes straddling the edges lose their other half.
    if (r.x > 0) break_wide(r.x, y);
    if (r.right() < size_.width) break_wide(r.right() - 1, y);
    if (r.width > 0) dirty_[static_cast<std::size_t>(y)] = 1;
    Cell* row = &cells_[static_cast<std::size_t>(y) * size_.width];
    for (int x = r.x; x < r.right(); ++x) {
      Cell& c = row[x];
      if (c.text.size() == 1)
        c.text[0] = ' ';
      else
        c.text.assign(1, ' ');
      c.style = style;
      c.width = 1;
    }
  }
}

std::string CellBuffer::plain_text(bool trim) const {
  std::string out;
  out.reserve(static_cast<std::size_t>(size_.width + 1) * size_.height);
  for (int y = 0; y < size_.height; ++y) {
    if (y > 0) out += '\n';
    const std::size_t row_start = out.size();
    for (int x = 0; x < size_.width; ++x) {
      const Cell& c = at(x, y);
      if (c.width != 0) out += c.text;
    }
    if (trim) {
      std::size_t end = out.size();
      while (end > row_start && out[end - 1] == ' ') --end;
      out.resize(end);
    }
  }
  return out;
}

std::string CellBuffer::ansi_text() const {
  std::string out;
  for (int y = 0; y < size_.height; ++y) {
    if (y > 0) out += '\n';
    CellStyle current;
    for (int x = 0; x < size_.width; ++x) {
      const Cell& c = at(x, y);
      if (c.width == 0) continue;
      append_sgr_transition(current, c.style, out);
      current = c.style;
      out += c.text;
    }
    append_sgr_transition(current, CellStyle{}, out);
  }
  return out;
}

}  // namespace orvo::tui
