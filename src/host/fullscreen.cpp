#include "host/fullscreen.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <optional>

#include "agent/process.hpp"

#include "host/chat/chat_app.hpp"
#include "host/plain.hpp"
#include "tui/framework/term/stdout_redirect.hpp"
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

int run_fullscreen(config::Config config, const std::filesystem::path& project) {
  install_exit_handlers();
  std::shared_ptr<agent::TurnRunner> runner = make_turn_runner(config, 1.0, project);
  // Standard output stays pointed away until the worker has stopped: a turn stopped by quitting
  // still reports ("Interrupted", "Done in ..."), and that must not land on the shell once the
  // terminal is given back. Declared first, so it outlives the application on every way out.
  std::optional<tui::StdoutRedirect> redirect;
  KestravelTUI app(std::move(config), std::move(runner), ChatInfo{.mode_screen = "quorvel"});
  app.install_screen("quorvel", std::make_unique<tui::QuorvelScreen>());
  app.install_chat();
  app.switch_screen("quorvel");
  if (::isatty(1) != 0) redirect.emplace();
  const int code = app.run(tui::RunOptions{.redirect_stdout = false});
  app.shutdown();
  return code;
}

}  // namespace orvo::host
