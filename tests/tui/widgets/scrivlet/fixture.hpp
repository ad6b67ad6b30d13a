// A Scrivlet on a screen of its own, run headless by a Pilot.
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
    o.id = "view";
    view = &screen->mount_new<Scrivlet>(o);
    install_screen("main", std::move(screen));
    switch_screen("main");
  }
  Scrivlet* view;
};

// The app, its pilot and the view, at a terminal size.
struct Harness {
  explicit Harness(Size size = {80, 24}) : pilot(app, size), v(*app.view) {}
  ViewApp app;
  Pilot pilot;
  Scrivlet& v;
};

// Plain text of every drawn row.
inline std::vector<std::string> rows(const Scrivlet& v) {
  std::vector<std::string> out;
  for (const auto& s : v.lines()) out.push_back(s.text());
  return out;
}

// Segments of a row as (text, style) pairs, adjacent equal styles joined.
inline std::vector<std::pair<std::string, Style>> pieces(const Strip& row) {
  std::vector<std::pair<std::string, Style>> out;
  const Strip simple = row.simplify();
  for (const auto& s : simple.segments()) out.emplace_back(s.text, s.style);
  return out;
}

// Same text and the same style cell by cell (segment boundaries may differ).
inline bool pieces_equal(const Strip& a, const Strip& b) {
  return pieces(a) == pieces(b);
}

}  // namespace orvo::tui::scrivlet::testing
