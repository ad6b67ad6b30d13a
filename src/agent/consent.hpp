// Which actions need the user's consent before they run.
//
// The rule: a command asks first when it may delete, truncate or replace a file or directory that
// exists, discard uncommitted, staged or stashed git work or a branch, rewrite published history,
// or change anything outside the project. In-place edits inside the project (sed -i, perl -pi) do
// not ask, just as edit_file does not. Where the analysis cannot tell what a command will run (a
// command word that is a substitution or a variable, eval of a non-literal, input fed to a shell)
// it asks.
//
// The command line is parsed as a shell would split it (shell_words.hpp); the working directory is
// followed through cd, pushd, popd and subshells; wrappers (env, nice, ionice, timeout, command,
// exec, nohup, xargs, find -exec, sh -c, sudo, ...) are looked through; then each program's own
// options decide. Extra patterns from the configuration are searched with RE2, whose cost is linear
// in the input (a model can send a command of any length).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/settings.hpp"
#include "agent/shell_words.hpp"

namespace re2 {
class RE2;
}

namespace orvo::agent {

struct ConsentFinding {
  std::string reason;   // why, e.g. "deletes src/"; several reasons are joined by "; "
  std::string trigger;  // the part of the command line that asks (one simple command's text)
};

class ConsentPolicy {
 public:
  struct Rule {
    std::string tool;  // "bash", or a file tool
    std::shared_ptr<const re2::RE2> pattern;
    std::string reason;
  };

  // `project_dir` decides what "outside the project" and "an existing file" mean. Extra rules whose
  // pattern does not compile are left out and listed in rejected_patterns().
  ConsentPolicy(std::filesystem::path project_dir, const std::vector<ConsentRuleSpec>& extra);

  // Why a shell command needs consent, and which part of it asks; nothing when it need not ask.
  std::optional<ConsentFinding> analyse_command(std::string_view command_line) const;
  // The reason alone.
  std::optional<std::string> check_command(std::string_view command_line) const;
  // The reason a file tool's write to `path` (relative to the project) needs consent, or nothing.
  std::optional<std::string> check_path(std::string_view tool, std::string_view rel_path) const;

  const std::filesystem::path& root() const { return root_; }
  const std::vector<std::string>& rejected_patterns() const { return rejected_; }

 private:
  std::filesystem::path root_;
  std::vector<Rule> rules_;
  std::vector<std::string> rejected_;
};

}  // namespace orvo::agent
