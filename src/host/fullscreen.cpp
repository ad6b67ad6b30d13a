#include "host/fullscreen.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

#include "agent/process.hpp"

#include "host/chat/chat_app.hpp"
#include "host/plain.hpp"
#include "runtime/gateway.hpp"
#include "tui/framework/term/stdout_redirect.hpp"
#include "tui/framework/text/sgr_filter.hpp"
#include "tui/screens/quorvel/quorvel_screen.hpp"

namespace orvo::host {

namespace {

// A termination signal ends the program without destructors: what the agent's commands left in
// the background is ended here first. The terminal driver passes such signals on to the handler
// that was in place before it started, after restoring the terminal.
extern "C" void on_exit_signal(int sig) {
  const int saved_errno = errno;
  agent::kill_exit_groups_now();
  std::signal(sig, SIG_DFL);
  errno = saved_errno;
  std::raise(sig);
}

void install_exit_handlers() {
  for (const int sig : {SIGTERM, SIGHUP, SIGINT}) {
    struct sigaction old {};
    // An ignored signal (nohup) stays ignored.
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
      std::signal(sig, on_exit_signal);
    }
  }
}

}  // namespace

std::string fullscreen_refusal(const char* term) {
  // A dumb terminal moves no cursor and switches no screen: the interface would be garbage.
  if (term != nullptr && std::string_view(term) == "dumb")
    return "the full-screen interface needs a terminal that can move the cursor, and TERM is "
           "\"dumb\".\n  Use `kestravel --plain` to read prompts from standard input.";
  return "";
}

int run_fullscreen(config::Config config, const FullscreenOptions& options) {
  install_exit_handlers();
  const auto sessions = make_session_host(config, options.project);
  std::shared_ptr<agent::TurnRunner> runner = with_checkpoints(
      make_turn_runner(config, options.demo_speed, options.project), sessions->files());
  std::string mark;
  if (!runtime::OrvoRuntimeGateway(config.runtime).is_builtin()) {
    // While the mode screen and the first prompt are typed, not when the first turn starts.
    session::FileHistory::warm_up_in_background(sessions->files());
    for (const auto& f : project_instructions(config, options.project).files)
      mark += (mark.empty() ? "" : "+") + f.filename().string();
  }
  // Standard output stays pointed away until the worker has stopped: a turn stopped by quitting
  // still reports ("Interrupted", "Done in ..."), and that must not land on the shell once the
  // terminal is given back. Declared first, so it outlives the application on every way out.
  std::optional<tui::StdoutRedirect> redirect;
  KestravelTUI app(std::move(config), std::move(runner),
                   ChatInfo{.mode_screen = "quorvel",
                            .session = sessions,
                            .resume = options.resume,
                            .instructions_mark = mark});
  auto mode_screen = std::make_unique<tui::QuorvelScreen>();
  if (options.mode_given) mode_screen->check_at_start();
  app.apply_theme_setting(std::getenv("COLORFGBG"), tui::no_color_requested());
  app.install_screen("quorvel", std::move(mode_screen));
  app.install_chat();
  app.switch_screen("quorvel");
  if (::isatty(1) != 0) redirect.emplace();
  const int code = app.run(tui::RunOptions{.redirect_stdout = false});
  // A worker that would not stop may still report its turn: it must never reach the shell.
  if (!app.shutdown() && redirect) redirect->keep();
  return code;
}

}  // namespace orvo::host
