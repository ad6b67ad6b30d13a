// Scrivlet: the scrollable conversation log.
//
// Records first, draws second: every append_* operation stores a history entry and then calls
// its _render_* operation, and the renderers never record. Drawn rows are never edited; the
// whole log can be wiped and drawn again from the history (_rerender), which is how a thinking
// block folds and unfolds. So that a fold costs little in a long log, the rows each entry drew
// are remembered and a replay moves them back unless something they depend on changed. Every
// written row item advances a logical line counter (_track_lines); a thinking block remembers the
// row its header was drawn on, which is what a click names (a wrapped item above it takes more
// rows than lines). The same replay re-flows the log at a new width, keeps an answer still
// streaming (drawn again after the entries) and the reader's place.
//
// A long log is re-flowed around the reader: the entries from a few screens above the reader's
// place to the end are laid out at once, the ones before them in slices between frames, and their
// rows go in front when all are done (the view stays on the rows it shows). Until then the log
// holds only the later rows; scrolling near their top finishes the rest at once.
//
// The state fields keep their names and stay public: the host may place "raw" entries in
// _history itself, and the view player and the tests read the state as it is.
//
// UI thread only; no locks.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/utf8.hpp"
#include "tui/framework/text/console.hpp"
#include "tui/framework/text/renderable.hpp"
#include "tui/framework/text/text.hpp"
#include "tui/framework/text/theme_kind.hpp"
#include "tui/framework/widgets/rich_log.hpp"
#include "tui/widgets/scrivlet/clipboard.hpp"
#include "tui/widgets/scrivlet/live_markdown.hpp"

namespace orvo::tui::scrivlet {

// One recorded item of the log: a kind followed by the values needed to draw it. A "raw" entry
// holds a renderable instead of values. Immutable once made.
//
// id() names the content: a copy shares its original's id, while a new entry, and one whose
// content was moved away, gets a fresh one. So a replay can tell an entry it drew before without
// comparing its text (a tool result can run to tens of kilobytes).
class HistoryEntry {
 public:
  explicit HistoryEntry(std::string kind, std::vector<std::string> values = {})
      : kind_(std::move(kind)), values_(std::move(values)), id_(next_id()) {}
  // ("raw", renderable): drawn unchanged on every replay.
  static HistoryEntry raw(std::shared_ptr<const Renderable> renderable) {
    HistoryEntry e("raw");
    e.renderable_ = std::move(renderable);
    return e;
  }
  HistoryEntry(const HistoryEntry&) = default;
  HistoryEntry& operator=(const HistoryEntry&) = default;
  HistoryEntry(HistoryEntry&& other) noexcept
      : kind_(std::move(other.kind_)),
        values_(std::move(other.values_)),
        renderable_(std::move(other.renderable_)),
        id_(std::exchange(other.id_, next_id())) {}
  HistoryEntry& operator=(HistoryEntry&& other) noexcept {
    if (this == &other) return *this;
    kind_ = std::move(other.kind_);
    values_ = std::move(other.values_);
    renderable_ = std::move(other.renderable_);
    id_ = std::exchange(other.id_, next_id());
    return *this;
  }

  const std::string& kind() const { return kind_; }
  const std::vector<std::string>& values() const { return values_; }
  // Value i (0 = the first value after the kind); throws std::out_of_range past the end.
  const std::string& value(std::size_t i) const { return values_.at(i); }
  const std::shared_ptr<const Renderable>& renderable() const { return renderable_; }
  std::uint64_t id() const { return id_; }

  // Compares content; ids play no part.
  friend bool operator==(const HistoryEntry& a, const HistoryEntry& b) {
    return a.kind_ == b.kind_ && a.values_ == b.values_ && a.renderable_ == b.renderable_;
  }

 private:
  static std::uint64_t next_id() {
    static std::atomic<std::uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
  }

  std::string kind_;
  std::vector<std::string> values_;
  std::shared_ptr<const Renderable> renderable_;
  std::uint64_t id_;
};

// Tool name -> (label, past-tense verb). Only the label is drawn; a missing name is its own
// label.
struct ToolHeader {
  std::string_view name;
  std::string_view label;
  std::string_view verb;
};
inline constexpr std::array<ToolHeader, 9> TOOL_HEADERS = {{
    {"bash", "Bash", "ran"},
    {"read_file", "Read", "read"},
    {"write_file", "Write", "wrote"},
    {"edit_file", "Update", "updated"},
    {"grep", "Search", "searched"},
    {"glob", "Glob", "found"},
    {"web_search", "WebSearch", "searched web"},
    {"web_fetch", "WebFetch", "fetched"},
    {"multi_edit", "MultiEdit", "edited"},
}};
// (label, verb) of a tool name; (name, name) when the table has no row for it.
std::pair<std::string, std::string> tool_header(std::string_view name);

// Styles the log's own console uses instead of the defaults (pushed on mount).
struct ThemeStyle {
  std::string_view name;
  std::string_view definition;
};
inline constexpr std::array<ThemeStyle, 6> CUSTOM_THEME = {{
    {"markdown.code", "#d72b6b on #2a2a2a"},
    {"markdown.code_inline", "#d72b6b on #2a2a2a"},
    {"markdown.h1", "bold white"},
    {"markdown.h2", "bold white"},
    {"markdown.h3", "bold white"},
    {"markdown.h4", "bold white"},
}};
// CUSTOM_THEME as a Theme in the look of `kind` (built once per look).
const Theme& custom_theme(ThemeKind kind = ThemeKind::dark);
// What answers' consoles lay over the default theme in the look of `kind`: nothing for dark (the
// default theme is made for it), for light the styles whose colours vanish on white.
const Theme* answer_theme(ThemeKind kind);

// True when `text` looks like a unified diff: at least 3 of its first 10 lines start with
// "+", "-", "@@" or "diff ".
bool _is_diff(std::string_view text);

// Line and whitespace helpers of the log, all from common/utf8.hpp.
// The lines of `text` split at the Unicode line boundaries (LF, CR, CR LF, VT, FF, FS, GS, RS,
// NEL, LS, PS); the separators are dropped and a final one gives no extra empty line.
inline std::vector<std::string> split_lines(std::string_view text) {
  const auto views = text::split_lines(text);
  return std::vector<std::string>(views.begin(), views.end());
}
// The same lines as views into `text`, at most `limit` of them.
using text::count_lines;
using text::line_views;
using text::strip;
// True when `text` holds a character that is not whitespace.
inline bool has_content(std::string_view text) {
  return text::has_visible(text);
}
// The first `n` code points of `text` (invalid UTF-8 bytes count as one each).
inline std::string_view cut(std::string_view text, std::size_t n) {
  return text::take_chars(text, n);
}

// How a finished tool call ended: ok ("✓", green), failed ("✗", red) or interrupted ("✗",
// yellow). A "tool_done" entry records failed and interrupted as a fourth value.
enum class ToolEnd { ok, failed, interrupted };

// Options of the log; wrapping is always on, so there is no option for it.
struct ScrivletOptions {
  std::string id;
  int max_lines = 0;
  bool auto_scroll = true;
  bool stay_when_scrolled_up = false;
};

class Scrivlet : public WidgetType<Scrivlet, RichLog> {
 public:
  static constexpr std::string_view DEFAULT_CSS =
      "\n    Scrivlet {\n        height: 1fr;\n        overflow-y: scroll;\n        overflow-x: "
      "hidden;\n        padding: 0 1;\n        scrollbar-size: 1 1;\n    }\n    ";
  static constexpr bool ALLOW_SELECT = false;

  explicit Scrivlet(ScrivletOptions options = {});

  // --- framework hooks
  void on_mount() override;
  // Takes the look's styles and draws the log again from its history.
  void on_theme_changed() override;
  using RichLog::write;
  // Lays every row out at the widget's width minus 2 (when that is more than 10 and no width
  // is given).
  Scrivlet& write(const Renderable& content, std::optional<int> width = std::nullopt) override;
  // Outside a replay also forgets the history and the thinking maps; always resets the counter.
  void clear() override;
  void on_mouse_down(const MouseEvent& event) override;
  void on_mouse_move(const MouseEvent& event) override;
  void on_mouse_up(const MouseEvent& event) override;
  Strip render_line(int y) override;
  const Strip* stored_line(int y) override;
  void on_scrolled_to(int y) override;
  ~Scrivlet() override;
  Scrivlet(const Scrivlet&) = delete;
  Scrivlet& operator=(const Scrivlet&) = delete;

  // --- primitives
  int _track_lines(int count = 1);
  void _spacer();

  // --- housekeeping
  void reset_steps();
  // Draws the whole history again. An entry drawn before under the same conditions (the same
  // entry, the same widths and console, for a thinking block the same state) gets its rows back
  // instead of being laid out anew; the counters and the thinking map advance as if it were drawn.
  void _rerender();
  // The replay the view makes itself when an entry changes its look (a settled answer, a call's
  // result row): the step count stays as it was.
  void _replay_in_place();
  // Forgets the rows kept for reuse: the next replay lays every entry out.
  void _drop_row_cache();
  // A replay with at least this many entries to lay out is sliced (see above); SIZE_MAX: never.
  std::size_t sliced_reflow_entries = 500;
  // True while entries before the rows shown still wait to be laid out.
  bool reflow_pending() const { return _head.has_value(); }
  // Lays the waiting entries out now.
  void finish_reflow();

  // --- append operations (record, then draw)
  void append_user(const std::string& text);
  void append_queued(const std::string& text);
  void append_assistant(const std::string& text);
  void append_thinking(const std::string& text, bool expanded = false);
  void append_tool(const std::string& name, const std::string& args);
  void append_tool_done(const std::string& name, const std::string& args,
                        const std::string& summary, ToolEnd end = ToolEnd::ok);
  // The result row of a call: the running row of this call in the current turn (since the last
  // prompt) turns into it, so every call keeps one row; without one it is appended.
  void finish_tool(const std::string& name, const std::string& args, const std::string& summary,
                   ToolEnd end = ToolEnd::ok);
  // Every call of the current turn still running is marked interrupted.
  void interrupt_tools();
  void append_tool_result(const std::string& result, bool error = false);
  // The question on three rows as always; below them the reason ("Why: ...") when given, and the
  // whole command, wrapped (and folded when very long), when the one-row form cuts it or it has
  // line breaks. Records ("approval", tool, command, reason).
  void append_approval(const std::string& tool_name, const std::string& command,
                       const std::string& reason = "");
  void append_info(const std::string& text);
  void append_error(const std::string& text);
  void append_turn_summary(double elapsed, const std::vector<std::string>& tools,
                           long long tokens_in = 0, long long tokens_out = 0,
                           double cost_saved = 0.0);
  // The summary of a turn whose token counts the server reported: tokens in and out and the
  // generation speed (format_usage) in place of the estimated count.
  struct ReportedUsage {
    long long tokens_in = 0;
    long long tokens_out = 0;
    double tokens_per_s = 0.0;  // 0: unknown, not shown
  };
  void append_turn_summary(double elapsed, const std::vector<std::string>& tools,
                           const ReportedUsage& usage);

  // --- streamed answers
  void stream_token(const std::string& token);
  void finish_stream(const std::string& full_text = "");
  // Cells of answer text in a row: the screen width less 8 (at least 38), and never more than
  // the log's own rows leave beside the indent.
  int _stream_avail_width();
  void _write_wrapped(const std::string& line);
  // Draws the answer in progress again (its complete lines), after a replay dropped its rows.
  void _redraw_stream();
  // Rows of the answer in progress (from its empty first row) that later text can no longer
  // change: the same rows, in the same place, as the finished answer gets.
  std::size_t _stream_settled_rows() const;

  // --- renderers (draw only, never record)
  void _render_assistant(const std::string& text);
  // Rendered markdown rows into the log behind a two-space indent (links dropped when `unlink`).
  void _write_indented_rows(const std::vector<Strip>& rows, bool unlink);
  // The same with rows of the caller's own: their segments move into the log's rows.
  void _write_indented_rows(std::vector<Strip>&& rows, bool unlink);
  void _render_user(const std::string& text);
  void _render_queued(const std::string& text);
  void _render_info(const std::string& text);
  void _render_error(const std::string& text);
  void _render_tool(const std::string& name, const std::string& args);
  void _render_tool_done(const std::string& name, const std::string& args,
                         const std::string& summary, ToolEnd end = ToolEnd::ok);
  // Folded (the default): a preview of the output with "… +N more lines" below it. Open: every
  // line, and "▴ fold N lines" below. A history index >= 0 makes that last row clickable.
  void _render_tool_result(const std::string& result, bool error = false, bool expanded = false,
                           int hist_idx = -1);
  void _render_diff(const std::string& diff_text, bool expanded = false, int hist_idx = -1);
  // The last row of a tool output that folds or opens it: a click on it does (see above).
  void _write_fold_row(const std::string& text, int hist_idx);
  void _render_thinking(const std::string& text, bool expanded, int hist_idx);
  void _render_approval(const std::string& tool_name, const std::string& command,
                        const std::string& reason = "");
  void _render_turn_summary(const std::string& summary_text);

  // What a tool output's rows need from all of its text, whatever the width: a re-flow then
  // reads only the lines it shows instead of scanning tens of kilobytes again.
  struct OutputFacts {
    std::size_t lines = 0;    // lines of the stripped output
    std::size_t added = 0;    // a diff's added lines
    std::size_t removed = 0;  // a diff's removed lines
  };
  // The facts of `text` (the stripped output); kept by entry when `text` is the first value of
  // history entry `hist_idx`.
  OutputFacts _output_facts(std::string_view text, bool diff, int hist_idx);
  std::map<std::uint64_t, OutputFacts> _facts;  // by entry id (a replay keeps them)

  // --- thinking blocks
  // Folds or unfolds the block whose header is row y; any other row changes nothing.
  void _handle_thinking_click(int y);

  // --- folded tool output
  // Opens or folds the tool output whose fold row ("… +N more lines", "▴ fold N lines") is row
  // y; false (nothing done) for any other row.
  bool _handle_fold_click(int y);
  // Opens every folded tool output of the conversation, or, when none is folded, folds them all
  // again; outputs drawn later follow. Returns true when tool output is open now.
  bool toggle_tool_output();
  // Whether the output of history entry `hist_idx` is drawn open.
  bool _tool_expanded(int hist_idx) const;

  // --- selection and clipboard
  // (y1, x1, y2, x2): the earlier end first; absent while either end is.
  std::optional<std::tuple<int, int, int, int>> _sel_range() const;
  std::string _extract_selection() const;
  std::string get_selection() const;
  void _set_clipboard_osc52(const std::string& text);

  // The width of the whole application screen; absent when it cannot be read (not mounted,
  // application not running).
  std::optional<int> _app_width() const;
  // The application's look (dark before the log is mounted).
  ThemeKind _theme() const;

  // --- state, in the order it is set up
  int _step_count = 0;  // tool steps drawn since the last reset_steps
  std::vector<HistoryEntry> _history;
  std::map<int, bool> _thinking_states;           // history index -> expanded
  std::map<int, int> _thinking_line_map;          // row of a header -> history index
  std::map<int, bool> _tool_states;               // history index -> output open (one by one)
  bool _tools_open = false;                       // tool output open unless folded one by one
  std::map<int, int> _fold_line_map;              // row of a fold row -> history index
  std::optional<std::pair<int, int>> _sel_start;  // (column, content line)
  std::optional<std::pair<int, int>> _sel_end;    // (column, content line)
  bool _selecting = false;
  std::string _selected_text;
  // Created on first use; absence is meaningful.
  std::optional<int> _line_counter;
  std::optional<std::string> _stream_text;
  std::optional<bool> _stream_started;
  std::string _stream_shown;         // the complete lines of the answer in progress, drawn so far
  std::optional<bool> _rerendering;  // present (true) only while _rerender runs

  // Where a finished selection is copied to. In a running application the sequence goes to the
  // terminal the application drives; otherwise (or with clipboard_through_app false, as for a
  // headless view inside a real terminal) to clipboard_options.device. Local clipboard commands
  // are the fallback either way.
  bool clipboard_through_app = true;
  clipboard::Options clipboard_options;
  // Told how each copy went: the characters copied, and the reason when it failed. Without it a
  // failure is an info row of the conversation; a host that sets it says so itself (the chat in
  // its status row, so a failed copy never moves the reader).
  std::function<void(std::size_t characters, const std::optional<std::string>& failure)> on_copied;

 private:
  // What every entry's rows depend on besides the entry (and a thinking block's state). Rows
  // drawn under other conditions are never reused.
  struct DrawContext {
    int width = 0;                 // the widget's content width (write's width rule)
    std::optional<int> app_width;  // the screen width the renderers budget with
    bool hyperlinks = false;       // answers keep their links only on such a terminal
    int console_width = 0;         // the log console's settings
    ColorSystem color_system = ColorSystem::None;
    std::map<std::string, Style, std::less<>> theme;
    friend bool operator==(const DrawContext&, const DrawContext&) = default;
  };
  // The rows an entry drew (a range of lines() while rows_epoch() stays the same) and what
  // drawing it did besides, so a replay can redo it without laying the entry out.
  struct DrawnEntry {
    std::uint64_t entry_id = 0;  // 0: nothing kept
    bool expanded = false;
    std::uint64_t rows_epoch = 0;
    std::size_t first_row = 0;
    std::size_t row_count = 0;
    int line_count = 0;                        // logical lines (_track_lines)
    int steps = 0;                             // tool steps counted
    std::vector<std::pair<int, int>> headers;  // _thinking_line_map: (row offset, index)
    std::vector<std::pair<int, int>> folds;    // _fold_line_map: (row offset, index)
  };
  struct DrawStart {
    std::size_t row = 0;
    int line = 0;
    int steps = 0;
    std::uint64_t rows_epoch = 0;
    bool map_free = false;  // no thinking header at or after `row` yet
  };

  static std::vector<std::string> tool_done_values(const std::string& name, const std::string& args,
                                                   const std::string& summary, ToolEnd end);
  static ToolEnd tool_end_of(const HistoryEntry& e);
  // The history index of the running row of this call in the current turn.
  std::optional<std::size_t> _running_tool(const std::string& name, const std::string& args) const;

  DrawContext _draw_context();
  // Draws history entry `index` with `draw` and keeps what it drew for later replays.
  template <class Draw>
  void _draw_entry(std::size_t index, bool expanded, Draw draw) {
    const DrawStart start = _begin_draw();
    draw();
    _end_draw(index, expanded, start);
  }
  DrawStart _begin_draw() const;
  void _end_draw(std::size_t index, bool expanded, const DrawStart& start);
  // Appends the rows `kept` names from `old_rows` (the rows of epoch `old_epoch`) and redoes
  // the rest of the entry's drawing; false (nothing done) when they cannot be reused.
  bool _reuse_drawn(std::size_t index, bool expanded, DrawnEntry& kept,
                    std::vector<Strip>& old_rows, std::uint64_t old_epoch);

  // An answer that looks like markdown is drawn as markdown while it streams: the settled part
  // once (its rows only ever appended to), the finished blocks after it whenever a block ends,
  // the block still being written as plain lines (see live_markdown.hpp).
  struct LiveAnswer {
    bool markdown = false;  // drawn as markdown
    bool off = false;       // given up for this answer: plain lines, and a replay at the finish
    DrawStart start;        // where the answer's rows begin (its empty first row)
    int width = 0;          // the text width the rows were laid out at
    BlockScanner scan;
    std::size_t scanned = 0;      // bytes of _stream_shown the scanner has seen
    std::size_t settled = 0;      // bytes whose rows are settled
    std::size_t settled_end = 0;  // the row after the settled rows
    int settled_lines = 0;        // the line counter there
    bool settled_any = false;     // the settled part has rows
    std::size_t open_shown = 0;   // bytes drawn as markdown (settled and finished blocks)
    bool open_any = false;        // the finished blocks after the settled part have rows
    bool plain_any = false;       // plain rows follow the markdown ones
    int rebuilds = 0;             // drawn again from the start for a late link definition
  };
  void _live_begin();
  // The complete lines of _stream_shown from byte `from` on arrived.
  void _live_lines(std::size_t from);
  // Draws the answer from its first row on, at the current width.
  void _live_redraw();
  // Drops the rows after the settled part and draws the finished blocks and plain lines again.
  void _live_draw_open();
  void _live_plain(std::size_t from);
  void _live_markdown_part(std::size_t from, std::size_t to, bool after_rows);
  // Ends the answer with its last block drawn as markdown; false when the rows drawn so far
  // cannot be trusted to equal a full render (the caller replays then).
  bool _live_finish(const std::string& full_text, const std::string& tail);
  LiveAnswer _live;

  std::optional<DrawContext> _drawn_context;  // the conditions _drawn was drawn under
  std::vector<DrawnEntry> _drawn;             // by history index

  // What a replay may take back instead of laying entries out again.
  struct Reuse {
    std::vector<DrawnEntry> kept;  // by history index
    std::vector<Strip> old_rows;   // the rows they name
    std::uint64_t old_epoch = 0;   // the rows epoch of old_rows
  };
  // Draws history entry i, from `reuse` when its rows can be taken back.
  void _draw_history_entry(std::size_t i, Reuse& reuse);
  // Entries laid out away from the screen, to go in front of the log's rows.
  struct OffScreen {
    std::size_t first = 0;  // entries [first, next) are laid out so far
    std::size_t next = 0;
    std::size_t end = 0;  // the entry the rows go in front of
    std::vector<Strip> rows;
    std::map<int, int> headers;  // _thinking_line_map of `rows`
    std::map<int, int> folds;    // _fold_line_map of `rows`
    std::optional<int> lines;    // _line_counter of `rows`
    int steps = 0;
    std::vector<DrawnEntry> drawn;  // by history index
  };
  // Lays entries out from off.next on, until off.end or (when given) the deadline.
  void _lay_out_off_screen(OffScreen& off, Reuse& reuse,
                           std::optional<std::chrono::steady_clock::time_point> deadline);
  // Puts the rows of `off` in front of the log's, and moves everything that names a row after
  // them; `steps` are the tool steps the rows hold.
  void _put_in_front(OffScreen& off, int steps);
  // The entries a sliced replay has yet to lay out.
  struct PendingHead {
    OffScreen off;
    Reuse reuse;
    int steps = 0;             // tool steps they hold
    std::uint64_t timer = 0;   // the next slice
    bool all_at_once = false;  // the reader is close: the next slice lays out the rest
  };
  std::optional<PendingHead> _head;
  std::vector<std::vector<Strip>> _spent_rows;  // rows no longer shown, freed by the slices
  void _schedule_head(std::chrono::milliseconds delay);
  void _head_slice(std::optional<std::chrono::steady_clock::time_point> deadline);
  void _drop_head();
  void _cancel_head_timer();
  // Tool steps entries [first, end) of the history draw.
  int _steps_in(std::size_t first, std::size_t end) const;
};

}  // namespace orvo::tui::scrivlet

namespace orvo::tui {
using scrivlet::Scrivlet;
}  // namespace orvo::tui
