// The full-screen program: the mode screen, then the chat.
#pragma once

#include "config/config.hpp"

namespace orvo::host {

// Runs the full-screen interface on the terminal until the user quits; returns the exit status.
// Needs standard input and output to be a terminal (the caller checks).
int run_fullscreen(config::Config config);

}  // namespace orvo::host
