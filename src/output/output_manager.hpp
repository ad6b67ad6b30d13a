// The output controller of one turn: keeps the turn state, draws the turn on a plain terminal with
// ANSI sequences and reports every step as an agent event to one subscriber.
//
// All operations are called from the agent's worker thread. A status indicator thread redraws an
// animated block twice a second while the model thinks or a tool runs; every writing operation
// stops it (and waits for it) before it writes.
//
// Terminal output goes to std::cout as it is at the moment of each write. A failed write throws
// std::ios_base::failure to the caller; only the indicator thread contains such failures.
// Text that comes from the model or from tools is drawn with control characters neutralised
// (events and stored state keep it as it was).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "output/payload.hpp"

namespace orvo {

enum class Phase { IDLE = 1, THINKING = 2, TOOL_CALL = 3, STREAMING = 4, DONE = 5, ERROR = 6 };

// One tool call of the turn.
struct ToolAction {
  std::string name;
  std::string args;
  std::string status = "running";  // "running", then "done" or "error"
  std::string result;              // noise-filtered output, whole
};

// The current turn.
struct OutputState {
  Phase phase = Phase::IDLE;
  double start_time = 0.0;  // wall-clock seconds since the epoch
  std::string thinking_peek;
  std::int64_t tokens = 0;  // the server's completion tokens once it reported them, else estimated
  std::vector<ToolAction> tool_actions;  // position = the call's index
  std::vector<std::string> content_chunks;
  std::string error;
  // What the server reported for the turn's requests so far (set_usage); all 0/false when it
  // reported nothing.
  bool usage_reported = false;
  std::int64_t prompt_tokens = 0;
  double generation_seconds = 0.0;  // time the model spent producing the completion tokens
};

// Header word shown in the tool log, in table order; other tools show their own name.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 9> TOOL_HEADERS{{
    {"bash", "Ran"},
    {"read_file", "Read"},
    {"write_file", "Wrote"},
    {"edit_file", "Edited"},
    {"grep", "Searched"},
    {"glob", "Found"},
    {"list_files", "Listed"},
    {"web_search", "Searched web"},
    {"web_fetch", "Fetched"},
}};

// Columns of the terminal on standard output; 80 when that cannot be read.
int _cols();

// True while a status block is drawn on standard output. Safe to call from a signal handler.
bool status_block_on_screen() noexcept;

// The host's input field, read by the indicator thread once per tick.
class InputField {
 public:
  virtual ~InputField() = default;
  virtual void collect_typeahead() = 0;
  virtual std::string get_typeahead_text() = 0;
  virtual std::size_t queue_length() = 0;  // number of queued messages
};

class OutputManager {
  // State shared with the indicator thread (declared first: `state` and `_lock` refer into it).
  struct Core;
  std::shared_ptr<Core> _core;

 public:
  static constexpr std::array<std::string_view, 3> ICONS{"·", "▲", "◆"};
  static constexpr std::array<std::string_view, 9> LABELS{
      "mining",   "cutting facets", "polishing",     "examining", "shaping",
      "refining", "digging deeper", "crystallizing", "forging"};

  OutputManager();
  ~OutputManager();
  OutputManager(const OutputManager&) = delete;
  OutputManager& operator=(const OutputManager&) = delete;

  // Turn lifecycle.
  void start_thinking(bool reset = true);
  void feed_thinking(std::string_view chunk);
  void thinking_done(std::string_view full_text);
  void set_stage(std::string_view stage);
  void set_thinking_peek(std::string_view text);
  void start_streaming();
  void stream(std::string_view chunk);
  void print_info(std::string_view text);
  // A note about the turn for both front-ends (e.g. what was skipped of the server's answer):
  // drawn as print_info draws, and emitted as "notice".
  void notice(std::string_view text);
  // The token counts the server reported for the turn so far: state.tokens becomes
  // `completion_tokens` instead of the estimate, and the summary shows tokens in and out and the
  // generation speed (completion tokens over `generation_seconds`, when that is above 0).
  void set_usage(std::int64_t prompt_tokens, std::int64_t completion_tokens,
                 double generation_seconds);
  void set_error(std::string_view msg);
  void done();

  // Tool calls: log_tool returns the index to pass back to tool_result.
  int log_tool(std::string_view name, std::string_view args = "");
  void tool_result(std::string_view result, bool error = false, std::int64_t idx = -1);
  static std::string _filter_noise(std::string_view text);

  // Callback slots; an empty function removes the subscriber.
  void set_event_callback(EventCallback callback);
  // Either form of the approval slot; the one set last is used. Setting the reasoned form also
  // sets approval_callback() (asking with an empty reason), so callers of the two-argument slot
  // keep working; setting the two-argument form drops a reasoned one.
  void set_approval_callback(ApprovalCallback callback);
  void set_approval_callback(ReasonedApprovalCallback callback);
  void set_approval_callback(std::nullptr_t) { set_approval_callback(ApprovalCallback()); }
  const ApprovalCallback& approval_callback() const { return _approval_callback; }
  bool has_approval_callback() const { return static_cast<bool>(_approval_callback); }
  // Asks the installed slot (the reasoned form when set, else the two-argument one); nullopt when
  // nothing is installed. What the callback throws reaches the caller.
  std::optional<bool> ask_approval(const std::string& tool_name, const std::string& command,
                                   const std::string& reason);

  // Host-provided extras for the status block.
  void set_status_line(std::string line);
  void set_input_field(std::shared_ptr<InputField> field);

  // The turn state. Owned by the worker; other threads read it through snapshot().
  OutputState& state;
  OutputState snapshot() const;
  const std::string& last_thinking_text() const { return _last_thinking_text; }
  std::string custom_stage() const;
  int col_pos() const { return _col_pos; }

  // Indicator control (used by the operations above; public for the host and tests).
  void _start_indicator();
  void _stop_indicator();
  bool indicator_running() const;
  bool has_indicator_thread() const { return _indicator_thread.joinable(); }

 private:
  struct Run;

  void _emit_event(const std::string& event_type, Payload payload);
  static void _run_indicator(std::shared_ptr<Core> core, std::shared_ptr<Run> run);
  void _erase_block();
  void _start_clock_if_unset();
  void _write_summary(double elapsed, const std::vector<std::string>& names,
                      const OutputState& usage);

  std::mutex& _lock;
  std::shared_ptr<Run> _run;
  std::thread _indicator_thread;

  EventCallback _event_callback;
  ApprovalCallback _approval_callback;
  ReasonedApprovalCallback _reasoned_approval_callback;
  std::string _last_thinking_text;
  int _col_pos = 0;
  bool _held_cr = false;  // a chunk ended in CR: the next chunk decides whether it ends a line
};

}  // namespace orvo
