// The status row: while a turn runs, the output controller's indicator (its icons, words and
// clock, from output/indicator_text.hpp) with the stage and the queue; between turns, the mode
// and the endpoint.
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "config/config.hpp"
#include "host/chat/chat_app.hpp"
#include "host/chat/text_row.hpp"
#include "output/indicator_text.hpp"

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

void KestravelTUI::update_status() {
  std::vector<Segment> segs;
  if (turn_running_) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - turn_start_).count();
    // The indicator's own frames start at 1.
    const std::string_view icon = indicator::icon(static_cast<std::uint64_t>(tick_) + 1);
    std::string label = stage_;
    if (label.empty()) label = std::string(indicator::label(elapsed));
    if (interrupted_) label = "stopping";
    if (approval_pending_) label = "waiting for your answer";
    const std::string line = indicator::status_text(icon, label, indicator::time_text(elapsed));
    segs.emplace_back(text::terminal_safe(line), Style::parse("#32cd32"));
    segs.emplace_back(std::string(indicator::kStopHint), Style::parse("dim"));
    if (!queued_.empty()) {
      segs.emplace_back(" · " + std::to_string(queued_.size()) + " queued", Style::parse("dim"));
    }
  } else {
    segs.emplace_back(" " + mode_label(orvo_config.runtime.laptop_26b_runtime_mode),
                      Style::parse("bold #5f87ff"));
    segs.emplace_back(" · " + text::terminal_safe(orvo_config.runtime.endpoint),
                      Style::parse("dim"));
  }
  status_text_.clear();
  for (const auto& s : segs) status_text_ += s.text;
  if (!has_current_screen()) return;
  try {
    screen().query_one<TextRow>("#status").set(std::move(segs));
  } catch (const tui::NoMatches&) {
  }
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
