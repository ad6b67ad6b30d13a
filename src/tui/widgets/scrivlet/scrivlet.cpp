// The class shell: construction, the width rule of write, line counting, clear and the replay.
#include "tui/widgets/scrivlet/scrivlet.hpp"

#include <cstdint>
#include <cstring>
#include <exception>
#include <span>

#include "tui/framework/widgets/app.hpp"

namespace orvo::tui::scrivlet {

namespace {

// The code point starting at byte `i` and its length; an invalid byte reads as itself, length 1.
char32_t decode(std::string_view s, std::size_t i, std::size_t& len) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  len = 1;
  if (b0 < 0x80) return b0;
  int extra = 0;
  char32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0 && b0 >= 0xC2) {
    extra = 1;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0 && b0 <= 0xF4) {
    extra = 3;
    cp = b0 & 0x07;
  } else {
    return 0xFFFD;
  }
  if (i + static_cast<std::size_t>(extra) >= s.size()) return 0xFFFD;
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((b & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms and surrogates are invalid: one byte at a time then.
  if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0xFFFD;
  len = static_cast<std::size_t>(extra) + 1;
  return cp;
}

bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

}  // namespace

std::pair<std::string, std::string> tool_header(std::string_view name) {
  for (const auto& h : TOOL_HEADERS)
    if (h.name == name) return {std::string(h.label), std::string(h.verb)};
  return {std::string(name), std::string(name)};
}

const Theme& custom_theme() {
  static const Theme theme = [] {
    std::map<std::string, std::string> defs;
    for (const auto& s : CUSTOM_THEME) defs.emplace(s.name, s.definition);
    return Theme(defs);
  }();
  return theme;
}

namespace {

// Length of the line break starting at byte i (0 when there is none): the ASCII breaks, NEL,
// LS and PS. Byte patterns suffice: in UTF-8 these lead bytes never occur inside another
// character.
std::size_t break_at(std::string_view t, std::size_t i) {
  const auto b = static_cast<unsigned char>(t[i]);
  if (b < 0x20) {
    if (b == '\r') return i + 1 < t.size() && t[i + 1] == '\n' ? 2 : 1;
    return (b == '\n' || b == 0x0B || b == 0x0C || b == 0x1C || b == 0x1D || b == 0x1E) ? 1 : 0;
  }
  if (b == 0xC2) return i + 1 < t.size() && static_cast<unsigned char>(t[i + 1]) == 0x85 ? 2 : 0;
  if (b == 0xE2 && i + 2 < t.size() && static_cast<unsigned char>(t[i + 1]) == 0x80) {
    const auto c = static_cast<unsigned char>(t[i + 2]);
    return c == 0xA8 || c == 0xA9 ? 3 : 0;
  }
  return 0;
}

// Bytes that may start a line break; everything else is skipped at table speed (tool output
// runs to tens of kilobytes and every replay walks it).
struct BreakLeads {
  bool lead[256] = {};
  constexpr BreakLeads() {
    for (int b = 0; b < 0x20; ++b) lead[b] = true;
    lead[0xC2] = lead[0xE2] = true;
  }
};
constexpr BreakLeads kBreakLeads;

std::size_t next_candidate(std::string_view t, std::size_t i) {
  const char* p = t.data();
  const std::size_t n = t.size();
  // Eight bytes at a time while none of them is below 0x20, 0xC2 or 0xE2: the bit tricks tell
  // whether a word holds such a byte (never wrongly that it does not), and the byte loop below
  // finds which.
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
  while (i + 8 <= n) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    const std::uint64_t c2 = w ^ (kOnes * 0xC2), e2 = w ^ (kOnes * 0xE2);
    const std::uint64_t below_space = (w - kOnes * 0x20) & ~w;
    const std::uint64_t zero_c2 = (c2 - kOnes) & ~c2, zero_e2 = (e2 - kOnes) & ~e2;
    if ((below_space | zero_c2 | zero_e2) & kHighs) break;
    i += 8;
  }
  while (i < n && !kBreakLeads.lead[static_cast<unsigned char>(p[i])]) ++i;
  return i;
}

}  // namespace

std::vector<std::string_view> line_views(std::string_view text, std::size_t limit) {
  std::vector<std::string_view> out;
  std::size_t start = 0, i = 0;
  while (out.size() < limit && (i = next_candidate(text, i)) < text.size()) {
    const std::size_t len = break_at(text, i);
    if (len == 0) {
      ++i;
      continue;
    }
    out.push_back(text.substr(start, i - start));
    i += len;
    start = i;
  }
  if (start < text.size() && out.size() < limit) out.push_back(text.substr(start));
  return out;
}

std::size_t count_lines(std::string_view text) {
  std::size_t n = 0, start = 0, i = 0;
  while ((i = next_candidate(text, i)) < text.size()) {
    const std::size_t len = break_at(text, i);
    if (len == 0) {
      ++i;
      continue;
    }
    ++n;
    i += len;
    start = i;
  }
  return n + (start < text.size() ? 1 : 0);
}

std::vector<std::string> split_lines(std::string_view text) {
  const auto views = line_views(text);
  return std::vector<std::string>(views.begin(), views.end());
}

std::string_view strip(std::string_view text) {
  auto space_at = [&](std::size_t i, std::size_t& len) {
    const auto b = static_cast<unsigned char>(text[i]);
    len = 1;
    if (b < 0x80) return is_space(b);
    const char32_t c = decode(text, i, len);
    return len > 1 && is_space(c);
  };
  std::size_t begin = 0, len = 1;
  while (begin < text.size() && space_at(begin, len)) begin += len;
  std::size_t end = text.size();
  while (end > begin) {
    // The start of the last character: at most three continuation bytes back.
    std::size_t s = end - 1;
    while (s > begin && end - s < 4 && (static_cast<unsigned char>(text[s]) & 0xC0) == 0x80) --s;
    if (!space_at(s, len) || s + len != end) break;
    end = s;
  }
  return text.substr(begin, end - begin);
}

bool has_content(std::string_view text) {
  return !strip(text).empty();
}

std::string_view cut(std::string_view text, std::size_t n) {
  std::size_t i = 0, count = 0;
  while (i < text.size() && count < n) {
    std::size_t len = 1;
    decode(text, i, len);
    i += len;
    ++count;
  }
  return text.substr(0, i);
}

Scrivlet::Scrivlet(ScrivletOptions options)
    : WidgetType(RichLogOptions{std::move(options.id), true, options.max_lines, options.auto_scroll,
                                options.stay_when_scrolled_up}) {}

void Scrivlet::on_mount() {
  console().push_theme(custom_theme());
}

Scrivlet& Scrivlet::write(const Renderable& content, std::optional<int> width) {
  if (!width) {
    try {
      const int w = size().width - 2;
      if (w > 10) width = w;
    } catch (const std::exception&) {
      // No size yet: the base log's default width applies.
    }
  }
  RichLog::write(content, width);
  return *this;
}

std::optional<int> Scrivlet::_app_width() const {
  try {
    if (App* a = app()) return a->size().width;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

int Scrivlet::_track_lines(int count) {
  const int start = _line_counter.value_or(0);
  _line_counter = start + count;
  return start;
}

void Scrivlet::_spacer() {
  _history.emplace_back("spacer");
  _draw_entry(_history.size() - 1, false, [&] {
    write(Text(""));
    _track_lines();
  });
}

void Scrivlet::clear() {
  RichLog::clear();
  if (!_rerendering) {
    _history.clear();
    _thinking_states.clear();
    _thinking_line_map.clear();
    _drop_row_cache();
  }
  _line_counter = 0;
}

void Scrivlet::reset_steps() {
  _step_count = 0;
}

void Scrivlet::_drop_row_cache() {
  _drawn.clear();
  _drawn_context.reset();
}

Scrivlet::DrawContext Scrivlet::_draw_context() {
  DrawContext c;
  c.width = size().width;
  c.app_width = _app_width();
  c.hyperlinks = terminal_shows_hyperlinks();
  c.console_width = console().width();
  c.color_system = console().color_system();
  c.theme = console().theme().styles();
  return c;
}

Scrivlet::DrawStart Scrivlet::_begin_draw() const {
  DrawStart s;
  s.row = lines().size();
  s.line = _line_counter.value_or(0);
  s.steps = _step_count;
  s.rows_epoch = rows_epoch();
  s.map_free = _thinking_line_map.lower_bound(s.line) == _thinking_line_map.end();
  return s;
}

void Scrivlet::_end_draw(std::size_t index, bool expanded, const DrawStart& start) {
  const HistoryEntry& e = _history[index];
  // Rows still held, rows gone since the start, a header map already running ahead, or a raw
  // renderable (which may draw differently each time): nothing to keep.
  if (held_writes() != 0 || size().width <= 0 || rows_epoch() != start.rows_epoch ||
      !start.map_free || e.kind() == "raw" || lines().size() < start.row)
    return;
  // A replay settles the conditions once before it starts; a single append checks them itself.
  if (!_rerendering) {
    DrawContext now = _draw_context();
    if (_drawn_context != now) {
      _drawn.clear();
      _drawn_context = std::move(now);
    }
  }
  if (_drawn.size() <= index) _drawn.resize(index + 1);
  DrawnEntry& d = _drawn[index];
  d.entry_id = e.id();
  d.expanded = expanded;
  d.rows_epoch = start.rows_epoch;
  d.first_row = start.row;
  d.row_count = lines().size() - start.row;
  d.line_count = _line_counter.value_or(0) - start.line;
  d.steps = _step_count - start.steps;
  d.headers.clear();
  for (auto it = _thinking_line_map.lower_bound(start.line); it != _thinking_line_map.end(); ++it)
    d.headers.emplace_back(it->first - start.line, it->second);
}

bool Scrivlet::_reuse_drawn(std::size_t index, bool expanded, DrawnEntry& kept,
                            std::vector<Strip>& old_rows, std::uint64_t old_epoch) {
  if (kept.entry_id == 0 || kept.entry_id != _history[index].id() || kept.expanded != expanded ||
      kept.rows_epoch != old_epoch || kept.first_row > old_rows.size() ||
      kept.row_count > old_rows.size() - kept.first_row)
    return false;
  const std::size_t first = lines().size();
  const std::uint64_t epoch = rows_epoch();
  append_rows(std::span<Strip>(old_rows).subspan(kept.first_row, kept.row_count));
  const int line = _line_counter.value_or(0);
  for (const auto& [offset, idx] : kept.headers) _thinking_line_map[line + offset] = idx;
  _line_counter = line + kept.line_count;
  _step_count += kept.steps;
  if (_drawn.size() <= index) _drawn.resize(index + 1);
  DrawnEntry& d = _drawn[index];
  d = std::move(kept);
  d.first_row = first;
  d.rows_epoch = epoch;
  // Rows cut off at the top (max_lines) take the range with them.
  if (rows_epoch() != epoch) d.entry_id = 0;
  return true;
}

void Scrivlet::_rerender() {
  _rerendering = true;
  const int saved_y = scroll_offset().y;
  std::vector<DrawnEntry> kept = std::exchange(_drawn, {});
  DrawContext now = _draw_context();
  if (_drawn_context != now || now.width <= 0) {
    kept.clear();
    _drawn_context = std::move(now);
  }
  // The old rows stay at hand when some may be reused; otherwise the log keeps its storage, as
  // a fresh one for every replay costs more than it saves.
  const std::uint64_t old_epoch = rows_epoch();
  std::vector<Strip> old_rows;
  if (!kept.empty()) old_rows = take_lines(lines().size());
  RichLog::clear();
  _thinking_line_map.clear();
  _line_counter = 0;
  _drawn.reserve(_history.size());
  // Indexes, not iterators: a renderer must not invalidate the walk even if it appends.
  for (std::size_t i = 0; i < _history.size(); ++i) {
    const HistoryEntry& e = _history[i];
    const std::string& k = e.kind();
    const auto& v = e.values();
    auto has = [&](std::size_t n) { return v.size() >= n; };
    const int idx = static_cast<int>(i);
    bool expanded = false;
    if (k == "thinking") {
      const auto it = _thinking_states.find(idx);
      expanded = it != _thinking_states.end() && it->second;
    }
    if (i < kept.size() && _reuse_drawn(i, expanded, kept[i], old_rows, old_epoch)) continue;
    _draw_entry(i, expanded, [&] {
      if (k == "spacer") {
        write(Text(""));
        _track_lines();
      } else if (k == "user" && has(1)) {
        _render_user(v[0]);
      } else if (k == "assistant" && has(1)) {
        _render_assistant(v[0]);
      } else if (k == "thinking" && has(1)) {
        _render_thinking(v[0], expanded, idx);
      } else if (k == "tool" && has(2)) {
        _render_tool(v[0], v[1]);
      } else if (k == "tool_done" && has(3)) {
        _render_tool_done(v[0], v[1], v[2]);
      } else if (k == "tool_result" && has(2)) {
        _render_tool_result(v[0], v[1] == "true");
      } else if (k == "info" && has(1)) {
        _render_info(v[0]);
      } else if (k == "error" && has(1)) {
        _render_error(v[0]);
      } else if (k == "turn_summary" && has(1)) {
        _render_turn_summary(v[0]);
      } else if (k == "approval" && has(2)) {
        _render_approval(v[0], v[1], has(3) ? v[2] : std::string());
      } else if (k == "queued" && has(1)) {
        _render_queued(v[0]);
      } else if (k == "raw" && e.renderable()) {
        write(*e.renderable());
        _track_lines();
      }
      // Any other kind (or an entry missing its values) is skipped.
    });
  }
  _rerendering.reset();
  scroll_to(saved_y, false);
}

}  // namespace orvo::tui::scrivlet
