// Answers: streamed line by line as plain wrapped text, settled as markdown or plain paragraphs.
#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "tui/framework/markdown/markdown.hpp"
#include "tui/framework/text/textwrap.hpp"
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
    write(Text(""));
    _track_lines();
    _stream_started = true;
    _stream_shown.clear();
  }
  const std::size_t last_nl = _stream_text->rfind('\n');
  if (last_nl == std::string::npos) return;
  // Every complete line is drawn; the unfinished tail waits for its newline.
  std::string done = _stream_text->substr(0, last_nl);
  _stream_text->erase(0, last_nl + 1);
  _stream_shown.append(done).push_back('\n');
  std::size_t start = 0;
  while (true) {
    const std::size_t nl = done.find('\n', start);
    _write_wrapped(done.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  scroll_end(false);
}

void Scrivlet::finish_stream(const std::string& full_text) {
  const bool streamed = _stream_started.value_or(false);
  std::string tail;
  if (_stream_text) {
    tail = std::exchange(*_stream_text, "");
    _stream_started = false;
  }
  _stream_shown.clear();
  if (has_content(full_text)) {
    _history.emplace_back("assistant", std::vector<std::string>{full_text});
    // The settled look at once: the replay drops the streamed rows and draws the answer as an
    // entry (every entry before it gets its rows back), at the reader's place.
    if (streamed) {
      _replay_in_place();
      return;
    }
  } else if (has_content(tail)) {
    _write_wrapped(tail);
  }
  scroll_end(false);
}

void Scrivlet::_redraw_stream() {
  if (!_stream_started.value_or(false)) return;
  write(Text(""));
  _track_lines();
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
    const Console md_console(o);
    const std::shared_ptr<const std::vector<Strip>> rows =
        Markdown(text, "monokai").render_shared(md_console, w - 2);
    // The ANSI text of a console without hyperlinks carries none: neither do its rows.
    const bool unlink = !md_console.hyperlinks();
    _write_indented_rows(*rows, unlink);
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
