// The full-screen program: the mode screen, then the chat.
#pragma once

#include <filesystem>
#include <string>

#include "config/config.hpp"
#include "host/chat/session_host.hpp"

namespace orvo::host {

struct FullscreenOptions {
  std::filesystem::path project;  // the directory the agent acts on (empty: the current one)
  double demo_speed = 1.0;        // the demo runtime's pace (KESTRAVEL_DEMO_SPEED)
  // The mode was given on the command line: no mode screen unless the server is not ready.
  bool mode_given = false;
  ResumeRequest resume = ResumeRequest::none;  // --continue, --resume
};

// Runs the full-screen interface on the terminal until the user quits; returns the exit status.
// Needs standard input and output to be a terminal (the caller checks).
int run_fullscreen(config::Config config, const FullscreenOptions& options = {});

// Why the terminal named by `term` (the TERM variable; nullptr when unset) cannot show the
// full-screen interface, or "" when it can.
std::string fullscreen_refusal(const char* term);

}  // namespace orvo::host
