// The host's side of sessions: the files of this run (session, prompt history, checkpoints), the
// project's instructions, and the runner wrapper that takes a checkpoint around each turn.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/turn_runner.hpp"
#include "session/checkpoints.hpp"
#include "session/session.hpp"

namespace orvo::host {

namespace fs = std::filesystem;

// What `--continue` / `--resume` asked for.
enum class ResumeRequest { none, latest, pick };

// AGENTS.md and KESTRAVEL.md from the user's config folder, then from the project root, each cut
// at 32 KiB: the text to add to the system prompt and the files it came from.
struct Instructions {
  std::string text;
  std::vector<fs::path> files;
};
Instructions load_instructions(const fs::path& project, const fs::path& config_dir);

class SessionHost {
 public:
  // Prunes old sessions, loads nothing yet. `checkpoint_max_bytes` 0: no checkpoints (the demo
  // runtime, which changes no files). Never throws: what fails is kept in notes().
  SessionHost(fs::path project, long long keep_days, std::uint64_t checkpoint_max_bytes);

  const fs::path& project() const { return project_; }
  const fs::path& sessions_dir() const { return sessions_dir_; }
  std::shared_ptr<session::FileHistory> files() const { return files_; }
  session::PromptHistory& prompts() { return prompts_; }
  // Notes to show once (a state folder that cannot be made, a write that failed).
  std::vector<std::string> take_notes() { return std::exchange(notes_, {}); }

  // The sessions to pick from, newest first.
  std::vector<session::SessionInfo> list() const;
  // The newest session of this project, if any.
  std::optional<fs::path> latest() const;

  // Continues `data` in a new session file: its entries and messages are written there first.
  void begin_resumed(const session::SessionData& data);
  // The end of a turn: entries and messages not written yet, then the file is flushed.
  void record(const std::vector<session::Entry>& entries,
              const std::vector<nlohmann::json>& messages);
  void cleared();
  // The file of this run ("" before the first record).
  fs::path path() const { return writer_ ? writer_->path() : fs::path(); }

  // Where the chat has got to in its view history and the runner's messages.
  std::size_t entries_recorded = 0;
  std::uint64_t message_serial = 0;

 private:
  bool ensure_writer();

  fs::path project_;
  fs::path sessions_dir_;
  std::unique_ptr<session::SessionWriter> writer_;
  std::shared_ptr<session::FileHistory> files_;
  session::PromptHistory prompts_;
  std::vector<std::string> notes_;
};

// Wraps `inner` so each turn is bracketed by checkpoints in `files`.
std::shared_ptr<agent::TurnRunner> with_checkpoints(std::shared_ptr<agent::TurnRunner> inner,
                                                    std::shared_ptr<session::FileHistory> files);

// The user-facing lines of an undo plan ("Undo the last turn's changes to 3 files?" ...).
std::vector<std::string> describe_undo(const session::UndoPlan& plan);

}  // namespace orvo::host
