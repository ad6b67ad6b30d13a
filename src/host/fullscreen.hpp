// The full-screen program: the mode screen, then the chat.
#pragma once

#include <filesystem>

#include "config/config.hpp"

namespace orvo::host {

// Runs the full-screen interface on the terminal until the user quits; returns the exit status.
// `project` is the directory the agent acts on (empty: the current one). Needs standard input and
// output to be a terminal (the caller checks).
int run_fullscreen(config::Config config, const std::filesystem::path& project = {});

}  // namespace orvo::host
