#include "host/fullscreen.hpp"

#include <memory>

#include "host/chat/chat_app.hpp"
#include "host/plain.hpp"
#include "tui/screens/quorvel/quorvel_screen.hpp"

namespace orvo::host {

int run_fullscreen(config::Config config, const std::filesystem::path& project) {
  std::shared_ptr<agent::TurnRunner> runner = make_turn_runner(config, 1.0, project);
  KestravelTUI app(std::move(config), std::move(runner), ChatInfo{.mode_screen = "quorvel"});
  app.install_screen("quorvel", std::make_unique<tui::QuorvelScreen>());
  app.install_chat();
  app.switch_screen("quorvel");
  int code = app.run();
  app.shutdown();
  return code;
}

}  // namespace orvo::host
