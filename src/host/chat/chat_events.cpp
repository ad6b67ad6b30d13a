// The agent's events and approval requests, as calls of the conversation view on the UI thread,
// and the end of a turn.
#include <string_view>
#include <unordered_map>
#include <utility>

#include "common/utf8.hpp"
#include "host/chat/chat_app.hpp"
#include "host/chat/type_ahead.hpp"

namespace orvo::host {

namespace {

// A short summary for the finished-tool row: what came back, in a few words.
std::string tool_summary(const std::string& result, bool error) {
  if (error) return "failed";
  auto lines = text::split_lines(text::strip(result));
  if (lines.empty()) return "no output";
  if (lines.size() == 1) return "1 line";
  return std::to_string(lines.size()) + " lines";
}

}  // namespace

void KestravelTUI::on_agent_event(tui::AgentEvent& e) {
  if (!log_) return;
  // Events the view has no use for (the controller's own status changes) are left alone.
  static const std::unordered_map<std::string_view, EventHandler> kHandlers = {
      {"thinking_start", &KestravelTUI::on_thinking_start},
      {"thinking_chunk", &KestravelTUI::on_thinking_chunk},
      {"thinking_done", &KestravelTUI::on_thinking_done},
      {"stage", &KestravelTUI::on_stage},
      {"stream_start", &KestravelTUI::on_stream_start},
      {"content", &KestravelTUI::on_content},
      {"tool_start", &KestravelTUI::on_tool_start},
      {"tool_result", &KestravelTUI::on_tool_result},
      {"error", &KestravelTUI::on_error},
      {"notice", &KestravelTUI::on_notice},
      {"done", &KestravelTUI::on_done},
  };
  const auto it = kHandlers.find(e.event_type);
  if (it == kHandlers.end()) return;
  const ReaderPlace place = reader_place();
  (this->*(it->second))(*e.payload);
  keep_reader_place(place);
}

void KestravelTUI::on_thinking_start(const PayloadMap& p) {
  if (p.text("reset") == "true") {
    turn_tools_.clear();
    turn_start_ = std::chrono::steady_clock::now();
  }
  stage_.clear();
  reasoning_.clear();
}

void KestravelTUI::on_thinking_chunk(const PayloadMap& p) {
  const std::string before = reasoning_.line();
  reasoning_.feed(p.text("chunk"));
  if (reasoning_.line() != before) update_status();
}

void KestravelTUI::on_thinking_done(const PayloadMap& p) {
  // The whole reasoning goes into the log; the status row has no more use for its last line.
  reasoning_.clear();
  update_status();
  std::string t = p.text("text");
  if (text::has_visible(t)) log_->append_thinking(t, false);
}

void KestravelTUI::on_stage(const PayloadMap& p) {
  stage_ = p.text("stage");
  update_status();
}

void KestravelTUI::on_stream_start(const PayloadMap&) {
  if (!reasoning_.line().empty()) {
    reasoning_.clear();
    update_status();
  }
  if (!streaming_) {
    streaming_ = true;
    stream_text_.clear();
  }
}

void KestravelTUI::on_content(const PayloadMap& p) {
  on_stream_start(p);
  std::string chunk = p.text("chunk");
  stream_text_ += chunk;
  log_->stream_token(chunk);
}

void KestravelTUI::on_tool_start(const PayloadMap& p) {
  finish_answer();
  reasoning_.clear();
  std::string name = p.text("name");
  turn_tools_.push_back(name);
  log_->append_tool(name, p.text("args"));
}

void KestravelTUI::on_tool_result(const PayloadMap& p) {
  finish_answer();
  bool error = p.text("error") == "true";
  std::string result = p.text("result");
  std::string name = p.text("name");
  // The call's running row becomes its result row; a failure is marked as one.
  if (!name.empty())
    log_->finish_tool(name, p.text("args"), tool_summary(result, error),
                      error ? tui::scrivlet::ToolEnd::failed : tui::scrivlet::ToolEnd::ok);
  log_->append_tool_result(result, error);
}

void KestravelTUI::on_error(const PayloadMap& p) {
  finish_answer();
  log_->append_error(p.text("message"));
}

void KestravelTUI::on_notice(const PayloadMap& p) {
  finish_answer();
  log_->append_info(p.text("text"));
}

void KestravelTUI::on_done(const PayloadMap& p) {
  finish_answer();
  // A stop comes before the summary that closes the turn it stopped.
  if (interrupted_) note_stopped();
  double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - turn_start_).count();
  const auto number = [&p](std::string_view key) -> std::int64_t {
    const auto* v = p.find(key);
    const auto* n = v ? std::get_if<std::int64_t>(v) : nullptr;
    return n ? *n : 0;
  };
  if (p.contains("tokens_out")) {
    // The server's counts; the speed over the time the model spent generating.
    const std::int64_t out = number("tokens_out");
    const std::int64_t ms = number("generation_ms");
    log_->append_turn_summary(
        elapsed, turn_tools_,
        {number("tokens_in"), out,
         ms > 0 && out > 0 ? static_cast<double>(out) * 1000.0 / static_cast<double>(ms) : 0.0});
  } else {
    std::int64_t tokens = output_->snapshot().tokens;
    log_->append_turn_summary(elapsed, turn_tools_, 0, static_cast<long long>(tokens), 0.0);
  }
  log_->reset_steps();
}

void KestravelTUI::note_stopped() {
  if (stop_noted_ || !log_) return;
  stop_noted_ = true;
  log_->interrupt_tools();
  log_->append_info("Stopped.");
}

void KestravelTUI::finish_answer() {
  if (!streaming_) return;
  streaming_ = false;
  log_->finish_stream(stream_text_);
  stream_text_.clear();
  // What was entered while the answer streamed (see run_entry), in order.
  auto held = std::exchange(after_answer_, {});
  if (!shut_down_)
    for (const SlashLine& line : held) run_entry(line);
}

void KestravelTUI::on_approval(tui::ApprovalRequest& r) {
  if (!log_ || shut_down_) {
    bridge().set_approval(false);
    return;
  }
  finish_answer();
  approval_pending_ = true;
  log_->append_approval(r.tool_name, r.command, r.reason);
  jump_to_end();  // a question waits for its answer: the reader is taken to it
  update_status();
  update_legend();
}

void KestravelTUI::answer_approval(bool allow) {
  if (!approval_pending_) return;
  approval_pending_ = false;
  bridge().set_approval(allow);
  if (log_) log_->append_info(allow ? "Allowed." : "Denied.");
  update_status();
  update_legend();
}

void KestravelTUI::interrupt() {
  if (!turn_running_) return;
  if (approval_pending_) answer_approval(false);
  interrupted_ = true;
  worker_->interrupt();
  update_status();
}

void KestravelTUI::on_turn_ended() {
  const bool stopped = interrupted_;
  turn_running_ = false;
  reasoning_.clear();
  const ReaderPlace place = reader_place();
  if (log_) finish_answer();
  if (approval_pending_) {
    approval_pending_ = false;  // the worker has moved on; the prompt no longer takes keys
  }
  if (interrupted_ && log_) note_stopped();
  interrupted_ = false;
  stop_noted_ = false;
  set_ticking(false);
  session_turn_ended();
  if (stopped) return_queued_prompts();
  run_queue();
  keep_reader_place(place);
  update_status();
  update_legend();
}

}  // namespace orvo::host
