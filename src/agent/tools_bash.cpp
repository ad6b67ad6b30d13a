// The bash tool: a command run in the project directory (in the sandbox when there is one).
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "agent/process.hpp"
#include "agent/tool_table.hpp"

namespace orvo::agent {

using nlohmann::json;

namespace {

// A bash timeout in seconds from the model, as a double so that huge, negative or non-finite
// values are clamped before any integer conversion. Not positive: the default.
std::chrono::milliseconds clamp_timeout(double secs, std::chrono::milliseconds fallback,
                                        std::chrono::milliseconds max) {
  if (!(secs > 0)) return std::min(fallback, max);  // also NaN
  const double ms = std::clamp(secs * 1000.0, 1000.0, static_cast<double>(max.count()));
  return std::chrono::milliseconds(static_cast<long long>(ms));
}

json bash_schema() {
  return tool_schema(
      "bash",
      "Run a shell command in the project directory and return its output (stdout and stderr). "
      "Use for builds, tests, git and other commands.",
      {{"command", string_param("The command line to run with bash -c")},
       {"timeout",
        integer_param("Seconds before the command is killed (default 120, at most 600)")}},
      {"command"});
}

void prepare_bash(const Toolbox& box, Args& a, PreparedCall& c) {
  const auto cmd = a.string("command", true);
  a.number("timeout");
  c.summary = cmd.value_or("");
  if (cmd) {
    if (auto f = box.consent().analyse_command(*cmd)) {
      c.consent = std::move(f->reason);
      c.consent_trigger = std::move(f->trigger);
    }
    c.consent_subject = *cmd;
  }
}

ToolResult run_bash(Toolbox& box, const PreparedCall& c) {
  double secs = std::nan("");  // none given: the default
  if (const auto it = c.args.find("timeout"); it != c.args.end()) {
    if (it->is_number()) {
      secs = it->get<double>();
    } else if (it->is_string()) {
      Args a{c.args, {}};
      if (const auto v = a.number("timeout")) secs = static_cast<double>(*v);
    }
  }
  const AgentSettings& s = box.settings();
  return box.bash(c.args["command"].get<std::string>(),
                  clamp_timeout(secs, s.bash_timeout, s.bash_max_timeout));
}

}  // namespace

void add_bash_tool(std::vector<ToolSpec>& table) {
  table.push_back({"bash", bash_schema, nullptr, prepare_bash, run_bash});
}

ToolResult Toolbox::bash(const std::string& command, std::chrono::milliseconds timeout) {
  const char* shell = ::access("/bin/bash", X_OK) == 0 ? "/bin/bash" : "/bin/sh";
  const auto r = run_process(sandbox_.wrap({shell, "-c", command}, root_), root_, timeout,
                             settings_.tool_output_cap, canceller_);
  if (!r.started) return {"could not run the command: " + r.start_error, true};
  // Something the command started in the background may still run in its group.
  if (!settings_.keep_background_processes && group_alive(r.pgid)) record_group(r.pgid);
  ToolResult out{r.output, false};
  while (!out.text.empty() && out.text.back() == '\n') out.text.pop_back();
  auto note = [&](const std::string& n) {
    if (!out.text.empty()) out.text += "\n";
    out.text += n;
  };
  if (r.cancelled) {
    note("[cancelled by the user; the command was killed]");
    out.error = true;
  } else if (r.timed_out) {
    note("[timed out after " + std::to_string(timeout.count() / 1000) +
         " s; the command was killed]");
    out.error = true;
  } else if (r.signal != 0) {
    note("[killed by signal " + std::to_string(r.signal) + "]");
    out.error = true;
  } else if (r.exit_code != 0) {
    note("[exit code " + std::to_string(r.exit_code) + "]");
    out.error = true;
  } else if (out.text.empty()) {
    out.text = "(no output)";
  }
  return out;
}

}  // namespace orvo::agent
