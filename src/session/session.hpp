// Sessions: every conversation written as it happens to
// $XDG_STATE_HOME/kestravel/sessions/<project>/<start time>.jsonl, so that neither a quit nor a
// crash loses it, and read back to resume it.
//
// One JSON object a line. The first line is the header, {"session": 1, ...}; then, in order:
//   {"call":"entry","kind":K,"values":[...]}   an entry of the conversation view's history
//   {"message":{...}}                          a message of the agent's conversation
//   {"call":"clear"}                           /clear: what came before is forgotten
// The view's records are operations `kestravel view` plays, so the file is also a view script.
// A file is only ever appended to; a resumed session continues in a new file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvo::session {

namespace fs = std::filesystem;

inline constexpr int kFormatVersion = 1;
// A session file is read up to this many bytes; the rest is left with a note.
inline constexpr std::size_t kMaxReadBytes = 64U << 20;

// $XDG_STATE_HOME/kestravel when XDG_STATE_HOME is set and absolute, else
// $HOME/.local/state/kestravel; empty when neither is known.
fs::path state_root();

// A directory name for `project`: its base name reduced to [A-Za-z0-9._-] (at most 40 bytes),
// a dash and 8 hex digits of a hash of the whole path, so two projects named alike differ.
std::string project_key(const fs::path& project);

// Creates `dir` and its missing parents private (0700). Throws std::runtime_error.
void make_private_dirs(const fs::path& dir);

// One entry of the view's history: its kind and values (as Scrivlet's HistoryEntry).
struct Entry {
  std::string kind;
  std::vector<std::string> values;
  friend bool operator==(const Entry&, const Entry&) = default;
};

// Appends records to a new session file (0600). Records are buffered and reach the file at
// flush(), which the host calls at the end of each turn: a process killed later keeps them.
class SessionWriter {
 public:
  // Creates <dir>/<UTC start time>.jsonl (never an existing file) and writes the header.
  // Throws std::runtime_error when the file cannot be made.
  SessionWriter(const fs::path& dir, const fs::path& project,
                std::chrono::system_clock::time_point start = std::chrono::system_clock::now());
  ~SessionWriter();
  SessionWriter(const SessionWriter&) = delete;
  SessionWriter& operator=(const SessionWriter&) = delete;

  const fs::path& path() const { return path_; }
  void entry(const Entry& e);
  void message(const nlohmann::json& m);
  void clear();
  // Writes what is buffered. False (and the error kept) when the write failed; later records
  // are still tried.
  bool flush();
  const std::string& error() const { return error_; }

 private:
  void line(const nlohmann::json& record);
  fs::path path_;
  int fd_ = -1;
  std::string buffer_;
  std::string error_;
};

// What a session file holds, as far as it could be read.
struct SessionData {  // NOLINT(bugprone-exception-escape): nlohmann::json moves without throwing
  nlohmann::json header;
  std::vector<Entry> entries;            // after the last clear
  std::vector<nlohmann::json> messages;  // after the last clear
  int turns = 0;                         // user prompts, over the whole file
  std::string first_prompt;              // the first one
  // Empty when the whole file was read; otherwise why reading stopped (which line and why).
  std::string note;
};

// Reads a session file up to its first bad line (never throws for what the file holds; a
// missing or unreadable file gives a note).
SessionData read_session(const fs::path& path);
// The same from text (for tests and the view player).
SessionData parse_session(std::string_view text, const std::string& name = "session");

// True when `first_line` is a session header ({"session": N, ...}).
bool is_session_header(std::string_view first_line);

struct SessionInfo {
  fs::path path;
  std::string started;  // "2024-05-01 14:03" in local time, from the file's name
  std::string first_prompt;
  int turns = 0;
};

// The sessions in `dir`, newest first, at most `limit` of them.
std::vector<SessionInfo> list_sessions(const fs::path& dir, std::size_t limit = 30);

// The session files in `dir` last written more than `keep_days` days before `now` are removed
// (0: none). Returns how many were.
int prune_sessions(const fs::path& dir, int keep_days,
                   std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// A line of a session listing: "3  2024-05-01 14:03  12 turns  fix the port parsing".
std::string describe(const SessionInfo& s, std::size_t number, std::size_t width = 100);

// Prompt history of a project (Up/Down in the input box), kept across sessions: one JSON string
// a line, the newest last, at most `cap` kept. The file is private (0600).
class PromptHistory {
 public:
  explicit PromptHistory(fs::path file, std::size_t cap = 500)
      : file_(std::move(file)), cap_(cap) {}
  std::vector<std::string> load() const;
  // Appends one prompt; when the file holds twice the cap it is written again with the newest
  // `cap` (through a temporary file and a rename). Never throws.
  void add(const std::string& prompt);
  const fs::path& file() const { return file_; }

 private:
  fs::path file_;
  std::size_t cap_;
};

}  // namespace orvo::session
