// `kestravel replay`: plays a turn script through one OutputManager on a worker thread, as an
// agent loop would.
#pragma once

#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvo::host {

// One line of a script: a call of the output controller, or a pause.
struct Step {
  int line = 0;
  std::string call;     // empty for a pause
  nlohmann::json args;  // the call's arguments, defaults filled in
  double sleep = 0.0;   // seconds, for a pause
};

// A script line that cannot be played.
class ScriptError : public std::runtime_error {
 public:
  ScriptError(int line, const std::string& reason)
      : std::runtime_error("line " + std::to_string(line) + ": " + reason), line_(line) {}
  int line() const { return line_; }

 private:
  int line_;
};

// Parses and checks a whole script (JSON Lines). Throws ScriptError for the first bad line.
std::vector<Step> parse_script(std::string_view text);

// The built-in demo turn.
std::vector<Step> demo_script();

// The steps written back as a script.
std::string dump_script(const std::vector<Step>& steps);

struct ReplayOptions {
  bool fast = false;                       // skip pauses
  std::optional<std::string> events_path;  // write every agent event as a JSON line
};

// Plays the steps on a worker thread and waits for it. Errors of the worker (a closed standard
// output, an unwritable events file) are rethrown here.
void play(const std::vector<Step>& steps, const ReplayOptions& options);

// The command line of `kestravel replay` (arguments after the subcommand). Returns the exit status.
int replay_main(const std::vector<std::string>& args);

}  // namespace orvo::host
