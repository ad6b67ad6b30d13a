// Answers: streamed line by line as plain wrapped text, settled as markdown or plain paragraphs.
#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "tui/framework/markdown/markdown.hpp"
#include "tui/framework/text/textwrap.hpp"
#include "tui/framework/text/themed.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {

namespace {

constexpr std::array<std::string_view, 6> MARKDOWN_MARKERS = {"```", "###", "**", "- ", "1. ", "`"};

bool looks_like_markdown(std::string_view text) {
  return std::any_of(MARKDOWN_MARKERS.begin(), MARKDOWN_MARKERS.end(),
                     [&](std::string_view m) { return text.find(m) != std::string_view::npos; });
}

// One rendered markdown row behind a two-space indent. Laid out like the same row written as
// Text: when it fits, that layout is the row itself, so the Text round trip is skipped.
class IndentedRow : public Renderable {
 public:
  // Refers to `row`, which must outlive the write; a held write gets an owning clone.
  explicit IndentedRow(const Strip& row) : row_(&row) {}
  IndentedRow(const IndentedRow&) = delete;
  IndentedRow& operator=(const IndentedRow&) = delete;

  std::vector<Strip> render_lines(const Console& console, int width) const override {
    if (row_->cell_length() + 2 <= width) {
      std::vector<Segment> segs;
      segs.reserve(row_->segments().size() + 1);
      segs.emplace_back("  ");
      segs.insert(segs.end(), row_->segments().begin(), row_->segments().end());
      std::vector<Strip> out;
      out.emplace_back(std::move(segs), row_->cell_length() + 2);
      return out;
    }
    Text t("  ");
    for (const auto& s : row_->segments()) t.append(s.text, s.style);
    return t.render_lines(console, width);
  }
  std::unique_ptr<Renderable> clone() const override {
    auto copy = std::make_unique<IndentedRow>(*row_);
    copy->owned_ = *row_;
    copy->row_ = &copy->owned_;
    return copy;
  }

 private:
  Strip owned_;  // only a clone owns its row
  const Strip* row_;
};

// The rows of a markdown answer at text width `width`, without the indent. A console of its own
// with the default theme: answers look the same whatever the log's console carries.
std::vector<Strip> markdown_rows(const std::string& text, int width, ThemeKind theme) {
  ConsoleOptions o;
  o.width = width;
  o.color_system = ColorSystem::TrueColor;
  o.force_terminal = true;
  o.no_color = false;
  Console console(o);
  if (const Theme* t = answer_theme(theme)) console.push_theme(*t);
  std::vector<Strip> rows =
      console.render_lines(Markdown(text, std::string(code_theme_for(theme))), width);
  // The ANSI text of a console without hyperlinks carries none: neither do its rows.
  if (!console.hyperlinks()) {
    for (auto& row : rows) {
      bool linked = false;
      for (const auto& seg : row.segments()) linked = linked || seg.style.link_id() != 0;
      if (!linked) continue;
      std::vector<Segment> segs = row.segments();
      for (auto& seg : segs) seg.style = seg.style.with_link("");
      row = Strip(std::move(segs), row.cell_length());
    }
  }
  return rows;
}

// A marker may straddle two pieces: the check of new text starts this far back.
constexpr std::size_t kMarkerOverlap = 2;
// The finished blocks after the settled part are drawn again whenever a block ends; past this
// size (one very long list) they wait as plain lines, so a line never costs more than this.
constexpr std::size_t kOpenLimit = std::size_t{16} << 10;
// Link definitions go in front of every part; past this size the answer is drawn plain.
constexpr std::size_t kDefinitionsLimit = std::size_t{16} << 10;
// Late link definitions redraw the answer from its start at most this often.
constexpr int kRebuildLimit = 4;

// True when the line that ends right before byte `pos` of `text` is blank.
bool blank_line_before(std::string_view text, std::size_t pos) {
  if (pos == 0 || text[pos - 1] != '\n') return false;
  const std::size_t start = text.rfind('\n', pos >= 2 ? pos - 2 : std::string_view::npos);
  const std::size_t from = start == std::string_view::npos || pos < 2 ? 0 : start + 1;
  const std::string_view line = text.substr(from, pos - 1 - from);
  return std::all_of(line.begin(), line.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

}  // namespace

int Scrivlet::_stream_avail_width() {
  const int w = std::max(_app_width().value_or(82) - 6, 40) - 2;
  // Never wider than the log lays rows out (its width minus 2, then the indent of 2): a row
  // wrapped here is never wrapped again into a stub.
  int log_width = 0;
  try {
    log_width = size().width - 2;
  } catch (const std::exception&) {
  }
  if (log_width > 10) return std::max(1, std::min(w, log_width - 2));
  return w;
}

void Scrivlet::_write_wrapped(const std::string& line) {
  const int n = _stream_avail_width();
  if (!has_content(line)) {
    write(Text("  " + line));
    _track_lines();
    return;
  }
  // Rows are measured in terminal cells. Where every character takes one cell the cell count is
  // the character count and the plain-string wrapper's rows stand; otherwise (wide characters,
  // clusters) the styled-text wrapper lays the line out by cells and whole clusters.
  if (text::count_chars(line) == static_cast<std::size_t>(text::cell_len(line))) {
    for (const auto& row : orvo::tui::textwrap_wrap(line, n)) {
      write(Text("  " + row));
      _track_lines();
    }
    return;
  }
  for (const auto& row : Text(line).rich_wrap(n)) {
    write(Text("  " + row.text()));
    _track_lines();
  }
}

void Scrivlet::stream_token(const std::string& token) {
  if (!_stream_text) {
    _stream_text = "";
    _stream_started = false;
  }
  *_stream_text += token;
  if (!*_stream_started) {
    _live_begin();
    write(Text(""));
    _track_lines();
    _stream_started = true;
    _stream_shown.clear();
  }
  // Only the new text can hold the first line feed.
  const std::size_t last_nl =
      token.find('\n') == std::string::npos ? std::string::npos : _stream_text->rfind('\n');
  if (last_nl == std::string::npos) return;
  // Every complete line is drawn; the unfinished tail waits for its newline.
  const std::size_t from = _stream_shown.size();
  _stream_shown.append(*_stream_text, 0, last_nl + 1);
  _stream_text->erase(0, last_nl + 1);
  _live_lines(from);
  scroll_end(false);
}

void Scrivlet::_live_begin() {
  _live = LiveAnswer{};
  _live.start = _begin_draw();
}

void Scrivlet::_live_lines(std::size_t from) {
  if (!_live.markdown && !_live.off) {
    const std::size_t back = std::min(from, kMarkerOverlap);
    if (looks_like_markdown(std::string_view(_stream_shown).substr(from - back))) {
      if (rows_epoch() == _live.start.rows_epoch && held_writes() == 0 && size().width > 0) {
        _live.markdown = true;
        _live_redraw();
        return;
      }
      _live.off = true;
    }
  }
  if (_live.markdown && (rows_epoch() != _live.start.rows_epoch || held_writes() != 0)) {
    // Rows left the log or are not laid out yet: the answer's own rows cannot be found again.
    _live.markdown = false;
    _live.off = true;
  }
  if (!_live.markdown) {
    std::size_t start = from;
    while (start < _stream_shown.size()) {
      const std::size_t nl = _stream_shown.find('\n', start);
      _write_wrapped(_stream_shown.substr(start, nl - start));
      start = nl + 1;
    }
    return;
  }
  std::size_t start = _live.scanned;
  while (start < _stream_shown.size()) {
    const std::size_t nl = _stream_shown.find('\n', start);
    _live.scan.line(std::string_view(_stream_shown).substr(start, nl - start), start);
    start = nl + 1;
  }
  _live.scanned = _stream_shown.size();
  if (_live.scan.definitions().size() > kDefinitionsLimit) {
    _live.markdown = false;
    _live.off = true;
    _live_plain(from);
    return;
  }
  if (_live.scan.take_new_definition() && _live.settled > 0) {
    // A part drawn before may use the new label.
    if (++_live.rebuilds <= kRebuildLimit) {
      _live_redraw();
      return;
    }
    _live.off = true;  // the rows stay as they are; the finish draws the answer whole
  }
  const std::size_t settled = _live.scan.settled();
  const std::size_t open = _live.scan.open();
  if (settled > _live.settled) {
    drop_rows_from(_live.settled_end);
    _line_counter = _live.settled_lines;
    _live_markdown_part(_live.settled, settled, _live.settled_any);
    _live.settled_any = _live.settled_any || lines().size() > _live.settled_end;
    _live.settled = settled;
    _live.settled_end = lines().size();
    _live.settled_lines = _line_counter.value_or(0);
    _live.open_shown = settled;
    _live_draw_open();
    return;
  }
  if (open != _live.open_shown && open - settled <= kOpenLimit) {
    _live_draw_open();
    return;
  }
  _live_plain(from);
}

void Scrivlet::_live_markdown_part(std::size_t from, std::size_t to, bool after_rows) {
  if (to <= from) return;
  const std::string_view part = std::string_view(_stream_shown).substr(from, to - from);
  const std::string& defs = _live.scan.definitions();
  std::string text;
  text.reserve(defs.size() + 1 + part.size());
  if (!defs.empty()) text.append(defs).push_back('\n');
  text.append(part);
  const std::vector<Strip> rows = markdown_rows(text, _live.width, _theme());
  if (rows.empty()) return;
  // Blocks are one empty row apart, also across parts.
  if (after_rows) {
    write(IndentedRow(Strip()));
    _track_lines();
  }
  for (const auto& row : rows) {
    write(IndentedRow(row));
    _track_lines();
  }
}

void Scrivlet::_live_draw_open() {
  drop_rows_from(_live.settled_end);
  _line_counter = _live.settled_lines;
  const std::size_t settled = _live.settled;
  const std::size_t open = std::max(_live.scan.open(), settled);
  const std::size_t upto = open - settled <= kOpenLimit ? open : settled;
  const std::size_t before = lines().size();
  _live_markdown_part(settled, upto, _live.settled_any);
  _live.open_any = lines().size() > before;
  _live.open_shown = upto;
  _live.plain_any = false;
  _live_plain(upto);
}

void Scrivlet::_live_plain(std::size_t from) {
  std::size_t start = from;
  while (start < _stream_shown.size()) {
    const std::size_t nl = _stream_shown.find('\n', start);
    // The block in progress stands apart from the finished ones as it will once drawn.
    if (!_live.plain_any && _live.markdown && (_live.settled_any || _live.open_any) &&
        blank_line_before(_stream_shown, _live.open_shown)) {
      write(IndentedRow(Strip()));
      _track_lines();
    }
    _live.plain_any = true;
    _write_wrapped(_stream_shown.substr(start, nl - start));
    start = nl + 1;
  }
}

void Scrivlet::_live_redraw() {
  drop_rows_from(_live.start.row + 1);
  _line_counter = _live.start.line + 1;
  _live.width = _stream_avail_width();
  _live.scan = BlockScanner{};
  std::size_t start = 0;
  while (start < _stream_shown.size()) {
    const std::size_t nl = _stream_shown.find('\n', start);
    _live.scan.line(std::string_view(_stream_shown).substr(start, nl - start), start);
    start = nl + 1;
  }
  _live.scanned = _stream_shown.size();
  _live.scan.take_new_definition();
  _live.settled = _live.scan.settled();
  _live.settled_end = lines().size();
  _live_markdown_part(0, _live.settled, false);
  _live.settled_any = lines().size() > _live.settled_end;
  _live.settled_end = lines().size();
  _live.settled_lines = _line_counter.value_or(0);
  _live_draw_open();
}

std::size_t Scrivlet::_stream_settled_rows() const {
  if (!_stream_started.value_or(false) || !_live.markdown) return 0;
  return _live.settled_end - _live.start.row;
}

bool Scrivlet::_live_finish(const std::string& full_text, const std::string& tail) {
  if (!_live.markdown || _live.off || !looks_like_markdown(full_text) || held_writes() != 0 ||
      rows_epoch() != _live.start.rows_epoch || size().width <= 0 ||
      _stream_avail_width() != _live.width ||
      full_text.size() != _stream_shown.size() + tail.size() ||
      full_text.compare(0, _stream_shown.size(), _stream_shown) != 0 ||
      full_text.compare(_stream_shown.size(), std::string::npos, tail) != 0)
    return false;
  _stream_shown += tail;
  _live.scan.line(std::string_view(_stream_shown).substr(_live.scanned), _live.scanned);
  if (_live.scan.take_new_definition() && _live.settled > 0) return false;
  if (_live.scan.definitions().size() > kDefinitionsLimit) return false;
  // The last block drawn as markdown: the rows are now those of the whole answer drawn at once.
  drop_rows_from(_live.settled_end);
  _line_counter = _live.settled_lines;
  _live_markdown_part(_live.settled, _stream_shown.size(), _live.settled_any);
  // The console ends its output with a newline: the empty piece after it is a row too.
  write(Text("  "));
  _track_lines();
  _end_draw(_history.size() - 1, false, _live.start);
  return true;
}

void Scrivlet::finish_stream(const std::string& full_text) {
  const bool streamed = _stream_started.value_or(false);
  std::string tail;
  if (_stream_text) {
    tail = std::exchange(*_stream_text, "");
    _stream_started = false;
  }
  if (has_content(full_text)) {
    _history.emplace_back("assistant", std::vector<std::string>{full_text});
    // The settled look at once: when the rows drawn so far are those of the whole answer apart
    // from its last block, that block is drawn; otherwise the replay drops the streamed rows and
    // draws the answer as an entry (every entry before it gets its rows back), at the reader's
    // place.
    if (streamed) {
      const bool done = _live_finish(full_text, tail);
      _stream_shown.clear();
      _live = LiveAnswer{};
      if (!done) {
        _replay_in_place();
        return;
      }
    }
  } else if (has_content(tail)) {
    _write_wrapped(tail);
  }
  _stream_shown.clear();
  _live = LiveAnswer{};
  scroll_end(false);
}

void Scrivlet::_redraw_stream() {
  if (!_stream_started.value_or(false)) return;
  const bool markdown = _live.markdown;
  const bool off = _live.off;
  const int rebuilds = _live.rebuilds;
  _live_begin();
  _live.markdown = markdown;
  _live.off = off;
  _live.rebuilds = rebuilds;
  write(Text(""));
  _track_lines();
  if (markdown && held_writes() == 0 && size().width > 0) {
    _live_redraw();
    return;
  }
  _live.markdown = false;
  _live.off = _live.off || markdown;
  std::size_t start = 0;
  while (start < _stream_shown.size()) {
    const std::size_t nl = _stream_shown.find('\n', start);
    _write_wrapped(_stream_shown.substr(start, nl - start));
    start = nl + 1;
  }
}

void Scrivlet::_write_indented_rows(const std::vector<Strip>& rows, bool unlink) {
  const auto linked = [](const Strip& row) {
    return std::any_of(row.segments().begin(), row.segments().end(),
                       [](const Segment& s) { return s.style.link_id() != 0; });
  };
  // The width write() lays a row out at; none known yet (or writes held): row by row through
  // write(), which holds them until the first layout.
  std::optional<int> width;
  try {
    if (const int w = size().width - 2; w > 10 && held_writes() == 0) width = w;
  } catch (const std::exception&) {
  }
  if (!width) {
    for (const auto& row : rows) {
      if (unlink && linked(row)) {
        std::vector<Segment> segs = row.segments();
        for (auto& seg : segs) seg.style = seg.style.with_link("");
        write(IndentedRow(Strip(std::move(segs), row.cell_length())));
      } else {
        write(IndentedRow(row));
      }
      _track_lines();
    }
    return;
  }
  // The rows IndentedRow would give, built in one pass and appended at once: one copy of each
  // segment, no Renderable and no log update per row.
  std::vector<Strip> out;
  out.reserve(rows.size());
  for (const auto& row : rows) {
    const bool drop_links = unlink && linked(row);
    if (row.cell_length() + 2 <= *width) {
      std::vector<Segment> segs;
      segs.reserve(row.segments().size() + 1);
      segs.emplace_back("  ");
      for (const auto& seg : row.segments()) {
        segs.push_back(seg);
        if (drop_links) segs.back().style = seg.style.with_link("");
      }
      out.emplace_back(std::move(segs), row.cell_length() + 2);
      continue;
    }
    Text t("  ");
    for (const auto& s : row.segments())
      t.append(s.text, drop_links ? s.style.with_link("") : s.style);
    for (Strip& r : t.render_lines(console(), *width)) out.push_back(std::move(r));
  }
  if (!rows.empty()) _track_lines(static_cast<int>(rows.size()));
  if (!out.empty()) append_rows(std::move(out));
}

void Scrivlet::_write_indented_rows(std::vector<Strip>&& rows, bool unlink) {
  std::optional<int> width;
  try {
    if (const int w = size().width - 2; w > 10 && held_writes() == 0) width = w;
  } catch (const std::exception&) {
  }
  const auto fits_unlinked = [&](const Strip& row) {
    return row.cell_length() + 2 <= *width &&
           !(unlink && std::any_of(row.segments().begin(), row.segments().end(),
                                   [](const Segment& s) { return s.style.link_id() != 0; }));
  };
  if (!width || !std::all_of(rows.begin(), rows.end(), fits_unlinked)) {
    _write_indented_rows(static_cast<const std::vector<Strip>&>(rows), unlink);
    return;
  }
  // Every row fits behind the indent as it is (the usual case): the indent goes in front of its
  // segments, which move rather than being copied.
  for (Strip& row : rows) {
    const int cells = row.cell_length() + 2;
    std::vector<Segment> segs = row.take_segments();
    segs.insert(segs.begin(), Segment("  "));
    row = Strip(std::move(segs), cells);
  }
  if (!rows.empty()) _track_lines(static_cast<int>(rows.size()));
  if (!rows.empty()) append_rows(std::span<Strip>(rows));
}

void Scrivlet::append_assistant(const std::string& text) {
  _history.emplace_back("assistant", std::vector<std::string>{text});
  _draw_entry(_history.size() - 1, false, [&] { _render_assistant(text); });
}

void Scrivlet::_render_assistant(const std::string& text) {
  write(Text(""));
  _track_lines();
  const int w = _stream_avail_width() + 2;
  if (looks_like_markdown(text)) {
    // A console of its own with the default theme: answers look the same whatever the log's
    // console carries.
    ConsoleOptions o;
    o.width = w - 2;
    o.color_system = ColorSystem::TrueColor;
    o.force_terminal = true;
    o.no_color = false;
    Console md_console(o);
    const ThemeKind theme = _theme();
    if (const Theme* t = answer_theme(theme)) md_console.push_theme(*t);
    // The log keeps the rows itself (and a replay reuses them): the markdown cache need not.
    std::vector<Strip> rows =
        Markdown(text, std::string(code_theme_for(theme))).render_unkept(md_console, w - 2);
    // The ANSI text of a console without hyperlinks carries none: neither do its rows.
    const bool unlink = !md_console.hyperlinks();
    _write_indented_rows(std::move(rows), unlink);
    // The console ends its output with a newline: the empty piece after it is a row too.
    write(Text("  "));
    _track_lines();
    return;
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t nl = text.find('\n', start);
    const std::string_view para = std::string_view(text).substr(
        start, nl == std::string::npos ? std::string_view::npos : nl - start);
    if (has_content(para)) {
      for (const auto& row : orvo::tui::textwrap_wrap(para, w - 2)) {
        write(Text("  " + row));
        _track_lines();
      }
    } else {
      write(Text("  "));
      _track_lines();
    }
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
}

}  // namespace orvo::tui::scrivlet
