// The agent runs its commands through the program's one process module (proc/process.hpp).
#pragma once

#include "agent/cancel.hpp"
#include "proc/process.hpp"

namespace orvo::agent {
using proc::end_groups;
using proc::forget_exit_group;
using proc::group_alive;
using proc::kill_exit_groups_now;
using proc::note_exit_group;
using proc::on_path;
using proc::ProcessResult;
using proc::run_process;
}  // namespace orvo::agent
