// What Enter does with a prompt: a slash command, a new turn, or a turn queued behind the running
// one.
#include <string_view>
#include <utility>

#include "common/utf8.hpp"
#include "host/chat/chat_app.hpp"
#include "host/chat/type_ahead.hpp"

namespace orvo::host {

namespace {

constexpr std::string_view kHelp =
    "Commands: /help, /clear (empty the conversation), /mode (pick Fast or Reasoning), "
    "/quit. Keys: Enter sends (queues while a turn runs), Ctrl+J or Alt+Enter starts a new "
    "line, Up/Down recall earlier prompts, PageUp/PageDown scroll, 1 or 2 answers an approval "
    "while the box is empty, Esc or Ctrl+C stops a turn, drag the mouse to copy, Ctrl+Y copies "
    "the selection again, Ctrl+D quits.";

}  // namespace

void KestravelTUI::submit(const std::string& text) {
  if (!log_) return;
  std::string_view trimmed = text::strip(text);
  if (!trimmed.empty() && trimmed.front() == '/' && slash_command(std::string(trimmed))) return;
  if (turn_running_) {
    queued_.push_back(text);
    typeahead_->set_queued(queued_.size());
    log_->append_queued(text);
    update_status();
    return;
  }
  log_->append_user(text);
  start_turn(text);
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
       }},
      {"/mode",
       [](KestravelTUI& a) {
         if (a.turn_running_) {
           a.log_->append_info("A turn is running: stop it first (Esc), then /mode.");
         } else if (a.info_.mode_screen.empty() || !a.has_screen(a.info_.mode_screen)) {
           a.log_->append_info("The mode screen is not available.");
         } else {
           a.switch_screen(a.info_.mode_screen);
         }
       }},
      {"/quit", [](KestravelTUI& a) { a.exit(0); }},
      {"/exit", [](KestravelTUI& a) { a.exit(0); }},
  };
  const std::string cmd = text.substr(0, text.find_first_of(" \t\n"));
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
