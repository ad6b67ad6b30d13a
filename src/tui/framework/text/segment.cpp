#include "tui/framework/text/segment.hpp"

#include <algorithm>

#include "tui/framework/text/cells.hpp"

namespace orvo::tui {

int Segment::cell_length() const {
  return cell_len(text);
}

Strip::Strip(std::vector<Segment> segments) : segments_(std::move(segments)) {
  for (auto& s : segments_) {
    // Raw controls must never reach a terminal, and would make the width wrong.
    if (!is_sanitized(s.text)) s.text = sanitize(s.text);
    cell_length_ += cell_len(s.text);
  }
}

Strip Strip::of(std::string text, Style style) {
  if (!is_sanitized(text)) text = sanitize(text);
  const int w = cell_len(text);
  std::vector<Segment> segs;
  segs.emplace_back(std::move(text), style);
  return Strip(std::move(segs), w);
}

Strip Strip::blank(int width, Style style) {
  if (width <= 0) return Strip();
  return Strip({Segment(std::string(static_cast<std::size_t>(width), ' '), style)}, width);
}

std::string Strip::text() const {
  std::string out;
  std::size_t n = 0;
  for (const auto& s : segments_) n += s.text.size();
  out.reserve(n);
  for (const auto& s : segments_) out += s.text;
  return out;
}

Strip Strip::restyle(int col0, int col1, const Style& style, bool over) const {
  col0 = std::max(col0, 0);
  col1 = std::min(col1, cell_length_);
  if (col0 >= col1) return *this;
  const auto styled = [&](const Style& base) { return over ? base + style : style + base; };
  std::vector<Segment> out;
  out.reserve(segments_.size() + 2);
  int pos = 0;  // cell offset of the current cluster
  for (const auto& seg : segments_) {
    const std::string_view t = seg.text;
    const int len = cell_len(t);
    if (pos >= col1 || pos + len <= col0) {
      // Wholly outside (a zero-width segment goes with the cell before it).
      const bool inside = len == 0 && pos > col0 && pos <= col1;
      out.emplace_back(seg.text, inside ? styled(seg.style) : seg.style);
      pos += len;
      continue;
    }
    // Split at cluster boundaries: runs of clusters inside or outside the range.
    std::size_t run_begin = 0;
    bool run_inside = false;
    bool first = true;
    std::size_t at = 0;
    for_each_grapheme(t, [&](const Grapheme& g) {
      // A cluster is inside when any of its cells is; a zero-width one follows the cell before.
      const bool inside =
          g.cells == 0 ? (pos > col0 && pos <= col1) : (pos < col1 && pos + g.cells > col0);
      if (first) {
        run_inside = inside;
        first = false;
      } else if (inside != run_inside) {
        out.emplace_back(std::string(t.substr(run_begin, g.begin - run_begin)),
                         run_inside ? styled(seg.style) : seg.style);
        run_begin = g.begin;
        run_inside = inside;
      }
      pos += g.cells;
      at = g.end;
    });
    if (!first) {
      out.emplace_back(std::string(t.substr(run_begin, at - run_begin)),
                       run_inside ? styled(seg.style) : seg.style);
    }
  }
  return Strip(std::move(out), cell_length_);
}

Strip Strip::crop(int start, int end) const {
  if (end < 0 || end > cell_length_) end = cell_length_;
  if (start < 0) start = 0;
  if (start >= end) return Strip();
  if (start == 0 && end == cell_length_) return *this;
  std::vector<Segment> out;
  int pos = 0;  // cell offset of the current segment
  for (const auto& seg : segments_) {
    if (pos >= end) break;
    const std::string_view t = seg.text;
    if (is_plain_ascii(t)) {
      const int len = static_cast<int>(t.size());
      const int a = std::max(start, pos), b = std::min(end, pos + len);
      if (a < b) {
        if (a == pos && b == pos + len)
          out.push_back(seg);
        else
          out.emplace_back(std::string(t.substr(static_cast<std::size_t>(a - pos),
                                                static_cast<std::size_t>(b - a))),
                           seg.style);
      }
      pos += len;
      continue;
    }
    std::string piece;
    std::size_t run_begin = std::string::npos;  // bytes of whole clusters taken as they are
    std::size_t run_end = 0;
    auto flush_run = [&] {
      if (run_begin != std::string::npos) piece.append(t.substr(run_begin, run_end - run_begin));
      run_begin = std::string::npos;
    };
    for_each_grapheme(t, [&](const Grapheme& g) {
      const int c0 = pos, c1 = pos + g.cells;
      pos = c1;
      bool inside;
      if (g.cells == 0)
        inside = c0 >= start && c0 < end;
      else
        inside = c0 >= start && c1 <= end;
      if (inside) {
        if (run_begin == std::string::npos) run_begin = g.begin;
        run_end = g.end;
        return;
      }
      flush_run();
      // A wide cluster cut by the edge: its visible half becomes a space.
      const int a = std::max(start, c0), b = std::min(end, c1);
      if (a < b) piece.append(static_cast<std::size_t>(b - a), ' ');
    });
    flush_run();
    if (!piece.empty()) out.emplace_back(std::move(piece), seg.style);
  }
  return Strip(std::move(out), end - start);
}

Strip Strip::extend(int width, Style style) const {
  if (width <= cell_length_) return *this;
  std::vector<Segment> segs = segments_;
  segs.emplace_back(std::string(static_cast<std::size_t>(width - cell_length_), ' '), style);
  return Strip(std::move(segs), width);
}

Strip Strip::adjust(int width, Style style) const {
  if (width < 0) width = 0;
  if (width < cell_length_) return crop(0, width);
  return extend(width, style);
}

std::vector<Strip> Strip::divide(const std::vector<int>& cuts) const {
  std::vector<Strip> out;
  out.reserve(cuts.size());
  int prev = 0;
  for (int c : cuts) {
    out.push_back(crop(prev, c));
    prev = std::max(prev, c);
  }
  return out;
}

Strip Strip::apply_style(const Style& style, bool over) const {
  if (style.empty()) return *this;
  std::vector<Segment> segs = segments_;
  for (auto& s : segs) s.style = over ? s.style + style : style + s.style;
  return Strip(std::move(segs), cell_length_);
}

Strip Strip::simplify() const {
  std::vector<Segment> segs;
  for (const auto& s : segments_) {
    if (s.text.empty()) continue;
    if (!segs.empty() && segs.back().style == s.style)
      segs.back().text += s.text;
    else
      segs.push_back(s);
  }
  return Strip(std::move(segs), cell_length_);
}

Strip Strip::join(const Strip& other) const {
  std::vector<Segment> segs = segments_;
  segs.insert(segs.end(), other.segments_.begin(), other.segments_.end());
  return Strip(std::move(segs), cell_length_ + other.cell_length_);
}

void Strip::render(ColorSystem system, std::string& out, bool hyperlinks) const {
  std::uint32_t open = 0;  // the link the terminal has open
  for (const auto& s : segments_) {
    if (hyperlinks && s.style.link_id() != open) {
      open = s.style.link_id();
      append_hyperlink(open, out);
    }
    const std::size_t before = out.size();
    s.style.append_sgr(system, out);
    out += s.text;
    if (out.size() - before > s.text.size()) out += "\x1b[0m";
  }
  if (open != 0) append_hyperlink(0, out);
}

std::string Strip::render(ColorSystem system, bool hyperlinks) const {
  std::string out;
  render(system, out, hyperlinks);
  return out;
}

void append_hyperlink(std::uint32_t link_id, std::string& out) {
  // Interned targets are clean (no controls), so nothing in them can end the sequence early.
  out += "\x1b]8;;";
  out += link_target(link_id);
  out += "\x1b\\";
}

}  // namespace orvo::tui
