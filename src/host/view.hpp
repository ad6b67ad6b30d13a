// `kestravel view SCRIPT [--size COLSxROWS] [--ansi] [--state]`: plays a script against the
// conversation view alone, headless on a virtual terminal, and prints the screen.
//
// Each line of the script (JSON Lines; blank lines are ignored) is one of:
//   {"call": "append_tool_result", "result": "...", "error": true}   an operation of the view,
//        by its own name and argument names; arguments with a default may be left out
//   {"resize": [cols, rows]}        {"key": "pagedown"}        {"screenshot": true}
//   {"mouse": "down"|"move"|"up", "x": 3, "y": 5}   x and y relative to the view
// A call that returns a value prints {"call": NAME, "result": VALUE} when it runs. The screen is
// printed at each screenshot step and after the last line: plain rows without trailing spaces,
// or with --ansi the rows with their styles. --state then prints the view's state as one JSON
// line. A bad script line is reported with its number before anything is drawn (exit 2), and so
// is a script larger than 64 MiB, a directory or an unreadable file.
#pragma once

#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvo::host::view {

// One parsed script line.
struct ViewStep {  // NOLINT(bugprone-exception-escape): nlohmann::json moves without throwing
  enum class Kind { call, resize, key, mouse, screenshot };
  int line = 0;
  Kind kind = Kind::call;
  std::string name;     // call: the operation; key: the key; mouse: down, move or up
  nlohmann::json args;  // call: arguments with defaults filled in
  int x = 0, y = 0;     // resize: cols, rows; mouse: position relative to the view
};

class ViewScriptError : public std::runtime_error {
 public:
  // `line` 0: the script as a whole.
  ViewScriptError(int line, const std::string& reason)
      : std::runtime_error(line > 0 ? "line " + std::to_string(line) + ": " + reason : reason) {}
};

// Parses a whole script; throws ViewScriptError for the first bad line (invalid JSON, a number
// out of range, a NUL byte, an unknown key). The stream is read up to kMaxScriptBytes.
// A session file (its first line a session header) is read up to its first bad line instead,
// with `note` (when given) saying where it stopped; its header and message records are skipped.
std::vector<ViewStep> parse_view_script(std::string_view text, std::string* note = nullptr);
std::vector<ViewStep> parse_view_script(std::istream& in, std::string* note = nullptr);
// The lines of `text` from where `line` is, appended to `steps` (throws as parse_view_script).
std::vector<ViewStep> parse_view_script_lines(std::string_view text, std::vector<ViewStep>& steps,
                                              int& line);

// Runs the subcommand with its arguments (after "view"); returns the exit code. With
// `end_process`, a script played through ends the process (exit code 0) once its output is
// flushed, without tearing the view down.
int view_main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              bool end_process = false);

}  // namespace orvo::host::view
