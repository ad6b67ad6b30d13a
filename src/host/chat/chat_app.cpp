#include "host/chat/chat_app.hpp"

#include <cmath>
#include <condition_variable>

#include "common/utf8.hpp"
#include "host/chat/text_row.hpp"

namespace orvo::host {

using namespace std::chrono_literals;
using tui::Segment;
using tui::Style;

namespace {

std::string elapsed_text(double elapsed) {
  if (elapsed < 0) elapsed = 0;
  if (elapsed < 60) return std::to_string(static_cast<long long>(std::nearbyint(elapsed))) + "s";
  long long t = static_cast<long long>(elapsed);
  std::string s = std::to_string(t % 60);
  if (s.size() < 2) s = "0" + s;
  return std::to_string(t / 60) + "m" + s + "s";
}

std::string mode_label(const std::string& mode) {
  if (mode == "turbo") return "Fast";
  if (mode == "turbo-think") return "Reasoning";
  return mode.empty() ? "no mode" : mode;
}

// A short summary for the finished-tool row: what came back, in a few words.
std::string tool_summary(const std::string& result, bool error) {
  if (error) return "failed";
  auto lines = text::split_lines(text::strip(result));
  if (lines.empty()) return "no output";
  if (lines.size() == 1) return "1 line";
  return std::to_string(lines.size()) + " lines";
}

}  // namespace

// Type-ahead for the output controller's status block, read on its indicator thread.
class KestravelTUI::TypeAhead : public InputField {
 public:
  void collect_typeahead() override {}
  std::string get_typeahead_text() override {
    std::lock_guard lock(m_);
    return text_;
  }
  std::size_t queue_length() override { return queued_.load(); }
  void set_text(std::string t) {
    std::lock_guard lock(m_);
    text_ = std::move(t);
  }
  void set_queued(std::size_t n) { queued_.store(n); }

 private:
  std::mutex m_;
  std::string text_;
  std::atomic<std::size_t> queued_{0};
};

// Posted by the worker thread when a turn has ended.
struct KestravelTUI::TurnEnded : tui::Message {};

// The agent side reaches the application only through here, so that a worker left behind at
// exit finds it closed instead of a destroyed application.
struct KestravelTUI::Mailbox {
  std::mutex m;
  std::condition_variable cv;
  KestravelTUI* app = nullptr;
  int waiting = 0;  // workers inside request_approval
};

ChatScreen::ChatScreen() : Screen("chat") {
  declare_css_type("ChatScreen", DEFAULT_CSS);
}

void ChatScreen::compose(tui::ComposeResult& r) {
  r.yield<tui::Scrivlet>(tui::scrivlet::ScrivletOptions{.id = "log"});
  r.yield<TextRow>("status");
  r.yield<InputBox>("input");
  r.yield<TextRow>("legend");
}

void ChatScreen::on_mount() {
  if (mounted) mounted();
}

void ChatScreen::on_resize() {
  if (resized) resized();
}

KestravelTUI::KestravelTUI(config::Config config, std::shared_ptr<agent::TurnRunner> runner,
                           ChatInfo info)
    : ConfiguredApp(std::move(config)),
      info_(std::move(info)),
      runner_(std::move(runner)),
      output_(std::make_shared<OutputManager>()),
      bridge_(*this),
      typeahead_(std::make_shared<TypeAhead>()),
      mailbox_(std::make_shared<Mailbox>()) {
  mailbox_->app = this;
  auto mb = mailbox_;
  output_->set_event_callback([mb](const std::string& type, Payload payload) {
    std::lock_guard lock(mb->m);
    if (mb->app) mb->app->bridge_.on_event(type, std::move(payload));
  });
  output_->set_approval_callback(ReasonedApprovalCallback(
      [mb](const std::string& tool, const std::string& command, const std::string& reason) {
        KestravelTUI* app;
        {
          std::lock_guard lock(mb->m);
          app = mb->app;
          if (!app) return false;
          ++mb->waiting;
        }
        bool answer = false;
        try {
          answer = app->bridge_.request_approval(tool, command, reason);
        } catch (...) {
          answer = false;
        }
        std::lock_guard lock(mb->m);
        --mb->waiting;
        mb->cv.notify_all();
        return answer;
      }));
  output_->set_input_field(typeahead_);
  worker_ = std::make_unique<AgentWorker>(runner_, output_, [mb] {
    std::lock_guard lock(mb->m);
    if (mb->app) mb->app->post_message(std::make_shared<TurnEnded>());
  });

  on<tui::AgentEvent>([this](tui::AgentEvent& e) { on_agent_event(e); });
  on<tui::ApprovalRequest>([this](tui::ApprovalRequest& r) { on_approval(r); });
  on<TurnEnded>([this](TurnEnded&) { on_turn_ended(); });
}

KestravelTUI::~KestravelTUI() {
  shutdown();
}

void KestravelTUI::shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  // Release a worker waiting for an answer first, then stop it (bounded).
  bridge_.close();
  worker_->stop();
  // A worker left behind still holds the runner, so its leftovers are ended here, not by its
  // destructor.
  runner_->kill_leftovers();
  std::unique_lock lock(mailbox_->m);
  mailbox_->cv.wait_for(lock, 1s, [&] { return mailbox_->waiting == 0; });
  mailbox_->app = nullptr;
}

void KestravelTUI::install_chat() {
  auto screen = std::make_unique<ChatScreen>();
  ChatScreen* s = screen.get();
  s->mounted = [this] { chat_mounted(); };
  s->resized = [this] {
    if (input_) input_->set_max_rows(std::max(1, size().height / 3));
  };
  install_screen("chat", std::move(screen));
}

void KestravelTUI::chat_mounted() {
  tui::Screen& s = screen();
  log_ = &s.query_one<tui::Scrivlet>("#log");
  input_ = &s.query_one<InputBox>("#input");
  input_->set_placeholder("Ask anything · /help for commands");
  input_->on_submit = [this](const std::string& text) { submit(text); };
  input_->on_change = [this] {
    typeahead_->set_text(input_->text());
    update_legend();
  };
  input_->key_filter = [this](const tui::KeyEvent& e) { return handle_key(e); };
  input_->set_max_rows(std::max(1, size().height / 3));
  input_->focus();
  update_status();
  update_legend();
}

std::string KestravelTUI::legend_text() const {
  if (approval_pending_) {
    // Keys meant for the box never answer: 1 and 2 are text while it holds any.
    if (input_ && !input_->text().empty())
      return "1/2 answer once the box is empty · esc deny and stop";
    return "1 allow · 2 deny · esc deny and stop";
  }
  if (turn_running_) {
    return "enter queue · esc/ctrl+c stop · pgup/pgdn scroll · drag to copy";
  }
  if (input_ && !input_->text().empty()) {
    return "enter send · ctrl+j new line · ctrl+c clear · ↑↓ history · pgup/pgdn scroll";
  }
  return "enter send · ↑ history · pgup/pgdn scroll · drag to copy · /help · ctrl+d quit";
}

void KestravelTUI::update_legend() {
  std::string text = legend_text();
  if (text == last_legend_) return;
  last_legend_ = text;
  if (!has_current_screen()) return;
  try {
    screen().query_one<TextRow>("#legend").set({Segment(text, Style::parse("dim"))});
  } catch (const tui::NoMatches&) {
  }
}

void KestravelTUI::update_status() {
  std::vector<Segment> segs;
  if (turn_running_) {
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - turn_start_).count();
    std::string_view icon = OutputManager::ICONS[static_cast<std::size_t>(tick_ + 1) % 3];
    std::string label = stage_;
    if (label.empty()) {
      label = OutputManager::LABELS[static_cast<std::size_t>(static_cast<long long>(elapsed) / 6) %
                                    OutputManager::LABELS.size()];
    }
    if (interrupted_) label = "stopping";
    if (approval_pending_) label = "waiting for your answer";
    std::string line =
        " " + std::string(icon) + " " + label + "... (" + elapsed_text(elapsed) + ")";
    segs.emplace_back(text::terminal_safe(line), Style::parse("#32cd32"));
    segs.emplace_back(" · ctrl+c to stop", Style::parse("dim"));
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
  std::string cmd = text.substr(0, text.find_first_of(" \t\n"));
  if (cmd == "/help") {
    log_->append_info(
        "Commands: /help, /clear (empty the conversation), /mode (pick Fast or Reasoning), "
        "/quit. Keys: Enter sends (queues while a turn runs), Ctrl+J or Alt+Enter starts a new "
        "line, Up/Down recall earlier prompts, PageUp/PageDown scroll, 1 or 2 answers an approval "
        "while the box is empty, Esc or Ctrl+C stops a turn, drag the mouse to copy, Ctrl+Y copies "
        "the selection again, Ctrl+D quits.");
  } else if (cmd == "/clear") {
    if (turn_running_) {
      log_->append_info("A turn is running: stop it first (Esc), then /clear.");
    } else {
      log_->clear();
      runner_->reset_conversation();
    }
  } else if (cmd == "/mode") {
    if (turn_running_) {
      log_->append_info("A turn is running: stop it first (Esc), then /mode.");
    } else if (info_.mode_screen.empty() || !has_screen(info_.mode_screen)) {
      log_->append_info("The mode screen is not available.");
    } else {
      switch_screen(info_.mode_screen);
    }
  } else if (cmd == "/quit" || cmd == "/exit") {
    exit(0);
  } else {
    log_->append_info("Unknown command " + cmd + " (/help lists the commands).");
  }
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

void KestravelTUI::finish_answer() {
  if (!streaming_) return;
  streaming_ = false;
  log_->finish_stream(stream_text_);
  stream_text_.clear();
}

void KestravelTUI::on_agent_event(tui::AgentEvent& e) {
  if (!log_) return;
  const std::string& type = e.event_type;
  const PayloadMap& p = *e.payload;
  if (type == "thinking_start") {
    if (p.text("reset") == "true") {
      turn_tools_.clear();
      turn_start_ = std::chrono::steady_clock::now();
    }
    stage_.clear();
  } else if (type == "thinking_done") {
    std::string t = p.text("text");
    if (text::has_visible(t)) log_->append_thinking(t, false);
  } else if (type == "stage") {
    stage_ = p.text("stage");
    update_status();
  } else if (type == "stream_start") {
    if (!streaming_) {
      streaming_ = true;
      stream_text_.clear();
    }
  } else if (type == "content") {
    if (!streaming_) {
      streaming_ = true;
      stream_text_.clear();
    }
    std::string chunk = p.text("chunk");
    stream_text_ += chunk;
    log_->stream_token(chunk);
  } else if (type == "tool_start") {
    finish_answer();
    std::string name = p.text("name");
    turn_tools_.push_back(name);
    log_->append_tool(name, p.text("args"));
  } else if (type == "tool_result") {
    finish_answer();
    bool error = p.text("error") == "true";
    std::string result = p.text("result");
    std::string name = p.text("name");
    if (!name.empty()) log_->append_tool_done(name, p.text("args"), tool_summary(result, error));
    log_->append_tool_result(result, error);
  } else if (type == "error") {
    finish_answer();
    log_->append_error(p.text("message"));
  } else if (type == "done") {
    finish_answer();
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - turn_start_).count();
    std::int64_t tokens = output_->snapshot().tokens;
    log_->append_turn_summary(elapsed, turn_tools_, 0, static_cast<long long>(tokens), 0.0);
    log_->reset_steps();
  }
}

void KestravelTUI::on_approval(tui::ApprovalRequest& r) {
  if (!log_ || shut_down_) {
    bridge_.set_approval(false);
    return;
  }
  finish_answer();
  approval_pending_ = true;
  log_->append_approval(r.tool_name, r.command, r.reason);
  update_status();
  update_legend();
}

void KestravelTUI::answer_approval(bool allow) {
  if (!approval_pending_) return;
  approval_pending_ = false;
  bridge_.set_approval(allow);
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
  turn_running_ = false;
  if (log_) finish_answer();
  if (approval_pending_) {
    approval_pending_ = false;  // the worker has moved on; the prompt no longer takes keys
  }
  if (interrupted_ && log_) log_->append_info("Stopped.");
  interrupted_ = false;
  set_ticking(false);
  if (!queued_.empty() && log_ && !shut_down_) {
    std::string next = queued_.front();
    queued_.pop_front();
    typeahead_->set_queued(queued_.size());
    log_->append_user(next);
    start_turn(next);
    return;
  }
  update_status();
  update_legend();
}

void KestravelTUI::copy_selection() {
  if (!log_) return;
  std::string sel = log_->get_selection();
  if (!text::has_visible(sel)) {
    log_->append_info("Nothing selected: drag over the conversation to select text.");
    return;
  }
  log_->_set_clipboard_osc52(sel);
}

bool KestravelTUI::handle_key(const tui::KeyEvent& e) {
  const std::string& k = e.key;
  // Only into an empty box: typed-ahead text that happens to hold a 1 must not approve.
  if (approval_pending_ && (k == "1" || k == "2") && input_ && input_->text().empty()) {
    answer_approval(k == "1");
    return true;
  }
  if (k == "ctrl+c") {
    if (turn_running_) {
      interrupt();
    } else if (input_ && !input_->text().empty()) {
      input_->clear();
    } else {
      exit(0);
    }
    return true;
  }
  if (k == "escape") {
    if (turn_running_) interrupt();
    return true;
  }
  if (k == "ctrl+d" && input_ && input_->text().empty()) {
    exit(0);
    return true;
  }
  if (k == "pageup" || k == "pagedown") {
    if (log_) k == "pageup" ? log_->scroll_page_up() : log_->scroll_page_down();
    return true;
  }
  if (k == "ctrl+y") {
    copy_selection();
    return true;
  }
  return false;
}

bool KestravelTUI::on_unhandled_key(const tui::KeyEvent& e) {
  if (!has_current_screen() || screen().id() != "chat") return false;
  return handle_key(e);
}

}  // namespace orvo::host
