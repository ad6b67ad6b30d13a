// Which directory the agent may act on: --project DIR, else the directory Kestravel started in.
// Started in / or in the home directory itself, every file would count as "in the project", so
// the agent is not started there unless --project names that directory on purpose.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace orvo::host {

struct ProjectChoice {
  std::filesystem::path dir;  // canonical; empty when `error` is set
  std::string error;          // for the user, after "kestravel: "
};

// `given`: the --project value, if any. `cwd`: the current directory. `home`: $HOME (nullptr or
// empty: unknown). `guard`: refuse / and the home directory when they were not given explicitly
// (false for the demo runtime, which touches no files). Paths are compared canonically.
ProjectChoice choose_project(const std::optional<std::string>& given,
                             const std::filesystem::path& cwd, const char* home, bool guard);

}  // namespace orvo::host
