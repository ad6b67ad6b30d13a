// The class shell: construction, the width rule of write, line counting, clear and the replay.
#include "tui/widgets/scrivlet/scrivlet.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <span>

#include "tui/framework/text/themed.hpp"
#include "tui/framework/widgets/app.hpp"

namespace orvo::tui::scrivlet {

std::pair<std::string, std::string> tool_header(std::string_view name) {
  for (const auto& h : TOOL_HEADERS)
    if (h.name == name) return {std::string(h.label), std::string(h.verb)};
  return {std::string(name), std::string(name)};
}

const Theme& custom_theme(ThemeKind kind) {
  auto make = [](ThemeKind k) {
    std::map<std::string, std::string> defs;
    for (const auto& s : CUSTOM_THEME) defs.emplace(s.name, themed_definition(s.definition, k));
    return Theme(defs);
  };
  static const Theme dark = make(ThemeKind::dark), light = make(ThemeKind::light);
  return kind == ThemeKind::light ? light : dark;
}

const Theme* answer_theme(ThemeKind kind) {
  if (kind == ThemeKind::dark) return nullptr;
  static const Theme light({
      {"markdown.code", "bold #0550ae on #eff1f3"},
      {"markdown.code_inline", "bold #0550ae on #eff1f3"},
      {"markdown.code_block", "#0550ae on #eff1f3"},
      {"markdown.block_quote", "#8250df"},
      {"markdown.block_quote.border", "#8250df"},
      {"markdown.list", "#0550ae"},
      {"markdown.item.bullet", "bold #9a6700"},
      {"markdown.item.number", "#9a6700"},
      {"markdown.item.task", "#9a6700"},
      {"markdown.item.task_done", "#1a7f37"},
      {"markdown.hr", "#9a6700"},
      {"markdown.link", "#0969da"},
      {"markdown.link_url", "#0969da underline"},
      {"markdown.image", "italic #8250df"},
  });
  return &light;
}

Scrivlet::Scrivlet(ScrivletOptions options)
    : WidgetType(RichLogOptions{std::move(options.id), true, options.max_lines, options.auto_scroll,
                                options.stay_when_scrolled_up}) {}

void Scrivlet::on_mount() {
  console().push_theme(custom_theme(_theme()));
}

void Scrivlet::on_theme_changed() {
  console().pop_theme();
  console().push_theme(custom_theme(_theme()));
  _replay_in_place();
}

ThemeKind Scrivlet::_theme() const {
  try {
    if (App* a = app()) return a->theme();
  } catch (const std::exception&) {
  }
  return ThemeKind::dark;
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
    _tool_states.clear();
    _fold_line_map.clear();
    _facts.clear();
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
  s.map_free =
      _thinking_line_map.lower_bound(static_cast<int>(s.row)) == _thinking_line_map.end() &&
      _fold_line_map.lower_bound(static_cast<int>(s.row)) == _fold_line_map.end();
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
  const int row = static_cast<int>(start.row);
  for (auto it = _thinking_line_map.lower_bound(row); it != _thinking_line_map.end(); ++it)
    d.headers.emplace_back(it->first - row, it->second);
  d.folds.clear();
  for (auto it = _fold_line_map.lower_bound(row); it != _fold_line_map.end(); ++it)
    d.folds.emplace_back(it->first - row, it->second);
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
  for (const auto& [offset, idx] : kept.headers)
    _thinking_line_map[static_cast<int>(first) + offset] = idx;
  for (const auto& [offset, idx] : kept.folds)
    _fold_line_map[static_cast<int>(first) + offset] = idx;
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

void Scrivlet::_replay_in_place() {
  // Only the drawing changes: no tool step is taken again.
  const int steps = _step_count;
  _rerender();
  _step_count = steps;
}

void Scrivlet::_rerender() {
  _rerendering = true;
  const int saved_y = scroll_offset().y;
  // The reader's place: at the end (the log keeps following), or the entry whose rows hold the
  // top visible row and how far into them, so a replay at another width keeps that entry in view.
  bool at_end = false;
  try {
    at_end = saved_y >= max_scroll_y();
  } catch (const std::exception&) {
  }
  std::optional<std::size_t> anchor;
  double anchor_part = 0.0;
  for (std::size_t i = 0; i < _drawn.size() && !at_end; ++i) {
    const DrawnEntry& d = _drawn[i];
    if (d.entry_id == 0 || d.rows_epoch != rows_epoch() || d.row_count == 0) continue;
    const auto y = static_cast<std::size_t>(std::max(saved_y, 0));
    if (y < d.first_row || y >= d.first_row + d.row_count) continue;
    anchor = i;
    anchor_part = static_cast<double>(y - d.first_row) / static_cast<double>(d.row_count);
    break;
  }
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
  _fold_line_map.clear();
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
    } else if (k == "tool_result") {
      expanded = _tool_expanded(idx);
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
        _render_tool_done(v[0], v[1], v[2], tool_end_of(e));
      } else if (k == "tool_result" && has(2)) {
        _render_tool_result(v[0], v[1] == "true", expanded, idx);
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
  // An answer still streaming is no entry yet: its rows come back after the entries.
  _redraw_stream();
  _rerendering.reset();
  if (at_end) {
    scroll_end(false);
    return;
  }
  if (anchor && *anchor < _drawn.size() && _drawn[*anchor].entry_id != 0 &&
      _drawn[*anchor].rows_epoch == rows_epoch() && _drawn[*anchor].row_count > 0) {
    const DrawnEntry& d = _drawn[*anchor];
    const auto into = static_cast<std::size_t>(anchor_part * static_cast<double>(d.row_count));
    scroll_to(static_cast<int>(d.first_row + std::min(into, d.row_count - 1)), false);
    return;
  }
  scroll_to(saved_y, false);
}

}  // namespace orvo::tui::scrivlet
