// What Enter does with a prompt: a slash command, a new turn, or a turn queued behind the running
// one.
#include <string_view>
#include <utility>
#include <vector>

#include "common/utf8.hpp"
#include "host/chat/chat_app.hpp"
#include "host/chat/text_row.hpp"
#include "host/chat/type_ahead.hpp"

namespace orvo::host {

namespace {

std::string_view command_name(std::string_view text) {
  return text.substr(0, text.find_first_of(" \t\n"));
}

bool is_mode_command(std::string_view text) {
  return command_name(text) == "/mode";
}

constexpr std::string_view kHelp =
    "Commands: /help, /clear (empty the conversation), /mode (pick Fast or Reasoning), "
    "/resume (an earlier session of this project), /undo (put back the files the last turn "
    "changed), /diff (what it changed), /quit. Keys: Enter sends (queues while a turn runs), "
    "Ctrl+J or Alt+Enter starts a new "
    "line, Up/Down recall earlier prompts, PageUp/PageDown scroll, End (or Ctrl+End) goes back to "
    "the newest output, 1 or 2 answers an approval "
    "while the box is empty, Esc or Ctrl+C stops a turn, drag the mouse to copy, Ctrl+Y copies "
    "the selection again, Ctrl+D quits.";

}  // namespace

void KestravelTUI::submit(const std::string& text) {
  if (!log_) return;
  const std::string_view trimmed = text::strip(text);
  const bool command = !trimmed.empty() && trimmed.front() == '/';
  // A prompt typed during a turn, and /mode, which needs the turn to be over, wait in the queue
  // above the status row; they enter the log when their turn comes, never inside the answer that
  // is streaming now.
  if (turn_running_ && (!command || is_mode_command(trimmed))) {
    queued_.push_back(command ? std::string(trimmed) : text);
    update_queue();
    update_status();
    return;
  }
  // What the user sends is shown to them: the log goes back to its end.
  jump_to_end();
  if (pending_choice_ && answer_choice(std::string(trimmed))) return;
  if (command) {
    slash_command(std::string(trimmed));
  } else {
    log_->append_user(text);
    start_turn(text);
  }
}

void KestravelTUI::run_queue() {
  while (!turn_running_ && !queued_.empty() && log_ && !shut_down_ && has_current_screen() &&
         screen().id() == "chat") {
    const std::string next = queued_.front();
    queued_.pop_front();
    update_queue();
    if (is_mode_command(next)) {
      slash_command(next);  // the mode screen; the rest of the queue runs once the chat is back
    } else {
      log_->append_user(next);
      start_turn(next);
    }
  }
}

void KestravelTUI::update_queue() {
  typeahead_->set_queued(queued_.size());
  if (!has_current_screen()) return;
  // A few of them, each on a row of its own (its first line); the rest are counted.
  constexpr std::size_t kShown = 3;
  std::vector<tui::Strip> rows;
  const tui::Style mark = tui::Style::parse("dim yellow");
  for (std::size_t i = 0; i < queued_.size() && i < kShown; ++i) {
    const std::string& q = queued_[i];
    const auto lines = text::split_lines(q);
    std::string first = lines.empty() ? std::string() : std::string(lines.front());
    std::vector<tui::Segment> segs;
    segs.emplace_back(" ↻ ", mark);
    segs.emplace_back(text::terminal_safe(first), tui::Style::parse("dim italic"));
    if (is_mode_command(q)) {
      segs.emplace_back("  (waits for this turn to end)", mark);
    } else if (lines.size() > 1) {
      segs.emplace_back("  (+" + std::to_string(lines.size() - 1) + " lines)", mark);
    }
    rows.emplace_back(std::move(segs));
  }
  if (queued_.size() > kShown) {
    rows.emplace_back(std::vector<tui::Segment>{
        tui::Segment("   … " + std::to_string(queued_.size() - kShown) + " more queued", mark)});
  }
  try {
    screen().query_one<TextRows>("#queue").set(std::move(rows));
  } catch (const tui::NoMatches&) {
  }
}

bool KestravelTUI::slash_command(const std::string& text) {
  using Command = void (*)(KestravelTUI&);
  static constexpr std::pair<std::string_view, Command> kCommands[] = {
      {"/help", [](KestravelTUI& a) { a.log_->append_info(std::string(kHelp)); }},
      {"/clear",
       [](KestravelTUI& a) {
         if (a.turn_running_) {
           a.log_->append_info("A turn is running: stop it first (Esc), then /clear.");
           return;
         }
         a.log_->clear();
         a.runner_->reset_conversation();
         if (a.info_.session) a.info_.session->cleared();
         a.new_output_ = false;
         a.update_status();
       }},
      {"/mode",
       [](KestravelTUI& a) {
         // (Typed during a turn, /mode waits in the queue: see submit.)
         if (a.info_.mode_screen.empty() || !a.has_screen(a.info_.mode_screen)) {
           a.log_->append_info("The mode screen is not available.");
         } else {
           a.switch_screen(a.info_.mode_screen);
         }
       }},
      {"/resume", [](KestravelTUI& a) { a.show_resume_list(); }},
      {"/undo", [](KestravelTUI& a) { a.undo_command(); }},
      {"/diff", [](KestravelTUI& a) { a.diff_command(); }},
      {"/quit", [](KestravelTUI& a) { a.exit(0); }},
      {"/exit", [](KestravelTUI& a) { a.exit(0); }},
  };
  const std::string cmd(command_name(text));
  for (const auto& [name, run] : kCommands) {
    if (name == cmd) {
      run(*this);
      return true;
    }
  }
  log_->append_info("Unknown command " + cmd + " (/help lists the commands).");
  return true;
}

void KestravelTUI::start_turn(const std::string& prompt) {
  runner_->set_mode(orvo_config.runtime.laptop_26b_runtime_mode);
  if (info_.session) info_.session->prompts().add(prompt);
  if (!worker_->start_turn(prompt)) {
    log_->append_error("The agent is not available.");
    return;
  }
  turn_running_ = true;
  interrupted_ = false;
  streaming_ = false;
  stream_text_.clear();
  turn_tools_.clear();
  stage_.clear();
  turn_start_ = std::chrono::steady_clock::now();
  set_ticking(true);
  update_status();
  update_legend();
}

}  // namespace orvo::host
