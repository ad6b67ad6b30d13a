// Runs a child process in its own process group with its output (stdout and stderr together)
// captured up to a cap; a timeout or a cancel kills the whole group.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/cancel.hpp"

namespace orvo::agent {

struct ProcessResult {
  bool started = false;
  pid_t pgid = 0;           // the child's own process group (its pid), once started
  std::string start_error;  // why it could not start
  int exit_code = -1;       // -1 when killed by a signal
  int signal = 0;
  bool timed_out = false;
  bool cancelled = false;
  std::string output;       // head and tail when over the cap, with a note in between
  std::size_t dropped = 0;  // bytes left out of `output`
};

ProcessResult run_process(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                          std::chrono::milliseconds timeout, std::size_t cap, Canceller& canceller);

// True while some process of group `pgid` exists.
bool group_alive(pid_t pgid);

// Ends the groups still alive: SIGTERM, up to `grace` for them to go, then SIGKILL.
void end_groups(const std::vector<pid_t>& pgids, std::chrono::milliseconds grace);

// A process-wide table of groups to kill if the program is ended by a signal, walked by
// kill_exit_groups_now(), which only calls kill() and so may run in a signal handler. A full
// table drops new entries (the owner still ends them on a normal exit).
void note_exit_group(pid_t pgid);
void forget_exit_group(pid_t pgid);
void kill_exit_groups_now() noexcept;

// True when `program` is found on PATH.
bool on_path(const std::string& program);

}  // namespace orvo::agent
