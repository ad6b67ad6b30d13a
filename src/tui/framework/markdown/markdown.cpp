#include "tui/framework/markdown/markdown.hpp"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdio>
#include <memory>
#include <utility>

#include "common/utf8.hpp"
#include "tui/framework/highlight/code_theme.hpp"
#include "tui/framework/highlight/highlight.hpp"
#include "tui/framework/markdown/document.hpp"
#include "tui/framework/markdown/markdown_styles.hpp"
#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/text.hpp"

namespace orvo::tui {
namespace {

using md::Block;
using Kind = md::Block::Kind;

constexpr std::size_t kRenderCacheBytes = 48u << 20;
const Style kNoStyle;

using namespace markdown_styles;

LruCache<std::vector<Strip>>& render_cache() {
  static LruCache<std::vector<Strip>> c(kRenderCacheBytes);
  return c;
}

// Parsed documents by text: a resize lays the same answers out at a new width, and parsing is
// about a third of drawing one, so only the layout is done again.
constexpr std::size_t kParseCacheBytes = 32u << 20;
LruCache<Block>& parse_cache() {
  static LruCache<Block> c(kParseCacheBytes);
  return c;
}

std::shared_ptr<const Block> parsed(const std::string& text) {
  if (auto hit = parse_cache().get(text)) return hit;
  // Everything downstream sees valid UTF-8 without terminal controls.
  std::shared_ptr<const Block> doc = md::parse(text::terminal_safe(text));
  // The tree holds the text once more in runs, plus its nodes: about three times the text.
  parse_cache().put(text, doc, text.size() * 3);
  return doc;
}

// One level of nesting that puts something before each row: a quote bar, or a list marker
// (on the item's first row) and the matching indent (on the rows after it).
struct Prefix {
  Segment first;
  Segment rest;
  int cells;
  bool bar;
  bool used = false;
};

class Renderer {
 public:
  Renderer(const Styles& styles, const CodeTheme& code, int width, bool hyperlinks)
      : styles_(styles), code_(code), width_(width), hyperlinks_(hyperlinks) {}

  std::vector<Strip> take() { return std::move(rows_); }

  void blocks(const std::vector<std::unique_ptr<Block>>& children, int width, bool tight) {
    bool first = true;
    for (const auto& child : children) {
      if (!first && !tight) blank();
      first = false;
      block(*child, width);
    }
  }

 private:
  void block(const Block& b, int width) {
    switch (b.kind) {
      case Kind::Document:
        blocks(b.children, width, false);
        return;
      case Kind::Paragraph:
        paragraph(b.inlines, width, styles_[Paragraph]);
        return;
      case Kind::Heading:
        heading(b, width);
        return;
      case Kind::Code:
        code_block(b, width);
        return;
      case Kind::Html:
        html_block(b, width);
        return;
      case Kind::Quote:
        quote(b, width);
        return;
      case Kind::BulletList:
      case Kind::OrderedList:
        list(b, width);
        return;
      case Kind::Item:  // only reachable when nesting was flattened
        blocks(b.children, width, true);
        return;
      case Kind::Table:
        table(b, width);
        return;
      case Kind::Rule:
        rule(width, styles_[Hr]);
        return;
    }
  }

  // ---- rows and prefixes

  void emit(const Strip& row) {
    if (prefixes_.empty()) {
      push(row);
      return;
    }
    std::vector<Segment> segs;
    segs.reserve(prefixes_.size() + row.segments().size());
    int cells = 0;
    for (Prefix& p : prefixes_) {
      segs.push_back(p.used ? p.rest : p.first);
      p.used = true;
      cells += p.cells;
    }
    segs.insert(segs.end(), row.segments().begin(), row.segments().end());
    push(Strip(std::move(segs), cells + row.cell_length()));
  }

  void emit(Strip&& row) {
    if (prefixes_.empty()) {
      push(std::move(row));
    } else {
      emit(static_cast<const Strip&>(row));
    }
  }

  // An empty row; inside quotes it keeps the bars (but no list indent after the last bar).
  void blank() {
    std::size_t last_bar = prefixes_.size();
    for (std::size_t i = 0; i < prefixes_.size(); ++i) {
      if (prefixes_[i].bar) last_bar = i;
    }
    if (last_bar == prefixes_.size()) {
      rows_.emplace_back();
      return;
    }
    std::vector<Segment> segs;
    int cells = 0;
    for (std::size_t i = 0; i <= last_bar; ++i) {
      segs.push_back(prefixes_[i].used ? prefixes_[i].rest : prefixes_[i].first);
      cells += prefixes_[i].cells;
    }
    // No trailing blank after the last bar.
    while (!segs.back().text.empty() && segs.back().text.back() == ' ') {
      segs.back().text.pop_back();
      --cells;
    }
    push(Strip(std::move(segs), cells));
  }

  void push(Strip row) {
    if (row.cell_length() > width_) row = row.crop(0, width_);
    rows_.push_back(std::move(row));
  }

  // ---- inline text

  const Style& run_style(std::uint16_t flags) {
    flags &= (1u << md::kRunFlagBits) - 1;
    if (!known_[flags]) {
      Style st;
      if (flags & md::Link) st += styles_[LinkStyle];
      if (flags & md::Code) st += styles_[CodeInline];
      if (flags & md::Em) st += styles_[EmStyle];
      if (flags & md::Strong) st += styles_[StrongStyle];
      if (flags & md::Strike) st += styles_[StrikeStyle];
      if (flags & md::Underline) st += styles_[UnderlineStyle];
      if (flags & md::LinkUrl) st += styles_[LinkUrlStyle];
      if (flags & md::Image) st += styles_[ImageStyle];
      if (flags & md::Html) st += styles_[HtmlStyle];
      run_styles_[flags] = st;
      known_[flags] = true;
    }
    return run_styles_[flags];
  }

  Text inline_text(const md::Inlines& runs, const Style& base) {
    Text t("", base);
    for (const md::Run& r : runs) {
      // The terminal shows the target of a hyperlink itself: no " (url)" then.
      if (hyperlinks_ && (r.flags & md::LinkUrl)) continue;
      const Style& st = r.flags ? run_style(r.flags) : kNoStyle;
      t.append(r.text, r.link != 0 ? st.with_link_id(r.link) : st);
    }
    return t;
  }

  void paragraph(const md::Inlines& runs, int width, const Style& base) {
    Text t = inline_text(runs, base);
    for (Strip& row : t.rich_wrap(width)) emit(std::move(row));
  }

  void heading(const Block& b, int width) {
    const Style& st = styles_[static_cast<StyleId>(H1 + b.level - 1)];
    Text t = inline_text(b.inlines, st);
    if (b.level == 1) t.justify = Justify::Center;
    int widest = 0;
    for (Strip& row : t.rich_wrap(width)) {
      widest = std::max(widest, row.cell_length());
      emit(std::move(row));
    }
    if (b.level == 1) {
      rule(width, styles_[H1Border], "━");
    } else if (b.level == 2 && widest > 0) {
      rule(std::min(width, widest), styles_[H2Border], "─");
    }
  }

  void rule(int width, const Style& st, std::string_view piece = "─") {
    std::string line;
    line.reserve(piece.size() * static_cast<std::size_t>(std::max(width, 0)));
    for (int i = 0; i < width; ++i) line.append(piece);
    emit(Strip({Segment(std::move(line), st)}, std::max(width, 0)));
  }

  void html_block(const Block& b, int width) {
    std::string_view html = b.code;
    while (!html.empty() && html.back() == '\n') html.remove_suffix(1);
    Text t(html, styles_[HtmlStyle]);
    for (Strip& row : t.rich_wrap(width)) emit(std::move(row));
  }

  // ---- code

  void code_block(const Block& b, int width) {
    const auto code = highlight_code(b.code, b.language);
    const int pad = width >= 6 ? 1 : 0;
    const int inner = std::max(1, width - 2 * pad);
    const Style& bg = code_.base;
    const Segment pad_seg(std::string(static_cast<std::size_t>(pad), ' '), bg);

    std::vector<Segment> segs;
    std::size_t last_row_segments = 4;
    int cells = 0;
    // Neighbours in one style share a segment: fewer escape sequences in the output.
    auto add = [&segs](std::string_view text, const Style& st) {
      if (!segs.empty() && segs.back().style == st) {
        segs.back().text.append(text);
      } else {
        segs.emplace_back(std::string(text), st);
      }
    };
    auto start_row = [&] {
      segs.clear();
      // Rows of one block are alike: room for as many segments as the last one saves regrowing.
      segs.reserve(last_row_segments + 1);
      cells = 0;
      if (pad) segs.push_back(pad_seg);
    };
    auto end_row = [&] {
      if (cells < inner) add(std::string(static_cast<std::size_t>(inner - cells), ' '), bg);
      if (pad) add(pad_seg.text, bg);
      last_row_segments = segs.size();
      // (more than `inner` only when one wide cluster is wider than the block; push() crops it)
      emit(Strip(std::move(segs), std::max(cells, inner) + 2 * pad));
      segs = {};
      start_row();
    };

    // One blank row of the block's background above and below, so the code stands apart from
    // the text around it.
    auto blank_row = [&] {
      const int w = inner + 2 * pad;
      emit(Strip({Segment(std::string(static_cast<std::size_t>(w), ' '), bg)}, w));
    };
    blank_row();
    start_row();
    if (code->empty()) end_row();
    for (const CodeLine& line : *code) {
      for (const CodeToken& tok : line.tokens) {
        std::string_view piece = std::string_view(line.text).substr(tok.offset, tok.length);
        const Style& st = code_.style(tok.kind);
        if (is_plain_ascii(piece) && cells + static_cast<int>(piece.size()) <= inner) {
          add(piece, st);
          cells += static_cast<int>(piece.size());
          continue;
        }
        // Fold at the block's width, never splitting a cluster.
        std::size_t from = 0;
        std::size_t pos = 0;
        while (pos < piece.size()) {
          const Grapheme g = next_grapheme(piece, pos);
          if (cells + g.cells > inner && cells > 0) {
            if (pos > from) add(piece.substr(from, pos - from), st);
            end_row();
            from = pos;
          }
          cells += g.cells;
          pos = g.end;
        }
        if (pos > from) add(piece.substr(from, pos - from), st);
      }
      end_row();
    }
    blank_row();
  }

  // ---- containers

  void quote(const Block& b, int width) {
    const Style& bar = styles_[QuoteBorder];
    prefixes_.push_back({Segment("▌ ", bar), Segment("▌ ", bar), 2, true});
    const std::size_t from = rows_.size();
    blocks(b.children, width - 2, false);
    prefixes_.pop_back();
    // The quote's own style goes under whatever the content set.
    const Style& st = styles_[Quote];
    if (!st.empty()) {
      for (std::size_t i = from; i < rows_.size(); ++i) rows_[i] = rows_[i].apply_style(st, false);
    }
  }

  void list(const Block& b, int width) {
    const bool ordered = b.kind == Kind::OrderedList;
    static constexpr std::string_view kBullets[] = {"•", "◦", "▪"};
    const std::string_view bullet = kBullets[list_depth_ % 3];

    // Markers first: their widest one sets the hanging indent of the whole list.
    std::vector<Segment> markers;
    markers.reserve(b.children.size());
    unsigned long long number = b.start;
    int marker_cells = 0;
    for (const auto& item : b.children) {
      std::string text;
      Style st;
      if (ordered) {
        text = std::to_string(number++) + b.delimiter;
        st = styles_[Number];
      } else if (item->task == 0) {
        text = std::string(bullet);
        st = styles_[Bullet];
      }
      if (item->task != 0) {
        if (!text.empty()) text += ' ';
        text += item->task == 2 ? "☑" : "☐";
        if (!ordered) st = styles_[item->task == 2 ? TaskDone : TaskOpen];
      }
      text += ' ';
      marker_cells = std::max(marker_cells, cell_len(text));
      markers.emplace_back(std::move(text), st);
    }
    // Numbers are right-aligned, bullets left-aligned.
    for (Segment& m : markers) {
      const int cells = cell_len(m.text);
      if (cells < marker_cells) {
        const std::string fill(static_cast<std::size_t>(marker_cells - cells), ' ');
        m.text = ordered ? fill + m.text : m.text + fill;
      }
    }

    ++list_depth_;
    bool first = true;
    for (std::size_t i = 0; i < b.children.size(); ++i) {
      const Block& item = *b.children[i];
      if (!first && !b.tight) blank();
      first = false;
      prefixes_.push_back({markers[i],
                           Segment(std::string(static_cast<std::size_t>(marker_cells), ' ')),
                           marker_cells, false});
      const std::size_t before = rows_.size();
      if (item.kind == Kind::Item) {
        blocks(item.children, width - marker_cells, b.tight);
      } else {
        block(item, width - marker_cells);
      }
      if (rows_.size() == before) emit(Strip());  // an empty item still shows its marker
      prefixes_.pop_back();
    }
    --list_depth_;
  }

  // ---- tables

  void table(const Block& b, int width) {
    std::size_t ncols = b.aligns.size();
    for (const auto& row : b.rows) ncols = std::max(ncols, row.size());
    if (ncols == 0 || b.rows.empty()) return;
    const int n = static_cast<int>(ncols);

    // Cell texts, with the widest line and the widest word of each column.
    std::vector<std::vector<Text>> cells(b.rows.size());
    std::vector<int> max_w(ncols, 1);
    std::vector<int> min_w(ncols, 1);
    for (std::size_t r = 0; r < b.rows.size(); ++r) {
      const bool head = static_cast<int>(r) < b.head_rows;
      for (std::size_t c = 0; c < ncols; ++c) {
        static const md::Inlines kEmpty;
        const md::Inlines& runs = c < b.rows[r].size() ? b.rows[r][c] : kEmpty;
        Text t = inline_text(runs, head ? styles_[TableHeader] : Style());
        measure(t.plain(), max_w[c], min_w[c]);
        cells[r].push_back(std::move(t));
      }
    }

    // Borders take n + 1 cells and padding two per column; padding goes first when tight.
    int pad = 1;
    int avail = width - (n + 1) - 2 * n;
    if (avail < n) {
      pad = 0;
      avail = width - (n + 1);
    }
    const std::vector<int> widths = fit_columns(max_w, min_w, std::max(avail, n));

    const Style& border = styles_[TableBorder];
    auto line = [&](std::string_view left, std::string_view mid, std::string_view right) {
      std::string s(left);
      int total = 1;
      for (int c = 0; c < n; ++c) {
        for (int i = 0; i < widths[c] + 2 * pad; ++i) s += "─";
        total += widths[c] + 2 * pad + 1;
        s += c + 1 < n ? mid : right;
      }
      emit(Strip({Segment(std::move(s), border)}, total));
    };

    line("┌", "┬", "┐");
    for (std::size_t r = 0; r < b.rows.size(); ++r) {
      if (static_cast<int>(r) == b.head_rows && r > 0) line("├", "┼", "┤");
      std::vector<std::vector<Strip>> wrapped(ncols);
      std::size_t height = 1;
      for (std::size_t c = 0; c < ncols; ++c) {
        Text& t = cells[r][c];
        const md::Align a = c < b.aligns.size() ? b.aligns[c] : md::Align::Default;
        t.justify = a == md::Align::Center  ? Justify::Center
                    : a == md::Align::Right ? Justify::Right
                                            : Justify::Left;
        wrapped[c] = t.empty() ? std::vector<Strip>() : t.rich_wrap(widths[c]);
        height = std::max(height, wrapped[c].size());
      }
      const std::string pad_text(static_cast<std::size_t>(pad), ' ');
      for (std::size_t y = 0; y < height; ++y) {
        std::vector<Segment> segs;
        int total = 0;
        segs.emplace_back("│", border);
        total += 1;
        for (std::size_t c = 0; c < ncols; ++c) {
          if (pad) segs.emplace_back(pad_text);
          Strip cell = y < wrapped[c].size() ? wrapped[c][y] : Strip();
          if (cell.cell_length() > widths[c]) cell = cell.crop(0, widths[c]);
          const int fill = widths[c] - cell.cell_length();
          segs.insert(segs.end(), cell.segments().begin(), cell.segments().end());
          const int right_pad = fill + pad;
          if (right_pad > 0)
            segs.emplace_back(std::string(static_cast<std::size_t>(right_pad), ' '));
          segs.emplace_back("│", border);
          total += widths[c] + 2 * pad + 1;
        }
        emit(Strip(std::move(segs), total));
      }
    }
    line("└", "┴", "┘");
  }

  // Widest line (max) and widest word (min) of a cell, in cells.
  static void measure(const std::string& s, int& max_w, int& min_w) {
    int line = 0;
    int word = 0;
    for_each_grapheme(s, [&](const Grapheme& g) {
      const char c = s[g.begin];
      if (c == '\n') {
        line = 0;
        word = 0;
        return;
      }
      line += g.cells;
      word = c == ' ' ? 0 : word + g.cells;
      max_w = std::max(max_w, line);
      min_w = std::max(min_w, word);
    });
  }

  // Column widths within `avail`: natural widths when they fit; otherwise the widest columns
  // give way first, down to their longest word, and only then are words folded.
  static std::vector<int> fit_columns(const std::vector<int>& max_w, const std::vector<int>& min_w,
                                      int avail) {
    const std::size_t n = max_w.size();
    std::vector<int> w(n);
    auto total_with = [&](int cap, bool respect_min) {
      long long sum = 0;
      for (std::size_t c = 0; c < n; ++c) {
        int v = std::min(max_w[c], cap);
        if (respect_min) v = std::max(v, std::min(min_w[c], max_w[c]));
        sum += std::max(v, 1);
      }
      return sum;
    };
    auto widths_with = [&](int cap, bool respect_min) {
      for (std::size_t c = 0; c < n; ++c) {
        int v = std::min(max_w[c], cap);
        if (respect_min) v = std::max(v, std::min(min_w[c], max_w[c]));
        w[c] = std::max(v, 1);
      }
    };
    const int widest = *std::max_element(max_w.begin(), max_w.end());
    const bool respect_min = total_with(1, true) <= avail;
    // The largest cap whose total fits.
    int lo = 1;
    int hi = widest;
    while (lo < hi) {
      const int mid = lo + (hi - lo + 1) / 2;
      if (total_with(mid, respect_min) <= avail) {
        lo = mid;
      } else {
        hi = mid - 1;
      }
    }
    widths_with(lo, respect_min);
    // Hand out what the cap left unused, widest wish first.
    long long spare = avail - total_with(lo, respect_min);
    for (std::size_t c = 0; c < n && spare > 0; ++c) {
      if (w[c] < max_w[c]) {
        ++w[c];
        --spare;
      }
    }
    return w;
  }

  const Styles& styles_;
  const CodeTheme& code_;
  int width_;
  bool hyperlinks_;
  std::vector<Strip> rows_;
  std::vector<Prefix> prefixes_;
  int list_depth_ = 0;
  std::array<Style, 1u << md::kRunFlagBits> run_styles_{};
  std::bitset<1u << md::kRunFlagBits> known_;
};

std::size_t strips_cost(const std::vector<Strip>& rows) {
  std::size_t cost = rows.size() * sizeof(Strip);
  for (const Strip& row : rows) {
    for (const Segment& s : row.segments()) cost += sizeof(Segment) + s.text.size();
  }
  return cost;
}

}  // namespace

Markdown::Markdown(std::string text, std::string code_theme)
    : text_(std::move(text)), code_theme_(std::move(code_theme)) {}

Style Markdown::default_style(std::string_view name) {
  const Style* st = Theme::default_theme().get(name);
  return st ? *st : Style();
}

std::vector<Strip> Markdown::render_lines(const Console& console, int width) const {
  return *render_shared(console, width);
}

namespace {

std::string layout_key(const std::string& text, const std::string& code_theme, int width,
                       bool hyperlinks, const Styles& styles) {
  std::string key;
  key.reserve(text.size() + code_theme.size() + 48);
  char head[48];
  const int n =
      std::snprintf(head, sizeof head, "%d:%d:%zx:", width, hyperlinks ? 1 : 0, styles.hash());
  key.append(head, static_cast<std::size_t>(n)).append(code_theme).append(1, '\0').append(text);
  return key;
}

std::vector<Strip> lay_out(const std::string& text, const std::string& code_theme, int width,
                           bool hyperlinks, const Styles& styles) {
  const std::shared_ptr<const Block> doc = parsed(text);
  Renderer renderer(styles, CodeTheme::named(code_theme), width, hyperlinks);
  renderer.blocks(doc->children, width, false);
  return renderer.take();
}

}  // namespace

std::shared_ptr<const std::vector<Strip>> Markdown::render_shared(const Console& console,
                                                                  int width) const {
  if (width < 1) width = 1;
  const Styles styles = resolve_styles(console);
  const std::string key = layout_key(text_, code_theme_, width, console.hyperlinks(), styles);
  if (auto hit = render_cache().get(key)) return hit;
  auto rows = std::make_shared<std::vector<Strip>>(
      lay_out(text_, code_theme_, width, console.hyperlinks(), styles));
  render_cache().put(key, rows, strips_cost(*rows));
  return rows;
}

std::vector<Strip> Markdown::render_unkept(const Console& console, int width) const {
  if (width < 1) width = 1;
  const Styles styles = resolve_styles(console);
  if (auto hit =
          render_cache().get(layout_key(text_, code_theme_, width, console.hyperlinks(), styles)))
    return *hit;
  return lay_out(text_, code_theme_, width, console.hyperlinks(), styles);
}

void Markdown::clear_cache() {
  render_cache().clear();
  parse_cache().clear();
}

void Markdown::clear_layout_cache() {
  render_cache().clear();
}

CacheStats Markdown::cache_stats() {
  return render_cache().stats();
}

}  // namespace orvo::tui
