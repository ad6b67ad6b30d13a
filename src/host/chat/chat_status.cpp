// The status row: while a turn runs, the output controller's indicator (its icons, words and
// clock, from output/indicator_text.hpp) with the stage and the queue, or, while reasoning
// streams, its latest line in place of the rotating word; between turns, the mode, the model and
// the endpoint. Either way "↓ new output" while the reader is scrolled up and the log grew
// below them, and a short note for a moment ("copied 12 characters", "press Ctrl+C again to
// quit"). Also the reader's place: the log follows new output only from its end.
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "config/config.hpp"
#include "host/chat/chat_app.hpp"
#include "host/chat/text_row.hpp"
#include "output/indicator_text.hpp"
#include "tui/framework/text/themed.hpp"

namespace orvo::host {

using namespace std::chrono_literals;
using tui::Segment;
using tui::Style;

namespace {

std::string mode_label(const std::string& mode) {
  if (mode == config::kModeFast) return "Fast";
  if (mode == config::kModeReasoning) return "Reasoning";
  return mode.empty() ? "no mode" : mode;
}

}  // namespace

std::string fit_cells(const std::string& text, int cells) {
  if (cells <= 0) return "";
  if (text::cell_len(text) <= cells) return text;
  return std::string(text::take_columns(text, cells - 1)) + "…";
}

int KestravelTUI::status_width() {
  if (has_current_screen()) {
    try {
      const int w = screen().query_one<TextRow>("#status").size().width;
      if (w > 0) return w;
    } catch (const tui::NoMatches&) {
    }
  }
  return 80;
}

void KestravelTUI::update_status() {
  std::vector<Segment> segs;
  const std::string reasoning = reasoning_.line();
  if (turn_running_ && stage_.empty() && !interrupted_ && !approval_pending_ &&
      !reasoning.empty()) {
    // The model's latest line of thought says more than a rotating word: " ▲ (7s) <line> · ctrl+c
    // to stop", the line cut to what the row leaves it.
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - turn_start_).count();
    const std::string head = " " +
                             std::string(indicator::icon(static_cast<std::uint64_t>(tick_) + 1)) +
                             " (" + indicator::time_text(elapsed) + ") ";
    std::string tail(indicator::kStopHint);
    if (!queued_.empty()) tail += " · " + std::to_string(queued_.size()) + " queued";
    segs.emplace_back(head, themed("#32cd32", theme()));
    const int room = status_width() - text::cell_len(head) - text::cell_len(tail);
    segs.emplace_back(fit_cells(reasoning, room), themed("dim italic", theme()));
    segs.emplace_back(tail, themed("dim", theme()));
  } else if (turn_running_) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - turn_start_).count();
    // The indicator's own frames start at 1.
    const std::string_view icon = indicator::icon(static_cast<std::uint64_t>(tick_) + 1);
    std::string label = stage_;
    if (label.empty()) label = std::string(indicator::label(elapsed));
    if (interrupted_) label = "stopping";
    if (approval_pending_) label = "waiting for your answer";
    const std::string line = indicator::status_text(icon, label, indicator::time_text(elapsed));
    segs.emplace_back(text::terminal_safe(line), themed("#32cd32", theme()));
    segs.emplace_back(std::string(indicator::kStopHint), themed("dim", theme()));
    if (!queued_.empty()) {
      segs.emplace_back(" · " + std::to_string(queued_.size()) + " queued", themed("dim", theme()));
    }
  } else {
    segs.emplace_back(" " + mode_label(orvo_config.runtime.laptop_26b_runtime_mode),
                      themed("bold #5f87ff", theme()));
    if (const std::string model = model_label(); !model.empty())
      segs.emplace_back(" · " + model, themed("#5f87ff", theme()));
    segs.emplace_back(" · " + text::terminal_safe(orvo_config.runtime.endpoint),
                      themed("dim", theme()));
    if (!info_.instructions_mark.empty())
      segs.emplace_back(" · " + info_.instructions_mark, themed("dim", theme()));
  }
  if (new_output_) segs.emplace_back("  ↓ new output", themed("bold #d7af00", theme()));
  if (!note_.empty()) segs.emplace_back("  " + note_, themed("bold #d7af00", theme()));
  status_text_.clear();
  for (const auto& s : segs) status_text_ += s.text;
  if (!has_current_screen()) return;
  try {
    screen().query_one<TextRow>("#status").set(std::move(segs));
  } catch (const tui::NoMatches&) {
  }
}

void KestravelTUI::on_theme_changed() {
  // The rows set from here carry their styles; the log and the box follow by themselves.
  update_status();
  if (input_) update_menu();
}

void KestravelTUI::show_note(std::string text, std::chrono::milliseconds how_long) {
  note_ = text::terminal_safe(text::take_chars(text, 200));
  if (note_timer_) cancel_timer(*note_timer_);
  note_timer_.reset();
  try {
    note_timer_ = set_timer(how_long, [this] {
      note_timer_.reset();
      clear_note();
    });
  } catch (const std::exception&) {
    // Not running (a test calling in directly): the note stays until the next one.
  }
  update_status();
}

void KestravelTUI::clear_note() {
  if (note_timer_) cancel_timer(*note_timer_);
  note_timer_.reset();
  if (note_.empty()) return;
  note_.clear();
  update_status();
}

KestravelTUI::ReaderPlace KestravelTUI::reader_place() const {
  if (!log_) return {};
  return {log_->at_end(), log_->scroll_offset().y, log_->lines().size()};
}

void KestravelTUI::keep_reader_place(const ReaderPlace& place) {
  if (!log_) return;
  if (place.following) {
    log_->scroll_end();
    return;
  }
  // The view scrolls to the end on some writes of its own (a streamed line): the reader who
  // scrolled up is put back where they were.
  log_->scroll_to(place.y);
  if (log_->lines().size() != place.rows && !new_output_) {
    new_output_ = true;
    update_status();
    update_legend();
  }
}

void KestravelTUI::reader_scrolled() {
  if (!log_) return;
  if (log_->at_end() && new_output_) {
    new_output_ = false;
    update_status();
  }
  update_legend();
}

void KestravelTUI::jump_to_end() {
  if (!log_) return;
  log_->scroll_end();
  reader_scrolled();
}

void KestravelTUI::set_ticking(bool on) {
  if (on && !ticker_) {
    tick_ = 0;
    ticker_ = set_interval(500ms, [this] {
      ++tick_;
      update_status();
    });
  } else if (!on && ticker_) {
    cancel_timer(*ticker_);
    ticker_.reset();
  }
}

}  // namespace orvo::host
