// The full-screen chat: a conversation view, a status row, an input box and a key legend, driven
// by an agent that runs on a worker thread.
//
// Start-up wires the pieces as the agent side expects: the output controller's events go through
// the bridge to this application (AgentEvent messages), its approval callback is the bridge's
// blocking request. Every event then becomes calls of the conversation view on the UI thread:
//
//   thinking_start (reset)   a new turn: clock, tool list and stage reset
//   thinking_chunk           the status row shows the latest line of reasoning (ReasoningLine)
//   thinking_done            append_thinking(text), folded
//   stage                    the status row shows the stage
//   stream_start / content   stream_token(chunk); the text is kept for finish_stream
//   tool_start               (an answer in progress is finished first) append_tool(name, args)
//   tool_result              finish_tool(name, args, summary, ok/failed): the running row turns
//                            into the result row; append_tool_result(result, error)
//   error                    (answer finished) append_error(message)
//   done                     (answer finished; after a stop interrupt_tools() and "Stopped.")
//                            append_turn_summary(...), reset_steps()
//   resize, Ctrl+L           _rerender() at the new width (a burst of sizes once, at the last)
//   ApprovalRequest          append_approval(tool, command, reason); "1" allows, "2" denies,
//                            pressed while the input box is empty (else they are typed)
//
// The log follows what is written only while the reader is at its end; scrolled up they keep
// their place, the status row says "↓ new output", and End takes them back. The log never takes
// the keyboard (every key goes to the input box, whose filter hands the host its keys). Prompts
// typed during a turn, and /mode, wait in the queue shown above the status row and enter the log
// when their turn comes.
//
// While the UI runs, the output controller's own terminal drawing goes to the discarded standard
// output; the status row mirrors its status block instead. The full-screen program keeps standard
// output discarded until shutdown() has stopped the worker (see fullscreen.cpp).
//
// The agent side (the worker thread and the output controller's callbacks) reaches the
// application only through its PostHandle, so a worker left behind at exit finds the queue closed
// instead of a destroyed application.
//
// The members are defined by concern: chat_app.cpp (wiring and shutdown), chat_screen.cpp (layout
// and key legend), chat_status.cpp (status row, the reader's place), chat_commands.cpp (prompts,
// the queue and slash commands), chat_events.cpp (agent events and approvals), chat_keys.cpp (the
// key map). The log itself is a ChatLog (chat_log.hpp).
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/turn_runner.hpp"
#include "common/cancel.hpp"
#include "host/chat/agent_worker.hpp"
#include "host/chat/chat_commands.hpp"
#include "host/chat/input_box.hpp"
#include "host/chat/reasoning_line.hpp"
#include "host/chat/session_host.hpp"
#include "output/output_manager.hpp"
#include "tui/bridge/bridge.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/screens/quorvel/quorvel_screen.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::host {

// What the status row shows while nothing runs.
struct ChatInfo {
  std::string mode_screen;  // name of the installed mode screen, for /mode ("" when none)
  // Sessions, prompt history and checkpoints (none: nothing is saved; tests).
  std::shared_ptr<SessionHost> session{};
  ResumeRequest resume = ResumeRequest::none;
  // Short mark for the status row when project instructions were loaded ("" when none).
  std::string instructions_mark{};
};

class ChatScreen : public tui::Screen {
 public:
  static constexpr std::string_view DEFAULT_CSS =
      "ChatScreen { layout: vertical; }\n"
      "#queue { height: auto; padding: 0 1; }\n"
      "#status { height: 1; color: $status; padding: 0 1; }\n"
      "#menu { height: auto; padding: 0 1; }\n"
      "#input { height: auto; padding: 0 1; }\n"
      "#legend { height: 1; color: $hint; padding: 0 1; }\n";
  ChatScreen();
  void compose(tui::ComposeResult& r) override;
  void on_mount() override;
  void on_resize() override;
  void on_show() override;

  std::function<void()> mounted;
  std::function<void()> resized;
  std::function<void()> shown;
};

// `legend` (items joined by " · ") fitted to `width` cells: items are dropped from the right,
// those that say how to quit, stop or answer last.
std::string fit_legend(const std::string& legend, int width);

// The application; `orvo_config` (from ConfiguredApp) is what the mode screen assigns and saves,
// and the runtime section names the mode and endpoint every turn uses.
class TypeAhead;

// `text` cut to `cells` terminal cells, whole clusters only, "…" marking a cut ("" for cells <= 0).
std::string fit_cells(const std::string& text, int cells);

class KestravelTUI : public tui::ConfiguredApp {
 public:
  KestravelTUI(config::Config config, std::shared_ptr<agent::TurnRunner> runner,
               ChatInfo info = {});
  ~KestravelTUI() override;

  // Installs the chat screen under "chat" (call before run; the mode screen is the caller's).
  void install_chat();
  // Stops the worker (the bridge is closed first so a waiting approval is released). Idempotent;
  // also run by the destructor.
  // False when the worker could not be stopped in time and was left behind (it may still write).
  bool shutdown();

  OutputManager& output() { return *output_; }
  tui::TUIBridge& bridge();
  AgentWorker& worker() { return *worker_; }

  // The view, the input box and the two rows; valid once the chat screen is mounted.
  tui::Scrivlet* log() const { return log_; }
  InputBox* input() const { return input_; }
  std::string status_text() const { return status_text_; }
  std::string legend_text() const;
  bool approval_pending() const { return approval_pending_; }
  bool turn_running() const { return turn_running_; }
  const std::deque<std::string>& queued() const { return queued_; }
  // True while the reader is scrolled up and the log has grown below them ("↓ new output").
  bool new_output() const { return new_output_; }

  // What Enter does with a prompt (public for tests): a slash command, a new turn, or a queued one.
  void submit(const std::string& text);

  // The menu of commands above the box, open while the box holds the start of a command name;
  // the rows it shows and the chosen one.
  bool menu_open() const { return !menu_items().empty(); }
  std::vector<const ChatCommand*> menu_items() const;
  std::size_t menu_selected() const { return menu_selected_; }
  // The note shown at the end of the status row for a moment ("copied 12 characters"), "" when
  // none.
  const std::string& status_note() const { return note_; }

  // Every key and command, as /help writes them.
  static std::string help_text();

 protected:
  bool on_unhandled_key(const tui::KeyEvent& e) override;
  void on_theme_changed() override;

 private:
  struct TurnEnded;
  struct AgentSide;
  struct ModelsListed;
  // Where the reader was before the log is written to: a reader at the end follows what is
  // written, one scrolled up stays where they are.
  struct ReaderPlace {
    bool following = true;
    int y = 0;
    std::size_t rows = 0;
  };
  using EventHandler = void (KestravelTUI::*)(const PayloadMap&);

  void chat_mounted();
  void chat_shown();
  ReaderPlace reader_place() const;
  void keep_reader_place(const ReaderPlace& place);
  // The reader moved: back at the end, the "new output" mark goes and following resumes.
  void reader_scrolled();
  void jump_to_end();
  // Runs what waits in the queue once no turn runs and the chat is the current screen.
  void run_queue();
  // After a stop: the queued prompts move back into the box instead of running.
  void return_queued_prompts();
  void run_entry(const SlashLine& line);
  // The commands (rows of chat_commands(), which is a friend to name them).
  friend std::span<const ChatCommand> chat_commands();
  void cmd_help(std::string_view args);
  void cmd_clear(std::string_view args);
  void cmd_mode(std::string_view args);
  void cmd_model(std::string_view args);
  void cmd_resume(std::string_view args);
  void cmd_undo(std::string_view args);
  void cmd_diff(std::string_view args);
  void cmd_quit(std::string_view args);
  // The / menu: drawn again after every change of the box; its keys (Up/Down, Tab, Enter, Esc).
  void update_menu();
  bool menu_key(const tui::KeyEvent& e);
  void show_note(std::string text, std::chrono::milliseconds how_long);
  void clear_note();
  void update_queue();
  void on_agent_event(tui::AgentEvent& e);
  // One handler per event of the output controller (the table is in chat_events.cpp).
  void on_thinking_start(const PayloadMap& p);
  void on_thinking_chunk(const PayloadMap& p);
  void on_thinking_done(const PayloadMap& p);
  void on_stage(const PayloadMap& p);
  void on_stream_start(const PayloadMap& p);
  void on_content(const PayloadMap& p);
  void on_tool_start(const PayloadMap& p);
  void on_tool_result(const PayloadMap& p);
  void on_error(const PayloadMap& p);
  void on_notice(const PayloadMap& p);
  void on_done(const PayloadMap& p);
  void on_approval(tui::ApprovalRequest& r);
  void on_turn_ended();
  void start_turn(const std::string& prompt);
  void finish_answer();
  // Once per stopped turn: its running tools marked interrupted, then "Stopped.".
  void note_stopped();
  // Lays the conversation out again at the log's width (resize, Ctrl+L).
  void reflow_log();
  void answer_approval(bool allow);
  void interrupt();
  bool handle_key(const tui::KeyEvent& e);
  // /model [NAME]: lists the runtime's models, or switches to NAME for this run (chat_models.cpp).
  void model_command(const std::string& text);
  void models_listed(ModelsListed& m);
  // The model the status row names: the configured one, the demo runtime's own, or "".
  std::string model_label() const;
  // Sessions (chat_session.cpp): start-up (resume, prompt history), the end of a turn (record,
  // files changed), /resume, /undo, /diff, and the numbered choice they wait for.
  void session_start();
  void session_turn_ended();
  void show_resume_list();
  void resume_from(const std::filesystem::path& file);
  void undo_command();
  void diff_command();
  bool answer_choice(const std::string& answer);
  void copy_selection();
  // How a copy went (the log's on_copied): a note in the status row either way.
  void copied(std::size_t characters, const std::optional<std::string>& failure);
  void update_status();
  int status_width();  // cells of the status row (80 before it is laid out)
  void update_legend();
  void set_ticking(bool on);

  ChatInfo info_;
  std::shared_ptr<agent::TurnRunner> runner_;
  std::shared_ptr<OutputManager> output_;
  // The bridge and the handle it posts through, shared with the callbacks the worker runs.
  std::shared_ptr<AgentSide> agent_side_;
  std::shared_ptr<TypeAhead> typeahead_;
  std::unique_ptr<AgentWorker> worker_;

  tui::Scrivlet* log_ = nullptr;
  InputBox* input_ = nullptr;

  // The running turn, as the events tell it.
  bool turn_running_ = false;
  bool streaming_ = false;
  // Commands entered while an answer streamed, run when it pauses.
  std::vector<SlashLine> after_answer_;
  std::string stream_text_;
  std::vector<std::string> turn_tools_;
  std::chrono::steady_clock::time_point turn_start_{};
  std::string stage_;
  ReasoningLine reasoning_;  // the latest line of the reasoning streaming now
  bool interrupted_ = false;
  bool stop_noted_ = false;
  bool approval_pending_ = false;
  // Prompts (and /mode) typed during a turn; shown above the status row until their turn.
  std::deque<std::string> queued_;
  bool new_output_ = false;
  std::optional<tui::TimerId> ticker_;
  std::optional<tui::TimerId> reflow_timer_;  // the re-flow after the last size of a burst
  int tick_ = 0;
  std::string status_text_;
  std::string last_legend_;
  bool shut_down_ = false;
  bool worker_stopped_ = true;
  // The model list /model asked for (stopped by shutdown).
  CancellableTask models_task_;
  std::size_t menu_selected_ = 0;
  bool menu_dismissed_ = false;  // Esc closed it; it opens again once the box leaves the "/"
  std::string note_;
  std::optional<tui::TimerId> note_timer_;
  // A first Ctrl+C on an empty box arms quitting until then.
  std::chrono::steady_clock::time_point quit_armed_until_{};
  // A numbered question waiting for its answer (/resume, /undo); typed with Enter, or 1 / 2 on
  // an empty box.
  std::function<void(const std::string&)> pending_choice_;
};

}  // namespace orvo::host
