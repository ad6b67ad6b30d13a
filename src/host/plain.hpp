// `kestravel --plain`: prompts from standard input, one per line, each turn drawn live on the
// terminal by the output controller. Approvals are asked on the terminal.
#pragma once

#include <atomic>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <string>

#include "agent/turn_runner.hpp"
#include "config/config.hpp"

namespace orvo::host {

// The agent for the configured endpoint: "builtin" is the demo runtime (paced by `speed`).
// `project` is the directory the agent acts on (empty: the current one).
// Throws config::ConfigError for an endpoint that has no agent yet.
std::unique_ptr<agent::TurnRunner> make_turn_runner(const config::Config& config,
                                                    double speed = 1.0,
                                                    const std::filesystem::path& project = {});

struct PlainOptions {
  // Shows "› " before each prompt (when standard input is a terminal); otherwise each prompt
  // read is echoed so that the output reads as a conversation.
  bool interactive = false;
  // Set from a signal handler: the running turn is cancelled at its next step.
  std::atomic<bool>* interrupt = nullptr;
};

// Runs one turn per non-empty line of `in` until end of input. Turn output goes to std::cout.
// An approval asks "Allow <tool>? <command> [1 allow / 2 deny]" and reads the answer from `in`
// (end of input denies). Returns the exit status (0, or 1 when standard output failed).
int run_plain(agent::TurnRunner& runner, std::istream& in, const PlainOptions& options = {});

// The approval question as written on the terminal (control characters made visible).
std::string approval_question(const std::string& tool, const std::string& command);

// The command line entry: signal handling, then run_plain on std::cin.
int plain_main(const config::Config& config, double speed = 1.0,
               const std::filesystem::path& project = {});

}  // namespace orvo::host
