// Sessions in the chat: a resumed session's history and conversation, each turn recorded as it
// ends, and the commands that look back: /resume, /undo, /diff.
#include "common/utf8.hpp"
#include "host/chat/chat_app.hpp"

namespace orvo::host {

namespace {

std::vector<session::Entry> entries_from(const std::vector<tui::scrivlet::HistoryEntry>& history,
                                         std::size_t from) {
  std::vector<session::Entry> out;
  for (std::size_t i = from; i < history.size(); ++i) {
    if (history[i].kind() == "raw") continue;  // drawn objects have no values to keep
    out.push_back({history[i].kind(), history[i].values()});
  }
  return out;
}

}  // namespace

void KestravelTUI::session_start() {
  SessionHost* s = info_.session.get();
  if (s == nullptr) return;
  for (const auto& p : s->prompts().load()) input_->history().add(p);
  for (const auto& n : s->take_notes()) log_->append_info(n);
  switch (info_.resume) {
    case ResumeRequest::none:
      break;
    case ResumeRequest::latest:
      if (const auto file = s->latest()) {
        resume_from(*file);
      } else {
        log_->append_info("No earlier session of this project to continue.");
      }
      break;
    case ResumeRequest::pick:
      show_resume_list();
      break;
  }
  info_.resume = ResumeRequest::none;
}

void KestravelTUI::session_turn_ended() {
  SessionHost* s = info_.session.get();
  if (s == nullptr || !log_) return;
  if (const auto files = s->files()) {
    if (const std::string note = files->take_note(); !note.empty()) log_->append_info(note);
    if (const std::size_t n = files->last_changed(); n > 0)
      log_->append_info(std::to_string(n) + (n == 1 ? " file" : " files") +
                        " changed · /diff shows the changes, /undo puts them back");
  }
  if (s->entries_recorded > log_->_history.size()) s->entries_recorded = 0;
  s->record(entries_from(log_->_history, s->entries_recorded),
            runner_->messages_since(s->message_serial));
  s->entries_recorded = log_->_history.size();
  for (const auto& n : s->take_notes()) log_->append_info(n);
}

bool KestravelTUI::answer_choice(const std::string& answer) {
  auto choice = std::exchange(pending_choice_, nullptr);
  // Only a number answers; anything else is a prompt or command of its own, and the question
  // is dropped (declined).
  const bool number = !answer.empty() && answer.size() <= 4 &&
                      answer.find_first_not_of("0123456789") == std::string::npos;
  choice(number ? answer : std::string());
  update_legend();
  return number;
}

void KestravelTUI::show_resume_list() {
  SessionHost* s = info_.session.get();
  if (s == nullptr) {
    log_->append_info("Sessions are not saved in this run.");
    return;
  }
  if (turn_running_) {
    log_->append_info("A turn is running: stop it first (Esc), then /resume.");
    return;
  }
  const auto list = s->list();
  if (list.empty()) {
    log_->append_info("No earlier session of this project.");
    return;
  }
  std::string text = "Sessions of this project (newest first):";
  const int width = log_->size().width > 10 ? log_->size().width - 4 : 76;
  for (std::size_t i = 0; i < list.size(); ++i)
    text += "\n" +
            text::terminal_safe(session::describe(list[i], i + 1, static_cast<std::size_t>(width)));
  text += "\nType its number and Enter to resume one.";
  log_->append_info(text);
  pending_choice_ = [this, list](const std::string& answer) {
    std::size_t n = 0;
    for (const char c : answer) {
      if (c < '0' || c > '9' || n > list.size()) {
        n = 0;
        break;
      }
      n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    if (n == 0 || n > list.size()) {
      log_->append_info("No session resumed.");
      return;
    }
    resume_from(list[n - 1].path);
  };
}

void KestravelTUI::resume_from(const std::filesystem::path& file) {
  SessionHost* s = info_.session.get();
  if (s == nullptr) return;
  const session::SessionData data = session::read_session(file);
  log_->clear();
  for (const auto& e : data.entries) log_->_history.emplace_back(e.kind, e.values);
  log_->_rerender();
  runner_->reset_conversation();
  runner_->restore_conversation(data.messages);
  std::uint64_t serial = 0;
  runner_->messages_since(serial);  // the restored messages are in the new file already
  s->message_serial = serial;
  s->begin_resumed(data);
  s->entries_recorded = log_->_history.size();
  if (!data.note.empty()) log_->append_info(text::terminal_safe(data.note));
  log_->append_info("Resumed the session of " + file.stem().string() + " (" +
                    std::to_string(data.turns) + (data.turns == 1 ? " turn)." : " turns)."));
  for (const auto& n : s->take_notes()) log_->append_info(n);
  new_output_ = false;
  jump_to_end();
}

void KestravelTUI::undo_command() {
  SessionHost* s = info_.session.get();
  const auto files = s != nullptr ? s->files() : nullptr;
  if (!files) {
    log_->append_info("No checkpoints in this run, so nothing to undo.");
    return;
  }
  if (turn_running_) {
    log_->append_info("A turn is running: stop it first (Esc), then /undo.");
    return;
  }
  std::string why;
  const auto plan = files->plan_undo(why);
  if (!plan) {
    log_->append_info(why);
    return;
  }
  std::string text;
  for (const auto& line : describe_undo(*plan)) text += (text.empty() ? "" : "\n") + line;
  log_->append_info(text::terminal_safe(text));
  pending_choice_ = [this, files, plan = *plan](const std::string& answer) {
    if (answer != "1") {
      log_->append_info("Nothing undone.");
      return;
    }
    const auto failed = files->undo(plan);
    const std::size_t restored = plan.files.size() - plan.conflicts.size() - failed.size();
    std::string text = "Put back " + std::to_string(restored) +
                       (restored == 1 ? " file" : " files") +
                       ". /undo again goes one turn further back.";
    for (const auto& c : plan.conflicts)
      text += "\nKept " + c + ": changed since the turn, not overwritten.";
    for (const auto& f : failed) text += "\nNot restored: " + f;
    log_->append_info(text::terminal_safe(text));
  };
  update_legend();
}

void KestravelTUI::diff_command() {
  SessionHost* s = info_.session.get();
  const auto files = s != nullptr ? s->files() : nullptr;
  const std::string diff = files ? files->last_diff() : std::string();
  if (diff.empty()) {
    log_->append_info("No turn of this run has changed files.");
    return;
  }
  log_->append_tool_result(diff, false);
}

}  // namespace orvo::host
