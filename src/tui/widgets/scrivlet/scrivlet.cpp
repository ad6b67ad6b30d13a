// The class shell: construction, the width rule of write, line counting, clear and the replay.
#include "tui/widgets/scrivlet/scrivlet.hpp"

#include <algorithm>
#include <chrono>
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
  _drop_head();
  _spent_rows.clear();
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
  if (_head) _head->steps = 0;
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
  // Only the drawing changes: no tool step is taken again. Steps of entries still waiting to be
  // laid out are counted when they are, before the replay and after it.
  const int steps = _step_count + (_head ? _head->steps : 0);
  _rerender();
  _step_count = steps - (_head ? _head->steps : 0);
}

int Scrivlet::_steps_in(std::size_t first, std::size_t end) const {
  int steps = 0;
  for (std::size_t i = first; i < end && i < _history.size(); ++i)
    if (_history[i].kind() == "tool" && _history[i].values().size() >= 2) ++steps;
  return steps;
}

void Scrivlet::_draw_history_entry(std::size_t i, Reuse& reuse) {
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
  if (i < reuse.kept.size() &&
      _reuse_drawn(i, expanded, reuse.kept[i], reuse.old_rows, reuse.old_epoch))
    return;
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

void Scrivlet::_lay_out_off_screen(OffScreen& off, Reuse& reuse,
                                   std::optional<std::chrono::steady_clock::time_point> deadline) {
  // The renderers write into the log and name rows by its length: for the time being the log
  // holds the rows laid out away from the screen, with their maps and counters.
  struct Swap {
    Scrivlet& s;
    OffScreen& o;
    std::optional<int> lines;
    int steps;
    std::optional<bool> rerendering;
    Swap(Scrivlet& log, OffScreen& off_screen)
        : s(log),
          o(off_screen),
          lines(std::exchange(log._line_counter, off_screen.lines)),
          steps(std::exchange(log._step_count, off_screen.steps)),
          rerendering(std::exchange(log._rerendering, true)) {
      s.swap_rows(o.rows, true);
      std::swap(s._thinking_line_map, o.headers);
      std::swap(s._fold_line_map, o.folds);
      std::swap(s._drawn, o.drawn);
    }
    ~Swap() {
      s.swap_rows(o.rows, false);
      std::swap(s._thinking_line_map, o.headers);
      std::swap(s._fold_line_map, o.folds);
      std::swap(s._drawn, o.drawn);
      o.lines = std::exchange(s._line_counter, lines);
      o.steps = std::exchange(s._step_count, steps);
      s._rerendering = rerendering;
    }
    Swap(const Swap&) = delete;
    Swap& operator=(const Swap&) = delete;
  } swap(*this, off);
  while (off.next < off.end && off.next < _history.size()) {
    _draw_history_entry(off.next++, reuse);
    if (deadline && std::chrono::steady_clock::now() >= *deadline) break;
  }
}

void Scrivlet::_put_in_front(OffScreen& off, int steps) {
  const std::size_t n = off.rows.size();
  const int shift = static_cast<int>(n);
  const int lines = off.lines.value_or(0);
  const std::uint64_t old_epoch = rows_epoch();
  prepend_rows(std::move(off.rows));
  const std::uint64_t epoch = rows_epoch();
  auto merge = [shift](std::map<int, int>& front, std::map<int, int>& after) {
    std::map<int, int> all = std::move(front);
    for (const auto& [row, idx] : after) all.emplace_hint(all.end(), row + shift, idx);
    after = std::move(all);
  };
  merge(off.headers, _thinking_line_map);
  merge(off.folds, _fold_line_map);
  for (std::size_t i = off.end; i < _drawn.size(); ++i) {
    DrawnEntry& d = _drawn[i];
    if (d.entry_id == 0) continue;
    if (d.rows_epoch != old_epoch) {
      d.entry_id = 0;
      continue;
    }
    d.first_row += n;
    d.rows_epoch = epoch;
  }
  if (_drawn.size() < off.end) _drawn.resize(off.end);
  for (std::size_t i = off.first; i < off.end; ++i) {
    DrawnEntry d = i < off.drawn.size() ? std::move(off.drawn[i]) : DrawnEntry{};
    // Made while the log's own rows were of old_epoch; a record from before that is stale.
    if (d.entry_id != 0 && d.rows_epoch != old_epoch) d.entry_id = 0;
    d.rows_epoch = epoch;
    _drawn[i] = std::move(d);
  }
  if (off.lines) _line_counter = _line_counter.value_or(0) + lines;
  _step_count += steps;
  if (_sel_start) _sel_start->second += shift;
  if (_sel_end) _sel_end->second += shift;
  // An answer still streaming names its rows and counters from where it began.
  if (_live.start.rows_epoch == old_epoch) {
    _live.start.rows_epoch = epoch;
    _live.start.row += n;
    _live.start.line += lines;
    _live.start.steps += steps;
    _live.settled_end += n;
    _live.settled_lines += lines;
  }
}

void Scrivlet::_drop_head() {
  if (!_head) return;
  // The replay that left them waiting counted their steps, drawn or not.
  _step_count += _head->steps;
  _spent_rows.push_back(std::move(_head->off.rows));
  _spent_rows.push_back(std::move(_head->reuse.old_rows));
  _cancel_head_timer();
  _head.reset();
}

void Scrivlet::_cancel_head_timer() {
  if (!_head || _head->timer == 0) return;
  try {
    if (App* a = app()) a->cancel_timer(_head->timer);
  } catch (const std::exception&) {
  }
  _head->timer = 0;
}

Scrivlet::~Scrivlet() {
  _drop_head();
}

void Scrivlet::_schedule_head(std::chrono::milliseconds delay) {
  if (!_head) return;
  App* a = nullptr;
  try {
    a = app();
  } catch (const std::exception&) {
  }
  if (!a || !a->running()) {
    finish_reflow();
    return;
  }
  _cancel_head_timer();
  _head->timer = a->set_timer(delay, [this] {
    if (!_head) return;
    _head->timer = 0;
    // A slice well inside a frame, so keys and output go on being handled in between.
    try {
      if (_head->all_at_once) {
        _head_slice(std::nullopt);
      } else {
        _head_slice(std::chrono::steady_clock::now() + std::chrono::milliseconds(6));
      }
    } catch (const std::exception&) {
      // An entry that cannot be drawn is left out; the slices go on with the next one.
      _schedule_head(std::chrono::milliseconds(1));
    }
  });
}

void Scrivlet::_head_slice(std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (!_head) return;
  // The history changed under the waiting entries without a replay: lay the log out again.
  if (_history.size() < _head->off.end) {
    _drop_head();
    _rerender();
    return;
  }
  // Rows no longer shown go first, a part at a time.
  while (!_spent_rows.empty() && (!deadline || std::chrono::steady_clock::now() < *deadline)) {
    std::vector<Strip>& rows = _spent_rows.back();
    const std::size_t part = std::min<std::size_t>(rows.size(), 4096);
    rows.erase(rows.end() - static_cast<std::ptrdiff_t>(part), rows.end());
    if (rows.empty()) _spent_rows.pop_back();
  }
  if (_spent_rows.empty()) _lay_out_off_screen(_head->off, _head->reuse, deadline);
  if (_head->off.next < _head->off.end || !_spent_rows.empty()) {
    _schedule_head(std::chrono::milliseconds(1));
    return;
  }
  PendingHead done = std::move(*_head);
  _head.reset();
  _put_in_front(done.off, done.steps);
}

void Scrivlet::finish_reflow() {
  _cancel_head_timer();
  _head_slice(std::nullopt);
}

void Scrivlet::on_scrolled_to(int y) {
  // Near the top of the rows laid out so far: the reader is about to scroll into the entries
  // still waiting, so they are laid out now (after this event, not inside the scroll).
  if (!_head || _head->all_at_once) return;
  const int height = std::max(1, size().height);
  if (y >= 2 * height) return;
  _head->all_at_once = true;
  // Inside a replay the slice is scheduled when the replay ends.
  if (!_rerendering) _schedule_head(std::chrono::milliseconds(0));
}

void Scrivlet::_rerender() {
  // Entries still waiting from an earlier replay are planned again by this one.
  _drop_head();
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
  Reuse reuse;
  reuse.kept = std::exchange(_drawn, {});
  DrawContext now = _draw_context();
  if (_drawn_context != now || now.width <= 0) {
    reuse.kept.clear();
    _drawn_context = std::move(now);
  }
  reuse.old_epoch = rows_epoch();
  const std::size_t count = _history.size();

  // A long log with many entries to lay out: from a little before the reader's place on now,
  // the rest in slices. Only in a running application (the slices are its timers), with every
  // row kept (max_lines would cut rows that are not there yet), and with the reader somewhere
  // the replay can find again: at the end or in an entry.
  bool sliced = false;
  try {
    App* a = app();
    sliced = a && a->running() && max_lines() == 0 && held_writes() == 0 && size().width > 0 &&
             count >= sliced_reflow_entries && (at_end || (anchor && *anchor < count));
  } catch (const std::exception&) {
  }
  if (sliced) {
    std::size_t fresh = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const bool keep = i < reuse.kept.size() && reuse.kept[i].entry_id == _history[i].id() &&
                        reuse.kept[i].rows_epoch == reuse.old_epoch;
      if (!keep) ++fresh;
    }
    sliced = fresh >= sliced_reflow_entries;
  }
  // The old rows stay at hand when some may be reused. Otherwise a sliced replay frees them in
  // its slices too (freeing a long log's rows takes as long as laying out a screen many times
  // over), and a replay in one go keeps the log's storage, as a fresh one for every replay costs
  // more than it saves.
  if (!reuse.kept.empty()) {
    reuse.old_rows = take_lines(lines().size());
  } else if (sliced) {
    _spent_rows.push_back(take_lines());
  }
  if (!sliced) _spent_rows.clear();
  RichLog::clear();
  _thinking_line_map.clear();
  _fold_line_map.clear();
  _line_counter = 0;
  _drawn.reserve(count);
  std::size_t first = 0;
  const int height = std::max(1, size().height);
  if (sliced) {
    const std::size_t place = at_end ? count : *anchor;
    first = place - std::min<std::size_t>(place, 8);
  }
  // Indexes, not iterators: a renderer must not invalidate the walk even if it appends.
  for (std::size_t i = first; i < count; ++i) _draw_history_entry(i, reuse);
  // Rows enough above the reader's place (three screens at the end, two above an entry): more
  // entries before, twice as many each round. An entry that kept no record of its rows cannot
  // be found again: then every entry is laid out now.
  const auto screen = static_cast<std::size_t>(height);
  auto enough_above = [&] {
    if (at_end) return lines().size() >= 3 * screen;
    if (*anchor >= _drawn.size()) return false;
    const DrawnEntry& d = _drawn[*anchor];
    return d.entry_id != 0 && d.rows_epoch == rows_epoch() && d.first_row >= 2 * screen;
  };
  for (std::size_t chunk = 16; first > 0 && !enough_above(); chunk *= 2) {
    OffScreen more;
    more.end = first;
    more.first = more.next = first - std::min(first, chunk);
    _lay_out_off_screen(more, reuse, std::nullopt);
    _put_in_front(more, more.steps);
    first = more.first;
  }
  // An answer still streaming is no entry yet: its rows come back after the entries.
  _redraw_stream();
  _rerendering.reset();
  if (first > 0) {
    PendingHead head;
    head.off.end = first;
    head.steps = _steps_in(0, first);
    head.reuse = std::move(reuse);
    _head = std::move(head);
  }
  if (at_end) {
    scroll_end(false);
  } else if (anchor && *anchor < _drawn.size() && _drawn[*anchor].entry_id != 0 &&
             _drawn[*anchor].rows_epoch == rows_epoch() && _drawn[*anchor].row_count > 0) {
    const DrawnEntry& d = _drawn[*anchor];
    const auto into = static_cast<std::size_t>(anchor_part * static_cast<double>(d.row_count));
    scroll_to(static_cast<int>(d.first_row + std::min(into, d.row_count - 1)), false);
  } else {
    scroll_to(saved_y, false);
  }
  if (_head) _schedule_head(std::chrono::milliseconds(1));
}

}  // namespace orvo::tui::scrivlet
