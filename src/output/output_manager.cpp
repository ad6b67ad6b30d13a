#include "output/output_manager.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <unordered_map>

#include "common/utf8.hpp"
#include "output/testing.hpp"

namespace orvo {

namespace {

std::atomic<int> g_cols_override{0};
std::atomic<bool> g_clock_overridden{false};
std::atomic<double> g_clock_value{0.0};

double now() {
  if (g_clock_overridden.load(std::memory_order_relaxed)) {
    return g_clock_value.load(std::memory_order_relaxed);
  }
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// Writes to std::cout as it is now. A failed write clears the stream's error state (so that the
// next write tries again) and throws.
void put(std::string_view s) {
  std::ostream& out = std::cout;
  out.write(s.data(), static_cast<std::streamsize>(s.size()));
  if (!out) {
    out.clear();
    throw std::ios_base::failure("write to standard output failed");
  }
}

void flush_out() {
  std::ostream& out = std::cout;
  out.flush();
  if (!out) {
    out.clear();
    throw std::ios_base::failure("flush of standard output failed");
  }
}

std::string cut(std::string_view s, std::size_t n) {
  return std::string(text::take_chars(s, n));
}

const char* flag(bool b) {
  return b ? "true" : "false";
}

std::int64_t token_estimate(std::string_view chunk) {
  const auto chars = static_cast<std::int64_t>(text::count_chars(chunk));
  return std::max<std::int64_t>(1, chars / 4);
}

bool is_noise(std::string_view line) {
  return line.find("MallocStackLogging") != std::string_view::npos ||
         line.find("can't turn off") != std::string_view::npos;
}

// True when `s` holds any line boundary other than LF.
bool has_other_boundaries(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b >= 0x20 && b < 0x80) continue;
    if (b == '\r' || b == '\v' || b == '\f' || (b >= 0x1C && b <= 0x1E)) return true;
    if (b == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) return true;
    if (b == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(s[i + 2]) == 0xA8 ||
         static_cast<unsigned char>(s[i + 2]) == 0xA9)) {
      return true;
    }
  }
  return false;
}

std::string time_text(double elapsed) {
  char buf[64];
  if (elapsed < 60) {
    std::snprintf(buf, sizeof buf, "%.0fs", std::nearbyint(elapsed));
  } else {
    const auto minutes = static_cast<long long>(std::floor(elapsed / 60));
    const auto seconds = static_cast<int>(std::floor(std::fmod(elapsed, 60.0)));
    std::snprintf(buf, sizeof buf, "%lldm%02ds", minutes, seconds);
  }
  return buf;
}

// Text for one row of the status block: controls neutralised, line breaks and tabs as spaces, and
// no more than `max_chars` code points, so a long or multi-line text cannot wrap the row and
// throw the block's in-place redraw off by a line.
std::string one_row(std::string_view s, int max_columns) {
  std::string safe = text::terminal_safe(s);
  for (char& c : safe) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return std::string(text::take_columns(safe, std::max(max_columns, 1)));
}

// Whether a status block is on the terminal: read by signal handlers (lock-free), so an
// interrupted program erases the block only when there is one.
std::atomic<bool> g_block_on_screen{false};

}  // namespace

namespace testing {
void set_cols_override(std::optional<int> cols) {
  g_cols_override = cols.value_or(0);
}
void set_clock_override(std::optional<double> value) {
  g_clock_value = value.value_or(0.0);
  g_clock_overridden = value.has_value();
}
}  // namespace testing

bool status_block_on_screen() noexcept {
  return g_block_on_screen.load();
}

int _cols() {
  if (const int forced = g_cols_override.load(std::memory_order_relaxed); forced > 0) return forced;
  winsize ws{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

// State the indicator thread reads; shared so that a thread that outlives its controller (a stop
// that timed out, or process exit) never reads freed memory.
struct OutputManager::Core {
  std::atomic<bool> block_drawn{false};  // a frame is on screen and not yet erased
  std::mutex lock;
  OutputState state;
  std::string custom_stage;
  std::string status_line;
  std::shared_ptr<InputField> input_field;
};

// One run of the indicator thread: its own flag, so a stale thread can never resume drawing
// after a newer one started.
struct OutputManager::Run {
  std::atomic<bool> running{true};
  std::mutex m;
  std::condition_variable cv;
  bool finished = false;
};

OutputManager::OutputManager()
    : _core(std::make_shared<Core>()), state(_core->state), _lock(_core->lock) {}

OutputManager::~OutputManager() {
  try {
    _stop_indicator();
  } catch (const std::exception&) {
    // Destruction never throws; the block may stay on a broken terminal.
  }
  if (_indicator_thread.joinable()) _indicator_thread.detach();
}

OutputState OutputManager::snapshot() const {
  std::lock_guard guard(_lock);
  return _core->state;
}

std::string OutputManager::custom_stage() const {
  std::lock_guard guard(_lock);
  return _core->custom_stage;
}

void OutputManager::set_status_line(std::string line) {
  std::lock_guard guard(_lock);
  _core->status_line = std::move(line);
}

void OutputManager::set_input_field(std::shared_ptr<InputField> field) {
  std::lock_guard guard(_lock);
  _core->input_field = std::move(field);
}

void OutputManager::set_event_callback(EventCallback callback) {
  _event_callback = std::move(callback);
}

void OutputManager::set_approval_callback(ApprovalCallback callback) {
  _approval_callback = std::move(callback);
}

void OutputManager::_emit_event(const std::string& event_type, Payload payload) {
  if (!_event_callback) return;
  try {
    _event_callback(event_type, std::move(payload));
  } catch (const std::exception&) {
    // A failing subscriber never stops the turn.
  }
}

// ---- turn lifecycle -------------------------------------------------------------------------

void OutputManager::start_thinking(bool reset) {
  {
    std::lock_guard guard(_lock);
    state.phase = Phase::THINKING;
    _core->custom_stage.clear();
    state.thinking_peek.clear();
    if (reset) {
      state.start_time = now();
      state.tokens = 0;
      state.tool_actions.clear();
      state.content_chunks.clear();
    }
  }
  _emit_event("thinking_start", make_payload({{"reset", flag(reset)}}));
  _start_indicator();
}

void OutputManager::feed_thinking(std::string_view chunk) {
  {
    std::lock_guard guard(_lock);
    state.tokens += token_estimate(chunk);
  }
  _emit_event("thinking_chunk", make_payload({{"chunk", cut(chunk, 2000)}}));
}

void OutputManager::thinking_done(std::string_view full_text) {
  _last_thinking_text = std::string(full_text);
  _emit_event("thinking_done", make_payload({{"text", cut(full_text, 8000)}}));
}

void OutputManager::set_stage(std::string_view stage) {
  {
    std::lock_guard guard(_lock);
    _core->custom_stage = std::string(stage);
  }
  _emit_event("stage", make_payload({{"stage", cut(stage, 120)}}));
}

void OutputManager::set_thinking_peek(std::string_view text) {
  {
    std::lock_guard guard(_lock);
    state.thinking_peek = cut(text, 120);
  }
  if (text::has_visible(text))
    _emit_event("thinking_peek", make_payload({{"text", cut(text, 120)}}));
}

void OutputManager::start_streaming() {
  _stop_indicator();
  {
    std::lock_guard guard(_lock);
    state.phase = Phase::STREAMING;
    _core->custom_stage.clear();
  }
  _emit_event("stream_start", make_payload());
  put("\r\x1b[K\n\n  ");
  flush_out();
}

void OutputManager::stream(std::string_view chunk) {
  if (state.phase != Phase::STREAMING) {
    start_streaming();
    _col_pos = 2;
  }
  const std::size_t chars = text::count_chars(chunk);
  {
    std::lock_guard guard(_lock);
    state.content_chunks.emplace_back(chunk);
    state.tokens += std::max<std::int64_t>(1, static_cast<std::int64_t>(chars / 4));
  }
  _emit_event("content",
              make_payload({{"chunk", cut(chunk, 2000)}, {"chars", std::to_string(chars)}}));

  // Soft wrap by character count: the line never reaches the last column. Every code point is
  // one column; controls are drawn as U+FFFD so they count the same and cannot drive the
  // terminal.
  const int wrap_at = _cols() - 1;
  std::string out;
  out.reserve(chunk.size() + chunk.size() / 32 + 8);
  int col = _col_pos;
  std::size_t pos = 0;
  while (pos < chunk.size()) {
    const unsigned char b = static_cast<unsigned char>(chunk[pos]);
    if (b == '\n') {
      out += "\n  ";
      col = 2;
      ++pos;
      continue;
    }
    if (b == '\r' && pos + 1 < chunk.size() && chunk[pos + 1] == '\n') {
      ++pos;  // CR LF is a plain line end
      continue;
    }
    if (col >= wrap_at) {
      out += "\n  ";
      col = 2;
    }
    ++col;
    if (b >= 0x20 && b < 0x7F) {
      out.push_back(static_cast<char>(b));
      ++pos;
      continue;
    }
    const std::size_t before = pos;
    const char32_t cp = text::decode(chunk, pos);
    if (text::is_unsafe_control(cp) || (cp == text::kReplacement && pos - before == 1)) {
      text::encode(text::kReplacement, out);
    } else {
      out.append(chunk.substr(before, pos - before));
    }
  }
  _col_pos = col;
  put(out);
  flush_out();
}

void OutputManager::print_info(std::string_view text) {
  const bool was_running = indicator_running();
  if (was_running || _core->block_drawn.load()) _stop_indicator();  // also a stale block
  put("\x1b[2m  " + text::terminal_safe(text) + "\x1b[0m\n");
  flush_out();
  if (was_running) _start_indicator();
}

void OutputManager::set_error(std::string_view msg) {
  _stop_indicator();
  {
    std::lock_guard guard(_lock);
    state.phase = Phase::ERROR;
    state.error = std::string(msg);
    _core->custom_stage.clear();
  }
  _emit_event("error", make_payload({{"message", cut(msg, 240)}}));
  put("\n\x1b[31m▪ Error: " + text::terminal_safe(msg) + "\x1b[0m\n\n");
  flush_out();
}

void OutputManager::done() {
  _stop_indicator();
  const double elapsed = now() - state.start_time;
  std::vector<std::string> names;
  names.reserve(state.tool_actions.size());
  for (const auto& action : state.tool_actions) names.push_back(action.name);
  {
    std::lock_guard guard(_lock);
    state.phase = Phase::DONE;
    _core->custom_stage.clear();
  }
  _emit_event("done", make_payload());
  _write_summary(elapsed, names);
}

void OutputManager::_write_summary(double elapsed, const std::vector<std::string>& names) {
  char secs[64];
  std::snprintf(secs, sizeof secs, "%.1fs", elapsed);
  std::string line = "\n\x1b[2m  Done in ";
  line += secs;
  if (!names.empty()) {
    // Count per tool name, in the order each name first occurs.
    std::vector<std::pair<std::string_view, int>> counts;
    std::unordered_map<std::string_view, std::size_t> slot;
    for (const auto& name : names) {
      auto [it, fresh] = slot.try_emplace(name, counts.size());
      if (fresh) {
        counts.emplace_back(name, 1);
      } else {
        ++counts[it->second].second;
      }
    }
    line += " — tools: ";
    for (std::size_t i = 0; i < counts.size(); ++i) {
      if (i > 0) line += ", ";
      line += text::terminal_safe(counts[i].first);
      if (counts[i].second > 1) line += "×" + std::to_string(counts[i].second);
    }
  }
  line += "\x1b[0m\n";
  put(line);
  flush_out();
}

// ---- tool calls ------------------------------------------------------------------------------

std::string OutputManager::_filter_noise(std::string_view text) {
  const bool maybe_noise = text.find("MallocStackLogging") != std::string_view::npos ||
                           text.find("can't turn off") != std::string_view::npos;
  if (!maybe_noise && !has_other_boundaries(text)) {
    // Already "\n"-separated and clean: only a final line end goes.
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return std::string(text);
  }
  std::string out;
  out.reserve(text.size());
  bool first = true;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::string_view line = text::next_line(text, pos);
    if (maybe_noise && is_noise(line)) continue;
    if (!first) out.push_back('\n');
    out.append(line);
    first = false;
  }
  return out;
}

int OutputManager::log_tool(std::string_view name, std::string_view args) {
  _stop_indicator();
  int idx;
  {
    std::lock_guard guard(_lock);
    idx = static_cast<int>(state.tool_actions.size());
    state.tool_actions.push_back(ToolAction{std::string(name), std::string(args), "running", ""});
  }
  _emit_event("tool_start", make_payload({{"name", std::string(name)},
                                          {"args", cut(args, 200)},
                                          {"index", std::int64_t{idx}}}));
  std::string_view header = name;
  for (const auto& [tool, word] : TOOL_HEADERS) {
    if (tool == name) header = word;
  }
  put("\n\x1b[1m▪ " + text::terminal_safe(header) + "\x1b[0m \x1b[36m" +
      text::terminal_safe(text::take_chars(args, 80)) + "\x1b[0m\n");
  flush_out();
  _start_indicator();
  return idx;
}

void OutputManager::tool_result(std::string_view raw_result, bool error, std::int64_t idx) {
  const std::string result = _filter_noise(raw_result);
  std::string name;
  std::string args;
  {
    std::lock_guard guard(_lock);
    const bool known = idx >= 0 && static_cast<std::size_t>(idx) < state.tool_actions.size();
    if (known) {
      ToolAction& action = state.tool_actions[static_cast<std::size_t>(idx)];
      action.status = error ? "error" : "done";
      action.result = result;
      name = action.name;
      args = cut(action.args, 200);
    }
    _core->custom_stage.clear();
  }
  _emit_event("tool_result", make_payload({{"error", flag(error)},
                                           {"index", idx},
                                           {"result", cut(result, 4000)},
                                           {"name", std::move(name)},
                                           {"args", std::move(args)}}));
  _stop_indicator();

  // Preview: the first lines under a tree branch; only the count of the rest is read.
  const std::string_view body = text::strip(result);
  const std::size_t limit = error ? 5 : 8;
  const char* open = error ? "\x1b[31m  └ " : "\x1b[2m  └ ";
  std::size_t shown = 0;
  std::size_t pos = 0;
  while (pos < body.size() && shown < limit) {
    const std::string_view line = text::next_line(body, pos);
    put(open + text::terminal_safe(text::take_chars(line, 90)) + "\x1b[0m\n");
    ++shown;
  }
  if (!error && pos < body.size()) {
    std::size_t rest = 0;
    while (pos < body.size()) {
      text::next_line(body, pos);
      ++rest;
    }
    put("\x1b[2m    … +" + std::to_string(rest) + " lines\x1b[0m\n");
  }
  flush_out();
  _start_indicator();
}

// ---- status indicator ------------------------------------------------------------------------

bool OutputManager::indicator_running() const {
  return _run != nullptr && _run->running.load();
}

void OutputManager::_start_indicator() {
  if (indicator_running()) return;
  if (_indicator_thread.joinable()) {
    // A thread that ended by itself (write error) is joined; one that did not end in time after
    // a stop was detached there.
    _indicator_thread.join();
  }
  auto run = std::make_shared<Run>();
  _run = run;
  try {
    _indicator_thread = std::thread(&OutputManager::_run_indicator, _core, run);
  } catch (const std::system_error&) {
    // The platform refused the thread: one more try, then the caller gets the error.
    try {
      _indicator_thread = std::thread(&OutputManager::_run_indicator, _core, run);
    } catch (...) {
      run->running = false;
      throw;
    }
  }
}

void OutputManager::_stop_indicator() {
  if (!indicator_running()) {
    // A thread that died on a write error may have left its block (and a hidden cursor) behind.
    if (_core->block_drawn.load()) _erase_block();
    return;
  }
  std::shared_ptr<Run> run = _run;
  {
    std::lock_guard guard(run->m);
    run->running = false;
  }
  run->cv.notify_all();
  if (_indicator_thread.joinable()) {
    std::unique_lock guard(run->m);
    const bool ended =
        run->cv.wait_for(guard, std::chrono::seconds(1), [&] { return run->finished; });
    guard.unlock();
    if (ended) {
      _indicator_thread.join();
    } else {
      _indicator_thread.detach();  // it only touches shared state and stops at its next tick
    }
  }
  _erase_block();
}

void OutputManager::_erase_block() {
  _core->block_drawn = false;
  g_block_on_screen = false;
  try {
    put("\x1b[?25h");
    put("\r\x1b[J");
    flush_out();
  } catch (const std::ios_base::failure&) {
    // The block cannot be erased on a broken terminal; the flag is already down.
  }
}

void OutputManager::_run_indicator(std::shared_ptr<Core> core, std::shared_ptr<Run> run) {
  struct Finish {
    Run& run;
    ~Finish() {
      {
        std::lock_guard guard(run.m);
        run.finished = true;
      }
      run.cv.notify_all();
    }
  } finish{*run};

  std::uint64_t frame = 0;
  while (run->running.load()) {
    ++frame;
    const std::string_view icon = ICONS[frame % ICONS.size()];
    double start;
    std::string stage;
    std::string extra;
    std::shared_ptr<InputField> field;
    {
      std::lock_guard guard(core->lock);
      start = core->state.start_time;
      stage = core->custom_stage;
      extra = core->status_line;
      field = core->input_field;
    }
    const double elapsed = now() - start;
    const int cols = _cols();
    const char* hint = elapsed > 10 ? " · ctrl+c to stop" : "";
    const std::string time = time_text(elapsed);
    std::string label;
    if (!stage.empty()) {
      // Room left on the row beside icon, dots, time and hint.
      const int used =
          3 + 5 + static_cast<int>(time.size()) + 1 + static_cast<int>(text::count_chars(hint));
      label = one_row(stage, cols - 1 - used);
    } else {
      const auto block = static_cast<long long>(std::floor(std::floor(elapsed) / 6));
      label = std::string(LABELS[static_cast<std::size_t>(((block % 9) + 9) % 9)]);
    }
    const std::string status =
        "\x1b[32m " + std::string(icon) + " " + label + "... (" + time + ")\x1b[0m" + hint;
    try {
      std::string typed;
      std::size_t queued = 0;
      if (field) {
        field->collect_typeahead();
        typed = field->get_typeahead_text();
        queued = field->queue_length();
      }
      // The input field may have kept us past a stop: never draw after the erase.
      if (!run->running.load()) return;
      const int w = std::max(std::min(cols - 4, 96), 24);
      std::string rule = "  ";
      for (int i = 0; i < w; ++i) rule += "─";

      put("\r" + status + "\x1b[K");
      put("\n\x1b[2m" + rule + "\x1b[0m\x1b[K");
      if (queued > 0) {
        put("\n  › \x1b[2m(" + std::to_string(queued) + " queued)\x1b[0m\x1b[K");
      } else if (!typed.empty()) {
        put("\n  › " + one_row(typed, cols - 5) + "\x1b[K");
      } else {
        put("\n\x1b[2m  › \x1b[0m\x1b[K");
      }
      put("\n\x1b[2m" + rule + "\x1b[0m\x1b[K");
      if (!extra.empty()) put("\n\x1b[2m  " + one_row(extra, cols - 3) + "\x1b[0m\x1b[K");
      put("\x1b[?25l");
      put(extra.empty() ? "\x1b[3A\r" : "\x1b[4A\r");
      flush_out();
      core->block_drawn = true;
      g_block_on_screen = true;
    } catch (const std::ios_base::failure&) {
      run->running = false;  // the terminal is gone: end quietly
      return;
    } catch (const std::exception&) {
      // A failing input field ends the thread; the flag stays up until the next stop.
      return;
    }
    std::unique_lock guard(run->m);
    run->cv.wait_for(guard, std::chrono::milliseconds(500), [&] { return !run->running.load(); });
  }
}

}  // namespace orvo
