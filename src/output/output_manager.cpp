// OutputManager: construction, state access, events and the turn lifecycle. The tool
// log is in tool_log.cpp, the status indicator in indicator.cpp.
#include "output/output_manager.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <unordered_map>

#include "common/utf8.hpp"
#include "output/internal.hpp"
#include "output/testing.hpp"

namespace orvo {

namespace {

std::atomic<int> g_cols_override{0};
std::atomic<bool> g_clock_overridden{false};
std::atomic<double> g_clock_value{0.0};

std::int64_t token_estimate(std::string_view chunk) {
  const auto chars = static_cast<std::int64_t>(text::count_chars(chunk));
  return std::max<std::int64_t>(1, chars / 4);
}

}  // namespace

namespace detail {

double now() {
  if (g_clock_overridden.load(std::memory_order_relaxed)) {
    return g_clock_value.load(std::memory_order_relaxed);
  }
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

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

}  // namespace detail

using detail::cut;
using detail::flag;
using detail::flush_out;
using detail::now;
using detail::put;

namespace testing {
void set_cols_override(std::optional<int> cols) {
  g_cols_override = cols.value_or(0);
}
void set_clock_override(std::optional<double> value) {
  g_clock_value = value.value_or(0.0);
  g_clock_overridden = value.has_value();
}
}  // namespace testing

int _cols() {
  if (const int forced = g_cols_override.load(std::memory_order_relaxed); forced > 0) return forced;
  winsize ws{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

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
  _reasoned_approval_callback = nullptr;
}

void OutputManager::set_approval_callback(ReasonedApprovalCallback callback) {
  _reasoned_approval_callback = std::move(callback);
  _approval_callback = nullptr;
  if (_reasoned_approval_callback) {
    // Reads the slot at call time, so the adapter never outlives what it calls.
    _approval_callback = [this](const std::string& tool_name, const std::string& command) {
      return _reasoned_approval_callback && _reasoned_approval_callback(tool_name, command, "");
    };
  }
}

std::optional<bool> OutputManager::ask_approval(const std::string& tool_name,
                                                const std::string& command,
                                                const std::string& reason) {
  if (_reasoned_approval_callback) return _reasoned_approval_callback(tool_name, command, reason);
  if (_approval_callback) return _approval_callback(tool_name, command);
  return std::nullopt;
}

void OutputManager::_emit_event(const std::string& event_type, Payload payload) {
  if (!_event_callback) return;
  try {
    _event_callback(event_type, std::move(payload));
  } catch (const abi::__forced_unwind&) {
    throw;  // thread cancellation must unwind
  } catch (...) {
    // A failing subscriber never stops the turn, whatever it throws.
  }
}

// A turn reported without start_thinking has no start time: its clock starts at its first
// operation instead of the epoch.
void OutputManager::_start_clock_if_unset() {
  std::lock_guard guard(_lock);
  if (state.start_time == 0.0) state.start_time = now();
}

// ---- turn lifecycle -------------------------------------------------------------------------

void OutputManager::start_thinking(bool reset) {
  {
    std::lock_guard guard(_lock);
    state.phase = Phase::THINKING;
    _core->custom_stage.clear();
    state.thinking_peek.clear();
    if (reset || state.start_time == 0.0) state.start_time = now();
    if (reset) {
      state.tokens = 0;
      state.tool_actions.clear();
      state.content_chunks.clear();
      state.usage_reported = false;
      state.prompt_tokens = 0;
      state.generation_seconds = 0.0;
    }
  }
  _emit_event("thinking_start", make_payload({{"reset", flag(reset)}}));
  _start_indicator();
}

void OutputManager::feed_thinking(std::string_view chunk) {
  _start_clock_if_unset();
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
  _start_clock_if_unset();
  {
    std::lock_guard guard(_lock);
    _core->custom_stage = std::string(stage);
  }
  _emit_event("stage", make_payload({{"stage", cut(stage, 120)}}));
}

void OutputManager::set_thinking_peek(std::string_view text) {
  _start_clock_if_unset();
  {
    std::lock_guard guard(_lock);
    state.thinking_peek = cut(text, 120);
  }
  if (text::has_visible(text))
    _emit_event("thinking_peek", make_payload({{"text", cut(text, 120)}}));
}

void OutputManager::start_streaming() {
  _start_clock_if_unset();
  _stop_indicator();
  {
    std::lock_guard guard(_lock);
    state.phase = Phase::STREAMING;
    _core->custom_stage.clear();
  }
  _emit_event("stream_start", make_payload());
  _held_cr = false;
  put("\r\x1b[K\n\n  ");
  flush_out();
}

void OutputManager::stream(std::string_view chunk) {
  _start_clock_if_unset();
  std::string out;
  if (state.phase != Phase::STREAMING) {
    start_streaming();
    _col_pos = 2;
  } else if (indicator_running() || _core->block_drawn.load()) {
    // A tool call inside the answer started the status block: stop it before writing, whatever
    // the phase, and go on below the tool log as a new paragraph.
    _stop_indicator();
    _held_cr = false;
    out = "\r\x1b[K\n\n  ";
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
  out.reserve(out.size() + chunk.size() + chunk.size() / 32 + 8);
  int col = _col_pos;
  std::size_t pos = 0;
  if (_held_cr && !chunk.empty()) {
    // The CR held from the last chunk: a line end when this chunk starts with LF, else a lone CR.
    _held_cr = false;
    if (chunk[0] != '\n') {
      if (col >= wrap_at) {
        out += "\n  ";
        col = 2;
      }
      ++col;
      text::encode(text::kReplacement, out);
    }
  }
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
    if (b == '\r' && pos + 1 == chunk.size()) {
      _held_cr = true;  // CR LF may be split across chunks: the next one decides
      ++pos;
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
  _start_clock_if_unset();
  const bool was_running = indicator_running();
  if (was_running || _core->block_drawn.load()) _stop_indicator();  // also a stale block
  put("\x1b[2m  " + text::terminal_safe(text) + "\x1b[0m\n");
  flush_out();
  if (was_running) _start_indicator();
}

void OutputManager::notice(std::string_view text) {
  _emit_event("notice", make_payload({{"text", cut(text, 240)}}));
  print_info(text);
}

void OutputManager::set_usage(std::int64_t prompt_tokens, std::int64_t completion_tokens,
                              double generation_seconds) {
  std::lock_guard guard(_lock);
  state.usage_reported = true;
  state.prompt_tokens = std::max<std::int64_t>(0, prompt_tokens);
  state.tokens = std::max<std::int64_t>(0, completion_tokens);
  state.generation_seconds =
      std::isfinite(generation_seconds) && generation_seconds > 0 ? generation_seconds : 0.0;
}

void OutputManager::set_error(std::string_view msg) {
  _start_clock_if_unset();
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
  _start_clock_if_unset();
  _stop_indicator();
  const double elapsed = now() - state.start_time;
  std::vector<std::string> names;
  names.reserve(state.tool_actions.size());
  for (const auto& action : state.tool_actions) names.push_back(action.name);
  OutputState usage;
  {
    std::lock_guard guard(_lock);
    state.phase = Phase::DONE;
    _core->custom_stage.clear();
    usage.usage_reported = state.usage_reported;
    usage.prompt_tokens = state.prompt_tokens;
    usage.tokens = state.tokens;
    usage.generation_seconds = state.generation_seconds;
  }
  // The server's counts travel with the event only when it reported them.
  Payload payload = make_payload();
  if (usage.usage_reported) {
    payload->set("tokens_in", usage.prompt_tokens);
    payload->set("tokens_out", usage.tokens);
    payload->set("generation_ms",
                 static_cast<std::int64_t>(std::llround(usage.generation_seconds * 1000.0)));
  }
  _emit_event("done", std::move(payload));
  _write_summary(elapsed, names, usage);
}

namespace {

std::string count_text(std::int64_t n) {
  if (n < 1000) return std::to_string(n);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1fk", static_cast<double>(n) / 1000.0);
  return buf;
}

}  // namespace

void OutputManager::_write_summary(double elapsed, const std::vector<std::string>& names,
                                   const OutputState& usage) {
  char secs[64];
  std::snprintf(secs, sizeof secs, "%.1fs", elapsed);
  if (std::strcmp(secs, "-0.0s") == 0) std::strcpy(secs, "0.0s");  // a clock that stepped back
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
  if (usage.usage_reported) {
    line += " \u2014 " + count_text(usage.prompt_tokens) + " tokens in, " +
            count_text(usage.tokens) + " out";
    if (usage.generation_seconds > 0 && usage.tokens > 0) {
      char speed[48];
      std::snprintf(speed, sizeof speed, " \u2014 %.1f tokens/s",
                    static_cast<double>(usage.tokens) / usage.generation_seconds);
      line += speed;
    }
  }
  line += "\x1b[0m\n";
  put(line);
  flush_out();
}

}  // namespace orvo
