// A Scrivlet alone on a screen, and helpers that read its rows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet::testing {

class ViewApp : public App {
 public:
  ViewApp() {
    auto screen = std::make_unique<Screen>();
    ScrivletOptions o;
    o.id = "log";
    view = &screen->mount_new<Scrivlet>(o);
    install_screen("main", std::move(screen));
    switch_screen("main");
    // No copy in a test may reach the terminal the tests run in.
    view->clipboard_options.device = "/nonexistent/tty";
    view->clipboard_options.path = "";
  }
  Scrivlet* view;
};

// The view mounted and laid out on a running (headless) application.
struct Mounted {
  explicit Mounted(Size size = {100, 40}) : pilot(app, size), v(*app.view) {}
  ViewApp app;
  Pilot pilot;
  Scrivlet& v;
};

inline std::vector<std::string> rows(const Scrivlet& v) {
  std::vector<std::string> out;
  for (const auto& s : v.lines()) out.push_back(s.text());
  return out;
}

// Rows without their trailing spaces (rows are padded to the layout width).
inline std::vector<std::string> trimmed_rows(const Scrivlet& v) {
  auto out = rows(v);
  for (auto& r : out) r.erase(r.find_last_not_of(' ') + 1);
  return out;
}

inline MouseEvent mouse(int x, int y) {
  MouseEvent e;
  e.x = x;
  e.y = y;
  return e;
}

}  // namespace orvo::tui::scrivlet::testing
