#include "host/project.hpp"

#include <system_error>

#include "common/utf8.hpp"

namespace orvo::host {

namespace fs = std::filesystem;

ProjectChoice choose_project(const std::optional<std::string>& given, const fs::path& cwd,
                             const char* home, bool guard) {
  std::error_code ec;
  if (given) {
    const std::string shown = text::terminal_safe(*given);
    if (given->empty()) return {{}, "--project needs a directory"};
    const fs::file_status st = fs::status(*given, ec);
    if (!fs::exists(st)) return {{}, "--project " + shown + ": no such directory"};
    if (!fs::is_directory(st)) return {{}, "--project " + shown + ": not a directory"};
    fs::path dir = fs::canonical(fs::absolute(*given, ec), ec);
    if (ec) return {{}, "--project " + shown + ": " + ec.message()};
    return {std::move(dir), {}};
  }
  fs::path dir = fs::canonical(cwd, ec);
  if (ec) return {{}, "cannot use the current directory as the project: " + ec.message()};
  if (!guard) return {std::move(dir), {}};
  if (dir == dir.root_path()) {
    return {{},
            "refusing to let the agent act on the whole file system (" + dir.string() +
                "); start it in a project directory or pass --project " + dir.string() +
                " to mean it"};
  }
  if (home != nullptr && *home != '\0') {
    const fs::path h = fs::canonical(home, ec);
    if (!ec && h == dir) {
      const std::string shown = text::terminal_safe(dir.string());
      return {{},
              "refusing to let the agent act on your whole home directory (" + shown +
                  "); start it in a project directory or pass --project " + shown + " to mean it"};
    }
  }
  return {std::move(dir), {}};
}

}  // namespace orvo::host
