// The table of tools behind Toolbox, and what the families of tools share. Internal to the agent.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/tools.hpp"

namespace orvo::agent {

// Argument access with errors the model can act on; the first error is kept.
struct Args {
  const nlohmann::json& j;
  std::string error;

  std::optional<std::string> string(const char* key, bool required);
  // Numbers may come quoted; huge ones are clamped.
  std::optional<long long> number(const char* key);
};

// One tool. `prepare` checks the arguments (through `a`, whose error becomes the call's) and
// fills the summary and consent of `c`; `run` executes a call whose arguments passed.
struct ToolSpec {
  const char* name;
  nlohmann::json (*schema)();             // the entry of the request's "tools" array
  bool (*offered)(const AgentSettings&);  // nullptr: always offered
  void (*prepare)(const Toolbox& box, Args& a, PreparedCall& c);
  ToolResult (*run)(Toolbox& box, const PreparedCall& c);
};

// The tools in the order the model is shown them.
const std::vector<ToolSpec>& tool_table();

// The families, each in a file of its own.
void add_bash_tool(std::vector<ToolSpec>& table);
void add_file_tools(std::vector<ToolSpec>& table);
void add_search_tools(std::vector<ToolSpec>& table);
void add_web_tools(std::vector<ToolSpec>& table);

// A function entry of the "tools" array.
nlohmann::json tool_schema(const char* name, const char* description, nlohmann::json properties,
                           std::vector<std::string> required);
nlohmann::json string_param(const char* description);
nlohmann::json integer_param(const char* description);

// Texts of failures, for the model.
std::string not_regular(const std::string& shown, mode_t mode);
std::string sys_text(const std::string& what, const std::string& shown, int err);
std::string size_text(std::uint64_t bytes);

}  // namespace orvo::agent
