// `kestravel --plain`: prompts from standard input, one per line, each turn drawn live on the
// terminal by the output controller. Approvals are asked on the terminal.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "agent/turn_runner.hpp"
#include "config/config.hpp"
#include "host/chat/session_host.hpp"

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
  // Set from a signal handler: the running turn is cancelled at its next step. At an approval
  // question it answers no and cancels the turn.
  std::atomic<bool>* interrupt = nullptr;
  // The terminal `in` reads from, or -1. An approval question then drops what was typed before
  // it appeared (the keys were meant for something else) and reads its answer from the
  // descriptor, so that `interrupt` can answer it too.
  int terminal_fd = -1;
  // Called after each turn with its prompt (the session is recorded there).
  std::function<void(const std::string&)> after_turn;
};

// Runs one turn per non-empty line of `in` until end of input. Turn output goes to std::cout.
// An approval shows why it is asked and, when long or on several lines, the whole command, then
// asks "Allow <tool>? <command> [1 allow / 2 deny]" and reads the answer from `in` (end of input
// denies; see terminal_fd). Returns the exit status (0, or 1 when standard output failed).
int run_plain(agent::TurnRunner& runner, std::istream& in, const PlainOptions& options = {});

// The approval question as written on the terminal (control characters made visible).
std::string approval_question(const std::string& tool, const std::string& command);

// The lines written before the question: "Why: <reason>" (when there is one) and, for a command
// on several lines or longer than 60 characters, "Command:" and each of its lines indented. Every
// control character is made visible; each line ends in '\n'. Empty when there is nothing to add.
std::string approval_details(const std::string& command, const std::string& reason);

enum class ApprovalAnswer { allow, deny, other, end, interrupted };

// The answer a typed line gives ("1", "2", surrounded by blanks or not).
ApprovalAnswer answer_of(const std::string& line);

// Drops what was typed on terminal `fd` and not read yet (also what standard input's buffer
// holds, when fd is standard input).
void drop_typed_ahead(int fd);

// Reads one line from `fd` as the answer, waking every 50 ms to see `interrupt`: interrupted
// once it is set, end at end of input or a read error.
ApprovalAnswer read_terminal_answer(int fd, const std::atomic<bool>* interrupt);

// The session files of this run for `project` (the current directory when empty): checkpoints
// only for a real agent (the demo runtime changes no files).
std::shared_ptr<SessionHost> make_session_host(const config::Config& config,
                                               const std::filesystem::path& project);
// The project's instructions for `project` and the configuration's folder.
Instructions project_instructions(const config::Config& config,
                                  const std::filesystem::path& project);

// The command line entry: signal handling, then run_plain on std::cin.
int plain_main(const config::Config& config, double speed = 1.0,
               const std::filesystem::path& project = {},
               ResumeRequest resume = ResumeRequest::none);

}  // namespace orvo::host
