// OutputManager: the status indicator, its thread and the erase of its block.
#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/utf8.hpp"
#include "output/indicator_text.hpp"
#include "output/internal.hpp"
#include "output/output_manager.hpp"

namespace orvo {

namespace {

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

// Appends `plain` (safe text) to a block row, cut to the `room` columns left, between `open` and
// `close` when any of it shows: every row fits the terminal, so the cursor-up count holds.
void add(std::string& row, int& room, std::string_view open, std::string_view plain,
         std::string_view close) {
  const std::string_view fit = text::take_columns(plain, std::max(room, 0));
  if (fit.empty()) return;
  room -= text::cell_len(fit);
  row.append(open).append(fit).append(close);
}

// Whether a status block is on the terminal: read by signal handlers (lock-free), so an
// interrupted program erases the block only when there is one.
std::atomic<bool> g_block_on_screen{false};

}  // namespace

using detail::flush_out;
using detail::now;
using detail::put;

bool status_block_on_screen() noexcept {
  return g_block_on_screen.load();
}

// One run of the indicator thread: its own flag, so a stale thread can never resume drawing
// after a newer one started.
struct OutputManager::Run {
  std::atomic<bool> running{true};
  std::mutex m;
  std::condition_variable cv;
  bool finished = false;
};

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

  // Nothing may escape this thread (an allocation failure included): it ends quietly and the
  // next stop erases what it drew.
  try {
    std::uint64_t frame = 0;
    while (run->running.load()) {
      ++frame;
      const std::string_view icon = indicator::icon(frame);
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
      const std::string_view hint = elapsed > 10 ? indicator::kStopHint : std::string_view();
      const std::string time = indicator::time_text(elapsed);
      std::string label;
      if (!stage.empty()) {
        // Room left on the row beside icon, dots, time and hint.
        const int used =
            3 + 5 + static_cast<int>(time.size()) + 1 + static_cast<int>(text::count_chars(hint));
        label = one_row(stage, cols - 1 - used);
      } else {
        label = std::string(indicator::label(elapsed));
      }
      // Every row is cut to the terminal less its last column.
      const int room_all = cols - 1;
      std::string status;
      int room = room_all;
      add(status, room, "\x1b[32m", indicator::status_text(icon, label, time), "\x1b[0m");
      add(status, room, "", hint, "");
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
        std::string rule_text = "  ";
        for (int i = 0; i < w; ++i) rule_text += "─";
        std::string rule;
        room = room_all;
        add(rule, room, "\x1b[2m", rule_text, "\x1b[0m");
        std::string prompt;
        room = room_all;
        if (queued > 0) {
          add(prompt, room, "", "  › ", "");
          add(prompt, room, "\x1b[2m", "(" + std::to_string(queued) + " queued)", "\x1b[0m");
        } else if (!typed.empty()) {
          add(prompt, room, "", "  › ", "");
          add(prompt, room, "", one_row(typed, cols - 5), "");
        } else {
          add(prompt, room, "\x1b[2m", "  › ", "\x1b[0m");
        }

        put("\r" + status + "\x1b[K");
        put("\n" + rule + "\x1b[K");
        put("\n" + prompt + "\x1b[K");
        put("\n" + rule + "\x1b[K");
        if (!extra.empty()) {
          std::string row;
          room = room_all;
          add(row, room, "\x1b[2m", "  " + one_row(extra, cols - 3), "\x1b[0m");
          put("\n" + row + "\x1b[K");
        }
        put("\x1b[?25l");
        put(extra.empty() ? "\x1b[3A\r" : "\x1b[4A\r");
        flush_out();
        core->block_drawn = true;
        g_block_on_screen = true;
      } catch (const std::ios_base::failure&) {
        run->running = false;  // the terminal is gone: end quietly
        return;
      } catch (const abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind
      } catch (...) {
        // A failing input field ends the thread, whatever it throws; the flag stays up until the
        // next stop.
        return;
      }
      std::unique_lock guard(run->m);
      run->cv.wait_for(guard, std::chrono::milliseconds(500), [&] { return !run->running.load(); });
    }
  } catch (const abi::__forced_unwind&) {
    throw;  // thread cancellation must unwind
  } catch (...) {
  }
}

}  // namespace orvo
