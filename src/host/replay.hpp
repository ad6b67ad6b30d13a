// `kestravel replay`: plays a turn script through one OutputManager on a worker thread, as an
// agent loop would.
#pragma once

#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "common/utf8.hpp"

namespace orvo::host {

// One line of a script: a call of the output controller, or a pause.
struct Step {  // NOLINT(bugprone-exception-escape): nlohmann::json moves without throwing
  int line = 0;
  std::string call;     // empty for a pause
  nlohmann::json args;  // the call's arguments, defaults filled in
  double sleep = 0.0;   // seconds, for a pause
};

// Text from the command line or a script, made fit to quote in a message: every control (line
// ends and tabs included, C1 as code points and as raw bytes, DEL) becomes U+FFFD.
inline std::string safe_text(std::string_view s) {
  return text::message_safe(s);
}

// The largest script `kestravel replay` reads.
inline constexpr std::size_t kMaxScriptBytes = std::size_t{64} << 20;

// Reads a whole script file into `text`: at most kMaxScriptBytes; a directory or a read error is
// an error (a FIFO or device is read only up to the cap). `st` is the opened file's status.
// Returns the error text, empty on success.
std::string read_script(const std::string& path, std::string& text, struct stat& st);

// A script line that cannot be played. The reason may quote the line: it is made safe here.
class ScriptError : public std::runtime_error {
 public:
  ScriptError(int line, const std::string& reason)
      : std::runtime_error("line " + std::to_string(line) + ": " + safe_text(reason)),
        line_(line) {}
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

// Writes a help or usage text and flushes. Returns `status`, or 1 when the text could not be
// written (with a message on standard error) and `status` was 0.
int write_help(std::ostream& out, std::string_view text, int status);

// The command line of `kestravel replay` (arguments after the subcommand). Returns the exit status.
int replay_main(const std::vector<std::string>& args);

}  // namespace orvo::host
