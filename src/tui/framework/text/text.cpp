#include "tui/framework/text/text.hpp"

#include <algorithm>
#include <stdexcept>

#include "common/utf8.hpp"
#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/console.hpp"

namespace orvo::tui {
namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026, one cell

// A piece of plain text [start, end) in one resolved style.
struct Run {
  std::size_t start;
  std::size_t end;
  Style style;
};

// Cells since the last '\n' of `s`.
int column_at_end(const std::string& s) {
  const std::size_t nl = s.rfind('\n');
  return cell_len(std::string_view(s).substr(nl == std::string::npos ? 0 : nl + 1));
}

// Appends `in` to `out` in the form a Text holds: tabs to spaces up to the next multiple of 8
// cells (counting from `column`), controls and invalid bytes to U+FFFD.
void append_clean(std::string& out, std::string_view in) {
  if (is_sanitized(in, false)) {
    out += in;
    return;
  }
  if (in.find('\t') == std::string_view::npos) {
    out += sanitize(in, false);
    return;
  }
  std::string clean = sanitize(in, true);
  int column = column_at_end(out);
  std::size_t pos = 0;
  while (pos < clean.size()) {
    const std::size_t tab = clean.find_first_of("\t\n", pos);
    const std::string_view piece =
        std::string_view(clean).substr(pos, (tab == std::string::npos ? clean.size() : tab) - pos);
    out += piece;
    column += cell_len(piece);
    if (tab == std::string::npos) break;
    if (clean[tab] == '\n') {
      out += '\n';
      column = 0;
    } else {
      const int spaces = 8 - column % 8;
      out.append(static_cast<std::size_t>(spaces), ' ');
      column += spaces;
    }
    pos = tab + 1;
  }
}

// The text cut into runs of one resolved style: base style with every covering span laid on in
// order (later spans win).
std::vector<Run> resolve_runs(const std::string& plain, const std::vector<Span>& spans,
                              const Style& base) {
  std::vector<Run> runs;
  const std::size_t n = plain.size();
  if (n == 0) return runs;
  if (spans.empty()) {
    runs.push_back({0, n, base});
    return runs;
  }
  // Common case (from_ansi, append): spans in order and not overlapping.
  bool disjoint = true;
  for (std::size_t i = 1; i < spans.size() && disjoint; ++i)
    if (spans[i].start < spans[i - 1].end) disjoint = false;
  if (disjoint) {
    std::size_t pos = 0;
    for (const auto& sp : spans) {
      const std::size_t a = std::min(sp.start, n), b = std::min(sp.end, n);
      if (a >= b) continue;
      if (a > pos) runs.push_back({pos, a, base});
      runs.push_back({a, b, base + sp.style});
      pos = b;
    }
    if (pos < n) runs.push_back({pos, n, base});
    return runs;
  }
  struct Event {
    std::size_t pos;
    std::size_t index;
    bool start;
  };
  std::vector<Event> events;
  events.reserve(spans.size() * 2);
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const std::size_t a = std::min(spans[i].start, n), b = std::min(spans[i].end, n);
    if (a >= b) continue;
    events.push_back({a, i, true});
    events.push_back({b, i, false});
  }
  std::sort(events.begin(), events.end(),
            [](const Event& x, const Event& y) { return x.pos < y.pos; });
  std::vector<std::size_t> active;  // span indices, ascending
  std::size_t pos = 0;
  std::size_t e = 0;
  while (pos < n) {
    while (e < events.size() && events[e].pos == pos) {
      const Event& ev = events[e++];
      if (ev.start)
        active.insert(std::lower_bound(active.begin(), active.end(), ev.index), ev.index);
      else
        active.erase(std::find(active.begin(), active.end(), ev.index));
    }
    const std::size_t next = e < events.size() ? events[e].pos : n;
    Style s = base;
    for (std::size_t i : active) s += spans[i].style;
    if (!runs.empty() && runs.back().style == s && runs.back().end == pos)
      runs.back().end = next;
    else
      runs.push_back({pos, next, s});
    pos = next;
  }
  return runs;
}

// Builds the segments of plain[a, b) from the runs.
class RowBuilder {
 public:
  RowBuilder(const std::string& plain, const std::vector<Run>& runs) : plain_(plain), runs_(runs) {}

  std::vector<Segment> segments(std::size_t a, std::size_t b) const {
    std::vector<Segment> segs;
    if (a >= b) return segs;
    auto it = std::upper_bound(runs_.begin(), runs_.end(), a,
                               [](std::size_t v, const Run& r) { return v < r.end; });
    for (; it != runs_.end() && it->start < b; ++it) {
      const std::size_t s = std::max(a, it->start), e = std::min(b, it->end);
      if (s < e) segs.emplace_back(plain_.substr(s, e - s), it->style);
    }
    return segs;
  }
  // Style of the byte at `pos` (for an ellipsis).
  Style style_at(std::size_t pos) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), pos,
                               [](std::size_t v, const Run& r) { return v < r.end; });
    return it == runs_.end() ? (runs_.empty() ? Style() : runs_.back().style) : it->style;
  }

 private:
  const std::string& plain_;
  const std::vector<Run>& runs_;
};

// Where plain[a, b) is cut to `width` cells: the largest cluster boundary within the width.
CellPrefix fit(std::string_view plain, std::size_t a, std::size_t b, int width) {
  const CellPrefix p = cell_prefix(plain.substr(a, b - a), width);
  return {a + p.bytes, p.cells};
}

}  // namespace

Overflow parse_overflow(std::string_view name) {
  if (name == "fold") return Overflow::Fold;
  if (name == "crop") return Overflow::Crop;
  if (name == "ellipsis") return Overflow::Ellipsis;
  throw std::invalid_argument("unknown overflow \"" + std::string(name) + "\"");
}

Justify parse_justify(std::string_view name) {
  if (name == "left" || name == "default") return Justify::Left;
  if (name == "center") return Justify::Center;
  if (name == "right") return Justify::Right;
  throw std::invalid_argument("unknown justify \"" + std::string(name) + "\"");
}

Text::Text(std::string_view text, Style style) : style_(style) {
  append_clean(plain_, text);
}

Text::Text(std::string_view text, Style style, bool no_wrap_, Overflow overflow_)
    : no_wrap(no_wrap_), overflow(overflow_), style_(style) {
  append_clean(plain_, text);
}

int Text::cell_len() const {
  return orvo::tui::cell_len(plain_);
}

Text& Text::append(std::string_view text, Style style) {
  const std::size_t start = plain_.size();
  append_clean(plain_, text);
  if (!style.empty() && plain_.size() > start) spans_.push_back({start, plain_.size(), style});
  return *this;
}

Text& Text::append(const Text& other) {
  const std::size_t offset = plain_.size();
  // The other text's own text is already clean; only its tabs were expanded from its own
  // column, which is what it would show on its own.
  plain_ += other.plain_;
  if (!other.style_.empty() && !other.plain_.empty())
    spans_.push_back({offset, plain_.size(), other.style_});
  for (const auto& sp : other.spans_)
    spans_.push_back({sp.start + offset, sp.end + offset, sp.style});
  return *this;
}

Text& Text::stylize(Style style, std::size_t start, std::size_t end) {
  end = std::min(end, plain_.size());
  if (start < end && !style.empty()) spans_.push_back({start, end, style});
  return *this;
}

Text& Text::rstrip() {
  std::size_t n = plain_.size();
  while (n > 0 && (plain_[n - 1] == ' ' || plain_[n - 1] == '\n')) --n;
  plain_.resize(n);
  std::erase_if(spans_, [n](const Span& s) { return s.start >= n; });
  for (auto& s : spans_) s.end = std::min(s.end, n);
  return *this;
}

std::vector<Text> Text::split_lines() const {
  std::vector<Text> out;
  std::size_t pos = 0;
  while (true) {
    const std::size_t nl = plain_.find('\n', pos);
    const std::size_t end = nl == std::string::npos ? plain_.size() : nl;
    Text line;
    line.plain_ = plain_.substr(pos, end - pos);
    line.style_ = style_;
    line.no_wrap = no_wrap;
    line.overflow = overflow;
    line.justify = justify;
    for (const auto& sp : spans_) {
      const std::size_t a = std::max(sp.start, pos), b = std::min(sp.end, end);
      if (a < b) line.spans_.push_back({a - pos, b - pos, sp.style});
    }
    out.push_back(std::move(line));
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return out;
}

Strip Text::to_strip() const {
  const std::vector<Run> runs = resolve_runs(plain_, spans_, style_);
  RowBuilder rb(plain_, runs);
  return Strip(rb.segments(0, plain_.size()));
}

std::vector<Strip> Text::rich_wrap(int width) const {
  if (width < 1) width = 1;
  const std::vector<Run> runs = resolve_runs(plain_, spans_, style_);
  const RowBuilder rb(plain_, runs);
  const std::string_view text = plain_;
  std::vector<Strip> rows;

  auto emit = [&](std::size_t a, std::size_t b, int cells, bool ellipsis) {
    std::vector<Segment> segs;
    int lead = 0;
    if (justify != Justify::Left) {
      const int room = width - cells - (ellipsis ? 1 : 0);
      lead = justify == Justify::Right ? room : room / 2;
      if (lead > 0)
        segs.emplace_back(std::string(static_cast<std::size_t>(lead), ' '), style_);
      else
        lead = 0;
    }
    std::vector<Segment> body = rb.segments(a, b);
    segs.insert(segs.end(), std::make_move_iterator(body.begin()),
                std::make_move_iterator(body.end()));
    if (ellipsis) {
      segs.emplace_back(std::string(kEllipsis), rb.style_at(b > a ? b - 1 : a));
      ++cells;
    }
    if (lead + cells > width)  // only a cluster wider than the whole row: show a blank
      rows.push_back(Strip(std::move(segs)).crop(0, width));
    else
      rows.emplace_back(std::move(segs), lead + cells);
  };
  // Emits plain[a, b) (known to be `cells` wide) cut to the width by the overflow mode.
  auto emit_overflowing = [&](std::size_t a, std::size_t b, int cells) {
    if (cells <= width) {
      emit(a, b, cells, false);
      return;
    }
    if (overflow == Overflow::Crop) {
      const CellPrefix p = fit(text, a, b, width);
      emit(a, p.bytes, p.cells, false);
    } else if (overflow == Overflow::Ellipsis) {
      const CellPrefix p = fit(text, a, b, width - 1);
      emit(a, p.bytes, p.cells, true);
    } else {
      while (a < b) {
        CellPrefix p = fit(text, a, b, width);
        if (p.bytes == a) {  // a cluster wider than the whole row
          const Grapheme g = next_grapheme(text.substr(0, b), a);
          p = {g.end, g.cells};
        }
        emit(a, p.bytes, p.cells, false);
        a = p.bytes;
      }
    }
  };

  std::size_t line_start = 0;
  while (true) {
    const std::size_t nl = text.find('\n', line_start);
    const std::size_t line_end = nl == std::string_view::npos ? text.size() : nl;
    if (no_wrap) {
      emit_overflowing(line_start, line_end,
                       orvo::tui::cell_len(text.substr(line_start, line_end - line_start)));
    } else if (line_start == line_end) {
      emit(line_start, line_end, 0, false);
    } else {
      // Greedy fill. A word is a run of non-spaces with the spaces after it; spaces at a break
      // are dropped, leading spaces of the line stay on its first row as part of its first word.
      std::size_t row_a = line_start;  // start of the current row
      std::size_t row_b = line_start;  // end of the row's text without trailing spaces
      int row_cells = 0;               // cells of [row_a, row_b)
      int pending = 0;                 // cells of the spaces after row_b
      bool has_text = false;
      std::size_t pos = line_start;
      while (pos < line_end) {
        std::size_t word_end = pos;
        while (word_end < line_end && text[word_end] == ' ') ++word_end;  // only at line start
        const int lead = static_cast<int>(word_end - pos);
        const std::size_t word_start = word_end;
        unsigned char high = 0;  // any non-ASCII byte in the word
        while (word_end < line_end && text[word_end] != ' ')
          high |= static_cast<unsigned char>(text[word_end++]);
        const int word_cells =
            lead + ((high & 0x80)
                        ? orvo::tui::cell_len(text.substr(word_start, word_end - word_start))
                        : static_cast<int>(word_end - word_start));
        std::size_t space_end = word_end;
        while (space_end < line_end && text[space_end] == ' ') ++space_end;
        const int space_cells = static_cast<int>(space_end - word_end);

        if (has_text && row_cells + pending + word_cells > width) {
          emit(row_a, row_b, row_cells, false);
          has_text = false;
        }
        if (!has_text) {
          row_a = pos;
          row_cells = 0;
          pending = 0;
        }
        if (word_cells > width) {
          if (overflow != Overflow::Fold) {
            emit_overflowing(pos, word_end, word_cells);  // a row of its own, cut
          } else {
            std::size_t a = pos;
            while (true) {
              CellPrefix p = fit(text, a, word_end, width);
              if (p.bytes == a) {  // a cluster wider than the whole row
                const Grapheme g = next_grapheme(text.substr(0, word_end), a);
                p = {g.end, g.cells};
              }
              if (p.bytes >= word_end) {
                row_a = a;
                row_b = word_end;
                row_cells = p.cells;
                pending = space_cells;
                has_text = true;
                break;
              }
              emit(a, p.bytes, p.cells, false);
              a = p.bytes;
            }
          }
        } else {
          row_cells += pending + word_cells;
          row_b = word_end;
          pending = space_cells;
          has_text = true;
        }
        pos = space_end;
      }
      if (has_text) {
        // Spaces that end the line stay as far as they fit (a padded code row keeps its
        // background); only spaces at a break are dropped.
        const int keep = std::max(0, std::min(pending, width - row_cells));
        emit(row_a, row_b + static_cast<std::size_t>(keep), row_cells + keep, false);
      }
    }
    if (nl == std::string_view::npos) break;
    line_start = nl + 1;
  }
  return rows;
}

std::vector<Strip> Text::render_lines(const Console&, int width) const {
  return rich_wrap(width);
}

}  // namespace orvo::tui
