// Child processes: the one place that looks programs up on PATH and spawns them. run_process runs
// one in its own process group with its output (stdout and stderr together) captured up to a cap;
// a timeout or a cancel kills the whole group.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/cancel.hpp"

namespace orvo::proc {

// Full path of `program` on the colon-separated `path`, or nothing. A name with a '/' is taken as
// it is. Only absolute directories are searched: an empty entry (which execvp reads as the current
// directory), "." or any relative one would let a file in the project the agent works on stand in
// for a program such as bash or xclip.
std::optional<std::string> find_program(std::string_view program, std::string_view path);
// The same on this process's PATH (nothing when it is unset).
std::optional<std::string> find_program(std::string_view program);

// True when `program` is found on PATH.
bool on_path(std::string_view program);

struct SpawnOptions {
  // argv[0] names the program: found with find_program on PATH, or a path when it has a '/'.
  std::vector<std::string> argv;
  int stdin_fd = -1;  // each -1: /dev/null
  int stdout_fd = -1;
  int stderr_fd = -1;
  std::filesystem::path cwd;  // empty: this process's
  bool own_group = false;     // a process group of its own (its pid), for killing all it starts
};

struct Spawned {
  pid_t pid = -1;     // -1: not started
  std::string error;  // why not, e.g. "No such file or directory"
};

// Starts the program with an empty signal mask and every signal at its default, whatever this
// process changed for itself.
Spawned spawn(const SpawnOptions& options);

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

}  // namespace orvo::proc
