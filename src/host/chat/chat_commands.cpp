// What Enter does with a prompt: a slash command (the table of them is here), a new turn, or a
// turn queued behind the running one.
#include "host/chat/chat_commands.hpp"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "common/utf8.hpp"
#include "host/chat/chat_app.hpp"
#include "host/chat/text_row.hpp"
#include "host/chat/type_ahead.hpp"
#include "tui/framework/text/themed.hpp"

namespace orvo::host {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

// The keys /help lists (the README's table says the same at more length).
constexpr std::pair<std::string_view, std::string_view> kHelpKeys[] = {
    {"Enter", "send the prompt (queued while a turn runs)"},
    {"Ctrl+J, Alt+Enter", "new line in the prompt"},
    {"Up / Down", "earlier prompts; in the / menu, choose a command"},
    {"Tab", "complete the command chosen in the / menu"},
    {"PageUp / PageDown, wheel", "scroll the conversation"},
    {"End, Ctrl+End", "back to the newest output"},
    {"1 / 2", "allow / deny an approval (empty box)"},
    {"Esc", "stop the running turn; close the / menu"},
    {"Ctrl+C", "stop the turn; clear the box; twice on an empty box: quit"},
    {"Ctrl+D", "quit (empty box)"},
    {"mouse drag, Ctrl+Y", "copy the selection (again)"},
    {"Ctrl+O", "open or fold all tool output (a click on a fold row opens one)"},
    {"Ctrl+L", "redraw the screen"},
    {"//text", "send a prompt that starts with /"},
};

// A prompt longer than this many lines shows its first kLogLines lines and a count in the log
// (the whole of it is sent).
constexpr std::size_t kLogMaxLines = 12;
constexpr std::size_t kLogLines = 6;

std::string log_form(const std::string& prompt) {
  const std::size_t n = text::count_lines(prompt);
  if (n <= kLogMaxLines) return prompt;
  std::string out;
  for (auto line : text::line_views(prompt, kLogLines)) out.append(line).append("\n");
  std::string count = std::to_string(n);
  for (int i = static_cast<int>(count.size()) - 3; i > 0; i -= 3) count.insert(i, ",");
  out += "… +" + std::to_string(n - kLogLines) + " more lines (" + count + " in all)";
  return out;
}

}  // namespace

// The table. Keep names unique; the menu lists them in this order.
std::span<const ChatCommand> chat_commands() {
  static constexpr ChatCommand kCommands[] = {
      {"/help", "", "list keys and commands", &KestravelTUI::cmd_help},
      {"/clear", "", "empty the conversation", &KestravelTUI::cmd_clear},
      {"/mode", "", "pick Fast or Reasoning (waits for a running turn)", &KestravelTUI::cmd_mode,
       true},
      {"/model", "[NAME]", "list the server's models, or switch to NAME for this session",
       &KestravelTUI::cmd_model},
      {"/resume", "", "reopen an earlier session of this project", &KestravelTUI::cmd_resume},
      {"/undo", "", "put back the files the last turn changed", &KestravelTUI::cmd_undo},
      {"/diff", "", "show what the last turn changed", &KestravelTUI::cmd_diff},
      {"/quit", "", "quit Kestravel", &KestravelTUI::cmd_quit},
      {"/exit", "", "quit Kestravel", &KestravelTUI::cmd_quit},
  };
  return kCommands;
}

const ChatCommand* find_command(std::string_view name) {
  for (const ChatCommand& c : chat_commands())
    if (c.name == name) return &c;
  return nullptr;
}

std::vector<const ChatCommand*> commands_matching(std::string_view prefix) {
  std::vector<const ChatCommand*> out;
  for (const ChatCommand& c : chat_commands())
    if (c.name.starts_with(prefix)) out.push_back(&c);
  return out;
}

SlashLine classify_slash(std::string_view line, std::span<const std::string_view> names) {
  if (!line.starts_with('/')) return {SlashLine::Kind::prompt, std::string(line), {}};
  if (line.starts_with("//")) return {SlashLine::Kind::prompt, std::string(line.substr(1)), {}};
  std::size_t word_end = 0;
  while (word_end < line.size() && !is_blank(line[word_end])) ++word_end;
  const std::string_view word = line.substr(0, word_end);
  const std::string_view rest = text::strip(line.substr(word_end));
  for (std::string_view name : names)
    if (name == word) return {SlashLine::Kind::command, std::string(word), std::string(rest)};
  // Not a command: a path ("/etc/hosts ...") or a sentence ("/tmp is full") is a prompt; a lone
  // word is a mistyped command, said so rather than sent to the model.
  if (word.find('/', 1) != std::string_view::npos || !rest.empty())
    return {SlashLine::Kind::prompt, std::string(line), {}};
  return {SlashLine::Kind::unknown_command, std::string(word), {}};
}

SlashLine classify_slash(std::string_view line) {
  std::vector<std::string_view> names;
  for (const ChatCommand& c : chat_commands()) names.push_back(c.name);
  return classify_slash(line, names);
}

namespace {

// What a line entered in the box is; a line not starting with "/" is sent as typed.
SlashLine classify_entry(const std::string& text) {
  const std::string_view trimmed = text::strip(text);
  if (!trimmed.starts_with('/')) return {SlashLine::Kind::prompt, text, {}};
  return classify_slash(trimmed);
}

// True for an entry that, typed during a turn, waits for it to end.
bool waits_for_turn(const SlashLine& line) {
  if (line.kind == SlashLine::Kind::prompt) return true;
  const ChatCommand* c = find_command(line.text);
  return c && c->waits_for_turn;
}

}  // namespace

void KestravelTUI::submit(const std::string& text) {
  if (!log_) return;
  const SlashLine line = classify_entry(text);
  // A prompt typed during a turn, and a command that needs the turn to be over (/mode), wait in
  // the queue above the status row; they enter the log when their turn comes, never inside the
  // answer that is streaming now.
  if (turn_running_ && waits_for_turn(line)) {
    queued_.push_back(line.kind == SlashLine::Kind::prompt ? text : std::string(text::strip(text)));
    update_queue();
    update_status();
    return;
  }
  // What the user sends is shown to them: the log goes back to its end.
  jump_to_end();
  // A numbered question (/resume, /undo) takes the line typed as its answer first.
  if (pending_choice_ && answer_choice(std::string(text::strip(text)))) return;
  run_entry(line);
}

void KestravelTUI::run_entry(const SlashLine& line) {
  // A command's rows must not land inside the answer being streamed: the answer would be split
  // around them now and drawn whole after them on the next re-flow. They wait for the answer to
  // pause (a tool call, the end of the turn); quitting never waits.
  if (streaming_ && line.kind != SlashLine::Kind::prompt) {
    const ChatCommand* c = find_command(line.text);
    if (c == nullptr || c->run != &KestravelTUI::cmd_quit) {
      after_answer_.push_back(line);
      show_note(line.text + " shows when the answer pauses", std::chrono::seconds(3));
      return;
    }
  }
  switch (line.kind) {
    case SlashLine::Kind::prompt:
      log_->append_user(log_form(line.text));
      start_turn(line.text);
      break;
    case SlashLine::Kind::command:
      if (const ChatCommand* c = find_command(line.text)) (this->*(c->run))(line.args);
      break;
    case SlashLine::Kind::unknown_command:
      log_->append_info("Unknown command " + line.text +
                        " (/help lists the commands; //text sends text starting with /).");
      break;
  }
}

void KestravelTUI::run_queue() {
  while (!turn_running_ && !queued_.empty() && log_ && !shut_down_ && has_current_screen() &&
         screen().id() == "chat") {
    const std::string next = queued_.front();
    queued_.pop_front();
    update_queue();
    // A command here is one that waited for the turn (/mode opens the mode screen; the rest of
    // the queue runs once the chat is back).
    run_entry(classify_entry(next));
  }
}

void KestravelTUI::return_queued_prompts() {
  // A stop usually means the plan changed: the prompts typed during the turn go back into the
  // box, to send again or edit, instead of starting the next turn at once. A command that waited
  // for the turn (/mode) still runs.
  if (!input_) return;
  std::string text;
  std::size_t n = 0;
  for (auto it = queued_.begin(); it != queued_.end();) {
    if (classify_entry(*it).kind != SlashLine::Kind::prompt) {
      ++it;
      continue;
    }
    if (!text.empty()) text += '\n';
    text += *it;
    it = queued_.erase(it);
    ++n;
  }
  if (n == 0) return;
  if (!input_->text().empty()) text += '\n' + input_->text();
  input_->set_text(std::move(text));
  update_queue();
  show_note(n == 1 ? std::string("the queued prompt is back in the box")
                   : std::to_string(n) + " queued prompts are back in the box, as one",
            std::chrono::seconds(4));
}

void KestravelTUI::update_queue() {
  typeahead_->set_queued(queued_.size());
  if (!has_current_screen()) return;
  // A few of them, each on a row of its own (its first line); the rest are counted.
  constexpr std::size_t kShown = 3;
  std::vector<tui::Strip> rows;
  const tui::Style& mark = tui::themed("dim yellow", theme());
  for (std::size_t i = 0; i < queued_.size() && i < kShown; ++i) {
    const std::string& q = queued_[i];
    const auto lines = text::line_views(q, 1);
    const std::size_t count = text::count_lines(q);
    std::string first = lines.empty() ? std::string() : std::string(lines.front());
    std::vector<tui::Segment> segs;
    segs.emplace_back(" ↻ ", mark);
    segs.emplace_back(text::terminal_safe(first), tui::themed("dim italic", theme()));
    if (classify_entry(q).kind == SlashLine::Kind::command) {
      segs.emplace_back("  (waits for this turn to end)", mark);
    } else if (count > 1) {
      segs.emplace_back("  (+" + std::to_string(count - 1) + " lines)", mark);
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

std::string KestravelTUI::help_text() {
  std::size_t width = 0;
  for (const ChatCommand& c : chat_commands())
    width = std::max(width, c.name.size() + (c.args.empty() ? 0 : c.args.size() + 1));
  for (const auto& [key, what] : kHelpKeys) width = std::max(width, key.size());
  auto row = [&](std::string left, std::string_view what) {
    left.resize(std::max(left.size(), width), ' ');
    return "  " + left + "  " + std::string(what) + "\n";
  };
  std::string out = "Commands:\n";
  for (const ChatCommand& c : chat_commands()) {
    std::string left(c.name);
    if (!c.args.empty()) left += " " + std::string(c.args);
    out += row(std::move(left), c.help);
  }
  out += "Keys:\n";
  for (const auto& [key, what] : kHelpKeys) out += row(std::string(key), what);
  out.pop_back();
  return out;
}

void KestravelTUI::cmd_help(std::string_view) {
  log_->append_info(help_text());
}

void KestravelTUI::cmd_clear(std::string_view) {
  if (turn_running_) {
    log_->append_info("A turn is running: stop it first (Esc), then /clear.");
    return;
  }
  log_->clear();
  runner_->reset_conversation();
  if (info_.session) info_.session->cleared();
  new_output_ = false;
  update_status();
}

void KestravelTUI::cmd_mode(std::string_view) {
  // (Typed during a turn, /mode waits in the queue: see submit.)
  if (info_.mode_screen.empty() || !has_screen(info_.mode_screen)) {
    log_->append_info("The mode screen is not available.");
  } else {
    switch_screen(info_.mode_screen);
  }
}

void KestravelTUI::cmd_model(std::string_view args) {
  model_command(args.empty() ? std::string("/model") : "/model " + std::string(args));
}

void KestravelTUI::cmd_resume(std::string_view) {
  show_resume_list();
}

void KestravelTUI::cmd_undo(std::string_view) {
  undo_command();
}

void KestravelTUI::cmd_diff(std::string_view) {
  diff_command();
}

void KestravelTUI::cmd_quit(std::string_view) {
  exit(0);
}

void KestravelTUI::start_turn(const std::string& prompt) {
  runner_->set_mode(orvo_config.runtime.laptop_26b_runtime_mode);
  runner_->set_model(orvo_config.runtime.model);
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
  reasoning_.clear();
  turn_start_ = std::chrono::steady_clock::now();
  set_ticking(true);
  update_status();
  update_legend();
}

}  // namespace orvo::host
