// Which actions need the user's consent before they run. Shell commands are split into simple
// commands (at ; && || | & newlines and inside $( ), backquotes and `sh -c` strings); each is
// checked against a table of rules after wrappers such as sudo, env or xargs are stripped.
#pragma once

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "agent/settings.hpp"

namespace orvo::agent {

// One simple command: its words (quotes removed) and its output redirection targets.
struct SimpleCommand {
  std::vector<std::string> words;
  std::vector<std::string> overwrites;  // targets of > and >| (not >>, not >&N)
};

// Splits a command line the way a POSIX shell separates simple commands. Never throws; an
// unterminated quote runs to the end.
std::vector<SimpleCommand> split_commands(std::string_view command_line);

class ConsentPolicy {
 public:
  struct Rule {
    std::string tool;  // "bash", or a file tool
    std::regex pattern;
    std::string reason;
  };

  // `project_dir` decides what "outside the project" and "an existing file" mean.
  ConsentPolicy(std::filesystem::path project_dir, const std::vector<ConsentRuleSpec>& extra);

  // The reason a shell command needs consent, or nothing.
  std::optional<std::string> check_command(std::string_view command_line) const;
  // The reason a file tool's write to `path` (relative to the project) needs consent, or nothing.
  std::optional<std::string> check_path(std::string_view tool, std::string_view rel_path) const;

  // The built-in rules for simple commands, as (pattern, reason) pairs; a pattern is searched in
  // the command's words joined by single spaces.
  static const std::vector<std::pair<std::string, std::string>>& builtin_command_rules();

 private:
  std::optional<std::string> check_simple(const SimpleCommand& cmd, int depth) const;
  std::optional<std::string> check_line(std::string_view line, int depth) const;
  bool is_existing_file(const std::string& target) const;
  bool is_outside(const std::string& target) const;

  std::filesystem::path root_;
  std::vector<Rule> rules_;
};

}  // namespace orvo::agent
