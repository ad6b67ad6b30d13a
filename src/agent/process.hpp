// Runs a child process in its own process group with its output (stdout and stderr together)
// captured up to a cap; a timeout or a cancel kills the whole group.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/cancel.hpp"

namespace orvo::agent {

struct ProcessResult {
  bool started = false;
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

// True when `program` is found on PATH.
bool on_path(const std::string& program);

}  // namespace orvo::agent
