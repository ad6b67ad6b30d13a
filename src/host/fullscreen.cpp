#include "host/fullscreen.hpp"

#include <memory>
#include <vector>

#include "tui/framework/widgets/app.hpp"
#include "tui/screens/quorvel/quorvel_screen.hpp"

namespace orvo::host {

namespace {

// Stands in for the conversation screen until the chat host (KestravelTUI) replaces this file's
// body: the mode screen can already be used and left.
class PendingChatScreen : public tui::WidgetType<PendingChatScreen, tui::Screen> {
 public:
  static inline const std::vector<tui::Binding> BINDINGS = {
      tui::Binding("q", "quit", "Quit", true)};
  PendingChatScreen() {
    register_action("quit", [this] {
      if (tui::App* a = app()) a->exit();
    });
  }
  void compose(tui::ComposeResult& r) override {
    r.yield<tui::Static>(
        "The conversation view is not part of this build yet.\n\n"
        "Use [bold]kestravel --plain[/] to chat on the plain terminal.\n\n[dim]Press q to quit.[/]",
        "pending");
  }
};

}  // namespace

// HOOK(host): KestravelTUI takes over here once the chat host lands.
int run_fullscreen(config::Config config) {
  tui::ConfiguredApp app(std::move(config));
  app.install_screen("quorvel", std::make_unique<tui::QuorvelScreen>());
  app.install_screen("chat", std::make_unique<PendingChatScreen>());
  app.switch_screen("quorvel");
  return app.run();
}

}  // namespace orvo::host
