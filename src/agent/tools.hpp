// The tools offered to the model: their JSON schemas, argument checking, path confinement to the
// project directory and their execution (one table of tools, see tool_table.hpp). Every failure
// becomes an error result the model can read; nothing here throws for bad input.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/cancel.hpp"
#include "agent/consent.hpp"
#include "agent/glob.hpp"  // glob_match, for the users of the tools
#include "agent/sandbox.hpp"
#include "agent/settings.hpp"

namespace orvo::agent {

struct ToolResult {
  std::string text;
  bool error = false;
};

// A call checked before it runs.
struct PreparedCall {  // NOLINT(bugprone-exception-escape): nlohmann::json moves without throwing
  std::string name;
  nlohmann::json args;                 // the parsed arguments (an object)
  std::string summary;                 // shown in the tool log, e.g. the command or the path
  std::string error;                   // bad arguments: the result for the model, not run
  std::optional<std::string> consent;  // why the user must approve, if they must
  std::string consent_subject;         // what the approval prompt shows
  std::string consent_trigger;         // the part of the subject that made it ask
};

class Toolbox {
 public:
  Toolbox(const AgentSettings& settings, Canceller& canceller);
  // Ends the background processes left behind (see kill_leftovers).
  ~Toolbox();
  Toolbox(const Toolbox&) = delete;
  Toolbox& operator=(const Toolbox&) = delete;

  // Any thread: ends the process groups of earlier bash commands that still have a process
  // (SIGTERM, a short grace, SIGKILL), unless settings.keep_background_processes is set.
  void kill_leftovers();

  // The "tools" array of a request.
  nlohmann::json schemas() const;
  bool offers(std::string_view name) const;

  PreparedCall prepare(const std::string& name, const std::string& arguments) const;
  ToolResult run(const PreparedCall& call);

  const std::filesystem::path& root() const { return root_; }
  const AgentSettings& settings() const { return settings_; }
  const ConsentPolicy& consent() const { return consent_; }

  // The absolute path for `raw` inside the project (symlinks followed), or an error text.
  std::optional<std::filesystem::path> resolve(std::string_view raw, std::string& error) const;
  // `abs` relative to the project, "." for the project itself.
  std::string relative(const std::filesystem::path& abs) const;

  ToolResult bash(const std::string& command, std::chrono::milliseconds timeout);
  // Once, after a bash command ran without the sandbox it was meant to have: why, for the user.
  std::optional<std::string> take_sandbox_notice() { return sandbox_.take_notice(); }
  ToolResult read_file(const nlohmann::json& args);
  ToolResult write_file(const nlohmann::json& args);
  ToolResult edit_file(const nlohmann::json& args);
  ToolResult multi_edit(const nlohmann::json& args);
  ToolResult grep(const nlohmann::json& args);
  ToolResult glob(const nlohmann::json& args);
  ToolResult list_files(const nlohmann::json& args);
  ToolResult web_fetch(const nlohmann::json& args);
  ToolResult web_search(const nlohmann::json& args);

 private:
  ToolResult apply_edits(const std::string& path, const nlohmann::json& edits, bool multi);
  void record_group(pid_t pgid);

  AgentSettings settings_;
  Canceller& canceller_;
  std::filesystem::path root_;
  ConsentPolicy consent_;
  bool have_rg_;
  Sandbox sandbox_;
  std::mutex groups_m_;
  std::vector<pid_t> groups_;  // process groups of bash commands that may have left something
};

// Plain text of an HTML page as web_fetch gives it to the model (see html::html_to_text).
std::string html_to_text(std::string_view html);

}  // namespace orvo::agent
