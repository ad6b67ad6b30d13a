#include "host/plain.hpp"

#include <algorithm>
#include <chrono>

#include "agent/openai_agent.hpp"
#include "agent/process.hpp"

#include <poll.h>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <chrono>
#include <csignal>
#include <exception>
#include <future>
#include <iostream>
#include <mutex>
#include <optional>
#include <streambuf>
#include <thread>

#include "common/utf8.hpp"
#include "host/demo_agent.hpp"
#include "output/output_manager.hpp"
#include "runtime/gateway.hpp"
#include "tui/framework/text/sgr_filter.hpp"

namespace orvo::host {

namespace {

std::atomic<bool> g_turn_running{false};
std::atomic<bool> g_interrupt{false};

// Ctrl+C during a turn stops the turn; a second one, or one between turns, ends the program.
// Every ending leaves the cursor shown and no status block behind. Only write() is used here.
extern "C" void on_signal(int sig) {
  const int saved_errno = errno;  // the interrupted code may be about to read it
  if (sig == SIGINT && g_turn_running.load() && !g_interrupt.load()) {
    g_interrupt.store(true);
    return;
  }
  static const char erase[] = "\r\x1b[J\x1b[?25h\x1b[0m";
  static const char show[] = "\x1b[?25h\x1b[0m\n";
  if (::isatty(STDOUT_FILENO)) {
    const bool block = status_block_on_screen();
    [[maybe_unused]] auto n = block ? ::write(STDOUT_FILENO, erase, sizeof erase - 1)
                                    : ::write(STDOUT_FILENO, show, sizeof show - 1);
  }
  agent::kill_exit_groups_now();  // no destructor runs on this path
  std::signal(sig, SIG_DFL);
  errno = saved_errno;
  std::raise(sig);
}

std::string trim(const std::string& s) {
  const auto a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return {};
  const auto b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

// Standard output with the colours taken out of every SGR sequence (NO_COLOR); the attributes
// stay. Writers take turns (the output controller stops its indicator before it writes), but the
// lock keeps a sequence split between two writes whole all the same.
class ColorlessBuf : public std::streambuf {
 public:
  explicit ColorlessBuf(std::streambuf* to) : to_(to) {}
  ~ColorlessBuf() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard lock(mutex_);
    const std::string out = filter_.feed(std::string_view(s, static_cast<std::size_t>(n)));
    const auto size = static_cast<std::streamsize>(out.size());
    return to_->sputn(out.data(), size) == size ? n : 0;
  }
  int sync() override {
    std::lock_guard lock(mutex_);
    return to_->pubsync();
  }

 private:
  std::streambuf* to_;
  std::mutex mutex_;
  tui::SgrColorFilter filter_;
};

// Commands longer than this get the block of their own under the reason.
constexpr std::size_t kShortCommand = 60;

}  // namespace

std::unique_ptr<agent::TurnRunner> make_turn_runner(const config::Config& config, double speed,
                                                    const std::filesystem::path& project) {
  const runtime::OrvoRuntimeGateway gw(config.runtime);
  if (gw.is_builtin()) return std::make_unique<DemoAgent>(speed);
  if (gw.is_http()) {
    agent::AgentSettings st;
    st.endpoint = config.runtime.endpoint;
    if (!config.runtime.model.empty()) st.model = config.runtime.model;
    st.api_key_env = config.runtime.api_key_env;
    st.mode = config.runtime.laptop_26b_runtime_mode;
    st.mode_fields = config.runtime.modes;
    auto ms = [](double seconds) {
      return std::chrono::milliseconds(static_cast<long long>(std::max(0.0, seconds) * 1000));
    };
    st.connect_timeout = ms(config.runtime.connect_timeout);
    st.stall_timeout = ms(config.runtime.stall_timeout);
    st.context_budget_tokens = static_cast<std::size_t>(std::max(1LL, config.agent.context_budget));
    st.max_steps = static_cast<int>(std::max(1LL, config.agent.max_steps));
    st.project_dir = project;
    st.instructions = project_instructions(config, project).text;
    st.sandbox = config.agent.sandbox != "off";
    st.sandbox_network = config.agent.sandbox_network;
    st.web_fetch_timeout = ms(std::min(config.agent.web_fetch_timeout, 86400.0));
    st.keep_background_processes = config.agent.keep_background;
    st.max_edit_bytes = static_cast<std::size_t>(std::max(1LL, config.agent.max_edit_bytes));
    for (const auto& rule : config.agent.consent) {
      st.extra_consent_rules.push_back(
          {rule.tool.empty() || rule.tool == "*" ? std::string("bash") : rule.tool, rule.pattern,
           ""});
    }
    return std::make_unique<agent::OpenAIAgent>(std::move(st));
  }
  throw config::ConfigError("unsupported endpoint \"" +
                            text::terminal_safe(config.runtime.endpoint) +
                            "\": use builtin or an http:// or https:// URL");
}

std::string approval_question(const std::string& tool, const std::string& command) {
  return "Allow " + text::terminal_safe(tool) + "? " + text::terminal_safe(command) +
         " [1 allow / 2 deny]";
}

std::string approval_details(const std::string& command, const std::string& reason) {
  std::string out;
  const std::string_view why = text::strip(reason);
  // The reason is one line: a line break in it must not forge a line of the question.
  if (!why.empty()) out += "Why: " + text::message_safe(why) + "\n";
  const std::string_view whole = text::strip(command);
  if (whole.find('\n') != std::string_view::npos || text::count_chars(whole) > kShortCommand) {
    out += "Command:\n";
    const std::string safe = text::terminal_safe(whole);
    std::size_t start = 0;
    while (true) {
      const std::size_t nl = safe.find('\n', start);
      out += "  " + safe.substr(start, nl == std::string::npos ? nl : nl - start) + "\n";
      if (nl == std::string::npos) break;
      start = nl + 1;
    }
  }
  return out;
}

ApprovalAnswer read_terminal_answer(int fd, const std::atomic<bool>* interrupt) {
  std::string line;
  char buf[256];
  while (true) {
    if (interrupt && interrupt->load()) return ApprovalAnswer::interrupted;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 50);
    if (ready < 0 && errno != EINTR) return ApprovalAnswer::end;
    if (ready <= 0) continue;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return ApprovalAnswer::end;
    }
    if (n == 0) return line.empty() ? ApprovalAnswer::end : answer_of(line);
    line.append(buf, static_cast<std::size_t>(n));
    // A long line that never ends is not kept whole: only its start decides.
    if (line.size() > 4096) line.erase(4096);
    if (line.find('\n') != std::string::npos) return answer_of(line.substr(0, line.find('\n')));
  }
}

ApprovalAnswer answer_of(const std::string& line) {
  const std::string a = trim(line);
  if (a == "1") return ApprovalAnswer::allow;
  if (a == "2") return ApprovalAnswer::deny;
  return ApprovalAnswer::other;
}

void drop_typed_ahead(int fd) {
  // What was typed while the turn ran was meant for something else; only keys pressed after the
  // question is on the screen answer it.
  ::tcflush(fd, TCIFLUSH);
  if (fd == STDIN_FILENO) __fpurge(stdin);
}

int run_plain(agent::TurnRunner& runner, std::istream& in, const PlainOptions& options) {
  OutputManager out;
  out.set_approval_callback(ReasonedApprovalCallback(
      [&](const std::string& tool, const std::string& command, const std::string& reason) {
        // The status block must not redraw over the question.
        out._stop_indicator();
        const std::string details = approval_details(command, reason);
        std::cout << "\n";
        if (!details.empty()) std::cout << "\x1b[33m" << details << "\x1b[0m";
        while (true) {
          std::cout << "\x1b[1m" << approval_question(tool, command) << "\x1b[0m " << std::flush;
          ApprovalAnswer answer;
          if (options.terminal_fd >= 0) {
            drop_typed_ahead(options.terminal_fd);
            answer = read_terminal_answer(options.terminal_fd, options.interrupt);
          } else if (options.interrupt && options.interrupt->load()) {
            answer = ApprovalAnswer::interrupted;
          } else {
            std::string line;
            if (!std::getline(in, line)) {
              answer = ApprovalAnswer::end;
            } else {
              if (!options.interactive) std::cout << trim(line) << "\n";
              answer = answer_of(line);
            }
          }
          switch (answer) {
            case ApprovalAnswer::allow:
              return true;
            case ApprovalAnswer::deny:
              return false;
            case ApprovalAnswer::end:
              std::cout << "\n";
              return false;  // nobody left to ask: no
            case ApprovalAnswer::interrupted:
              // Ctrl+C answers no and stops the turn; the cancel is made here, before the answer
              // returns, so the agent does not go on to its next step meanwhile.
              std::cout << "\nDenied: the turn stops.\n" << std::flush;
              runner.cancel();
              return false;
            case ApprovalAnswer::other:
              std::cout << "\n";
              break;
          }
        }
      }));

  std::string line;
  while (true) {
    if (options.interactive) std::cout << "\n\x1b[1m› \x1b[0m" << std::flush;
    if (!std::getline(in, line)) {
      if (options.interactive) std::cout << "\n";
      break;
    }
    const std::string prompt = trim(line);
    if (prompt.empty()) continue;
    if (!options.interactive)
      std::cout << "\n\x1b[1m› \x1b[0m" << text::terminal_safe(prompt) << "\n" << std::flush;

    if (options.interrupt) options.interrupt->store(false);
    g_turn_running = true;
    std::promise<void> finished;
    auto ended = finished.get_future();
    std::thread worker([&] {
      try {
        runner.run_turn(prompt, out);
      } catch (...) {
        // run_turn does not throw; if it does, the turn is over all the same.
      }
      finished.set_value();
    });
    bool cancelled = false;
    while (ended.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
      if (!cancelled && options.interrupt && options.interrupt->load()) {
        runner.cancel();
        cancelled = true;
      }
    }
    worker.join();
    g_turn_running = false;
    out._stop_indicator();
    if (options.after_turn) options.after_turn(prompt);
    if (!std::cout) return 1;
  }
  std::cout << std::flush;
  return std::cout ? 0 : 1;
}

std::shared_ptr<SessionHost> make_session_host(const config::Config& config,
                                               const std::filesystem::path& project) {
  std::error_code ec;
  const std::filesystem::path dir = project.empty() ? std::filesystem::current_path(ec) : project;
  const bool builtin = runtime::OrvoRuntimeGateway(config.runtime).is_builtin();
  const auto max_mb = static_cast<std::uint64_t>(std::max(1LL, config.sessions.checkpoint_max_mb));
  return std::make_shared<SessionHost>(dir, config.sessions.keep_days, builtin ? 0 : max_mb << 20);
}

Instructions project_instructions(const config::Config& config,
                                  const std::filesystem::path& project) {
  std::error_code ec;
  const std::filesystem::path dir = project.empty() ? std::filesystem::current_path(ec) : project;
  return load_instructions(
      dir, config.path.empty() ? std::filesystem::path() : config.path.parent_path());
}

namespace {

// --continue / --resume in the line mode: the list on standard error, the number from standard
// input.
void plain_resume(SessionHost& s, agent::TurnRunner& runner, ResumeRequest resume) {
  std::optional<std::filesystem::path> file;
  if (resume == ResumeRequest::latest) {
    file = s.latest();
    if (!file) std::cerr << "kestravel: no earlier session of this project to continue\n";
  } else if (resume == ResumeRequest::pick) {
    const auto list = s.list();
    if (list.empty()) std::cerr << "kestravel: no earlier session of this project\n";
    for (std::size_t i = 0; i < list.size(); ++i)
      std::cerr << text::terminal_safe(session::describe(list[i], i + 1)) << "\n";
    if (!list.empty()) {
      std::cerr << "Resume which session? (number, Enter for none) " << std::flush;
      std::string line;
      std::getline(std::cin, line);
      std::size_t n = 0;
      try {
        n = static_cast<std::size_t>(std::stoul(trim(line)));
      } catch (const std::exception&) {
      }
      if (n >= 1 && n <= list.size()) file = list[n - 1].path;
    }
  }
  if (!file) return;
  const session::SessionData data = session::read_session(*file);
  if (!data.note.empty()) std::cerr << "kestravel: " << text::terminal_safe(data.note) << "\n";
  runner.restore_conversation(data.messages);
  runner.messages_since(s.message_serial);
  s.begin_resumed(data);
  std::cerr << "Resumed the session of " << file->stem().string() << " (" << data.turns
            << (data.turns == 1 ? " turn)" : " turns)") << "\n";
}

}  // namespace

int plain_main(const config::Config& config, double speed, const std::filesystem::path& project,
               ResumeRequest resume) {
  std::shared_ptr<agent::TurnRunner> runner;
  const auto sessions = make_session_host(config, project);
  try {
    runner = with_checkpoints(make_turn_runner(config, speed, project), sessions->files());
  } catch (const std::exception& e) {
    std::cerr << "kestravel: " << e.what() << "\n";
    return 2;
  }
  std::string mode = config.runtime.laptop_26b_runtime_mode;
  if (!config::is_known_mode(mode)) {
    std::cerr << "kestravel: unknown mode \"" << text::terminal_safe(mode) << "\" in "
              << config.path.string() << "; using Fast (turbo)\n";
    mode = config::kModeFast;
  }
  runner->set_mode(mode);
  if (!runtime::OrvoRuntimeGateway(config.runtime).is_builtin())
    session::FileHistory::warm_up_in_background(sessions->files());  // while the prompt is typed
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, on_signal);
  PlainOptions options;
  options.interactive = ::isatty(STDIN_FILENO) != 0;
  if (options.interactive) options.terminal_fd = STDIN_FILENO;
  options.interrupt = &g_interrupt;
  for (const auto& n : sessions->take_notes()) std::cerr << "kestravel: " << n << "\n";
  plain_resume(*sessions, *runner, resume);
  options.after_turn = [&](const std::string& prompt) {
    std::vector<session::Entry> entries = {{"user", {prompt}}};
    auto messages = runner->messages_since(sessions->message_serial);
    for (const auto& m : messages) {
      if (m.value("role", "") == "assistant" && m.contains("content") && m["content"].is_string() &&
          !m["content"].get_ref<const std::string&>().empty())
        entries.push_back({"assistant", {m["content"].get<std::string>()}});
    }
    sessions->prompts().add(prompt);
    sessions->record(entries, messages);
    if (const auto files = sessions->files()) {
      if (const std::string note = files->take_note(); !note.empty())
        std::cout << "kestravel: " << note << "\n";
      if (const std::size_t n = files->last_changed(); n > 0)
        std::cout << n << (n == 1 ? " file" : " files") << " changed\n";
    }
    for (const auto& n : sessions->take_notes()) std::cerr << "kestravel: " << n << "\n";
  };
  std::optional<ColorlessBuf> colorless;
  std::streambuf* const original = std::cout.rdbuf();
  if (tui::no_color_requested()) std::cout.rdbuf(&colorless.emplace(original));
  const int code = run_plain(*runner, std::cin, options);
  runner->kill_leftovers();
  std::cout.flush();
  std::cout.rdbuf(original);
  return code;
}

}  // namespace orvo::host
