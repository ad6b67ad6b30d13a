// Checkpoints of the project's files, so that /undo can put back what a turn changed.
//
// A private bare git repository under the state folder holds them; the project is its work tree
// and it has an index of its own, so the user's repository (if there is one) is never touched,
// and projects without git work the same. A checkpoint is `add -A` then `write-tree`: the index
// remembers each file's stat data, so only changed files are hashed again. .gitignore is
// honoured as git honours it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvo::session {

namespace fs = std::filesystem;

struct GitResult {
  int exit_code = -1;
  std::string out;  // standard output (capped)
  std::string err;  // standard error (capped)
  bool ok() const { return exit_code == 0; }
};

// Runs git with `args` (after "git"), without the caller's GIT_* variables but with `env`
// ("NAME=value") added; bounded by `timeout`.
GitResult run_git(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                  std::chrono::milliseconds timeout = std::chrono::seconds(60));

class Checkpoints {
 public:
  // `git_dir`: the private repository (made on first use); `max_bytes`: a project whose files
  // (those git would add) are larger in all is not checkpointed (0: no limit).
  Checkpoints(fs::path git_dir, fs::path project, std::uint64_t max_bytes);

  // The tree of the project's files now, or "" with note() saying why there is none.
  std::string snapshot();
  const std::string& note() const { return note_; }

  // The paths that differ between two trees (added, removed or changed), as git lists them.
  std::vector<std::string> changed(const std::string& from, const std::string& to) const;
  // A unified diff from one tree to the other.
  std::string diff(const std::string& from, const std::string& to) const;

  // Puts `paths` back as they are in `tree`: written from it when there, removed when not.
  // Nothing is written through a symbolic link or out of the project. Returns the paths that
  // could not be restored, each with its reason.
  std::vector<std::string> restore(const std::string& tree, const std::vector<std::string>& paths);

  const fs::path& project() const { return project_; }

 private:
  GitResult git(const std::vector<std::string>& args) const;
  bool ensure_repo();
  void exclude_state_folder();
  bool over_size();

  fs::path git_dir_;
  fs::path project_;
  std::uint64_t max_bytes_;
  std::string note_;
  int size_checked_ = 0;   // 0 unknown, 1 within the limit, 2 over it
  bool excluded_ = false;  // the state folder's exclusion is written
};

// The turns of a session with their checkpoints, newest last, and what /undo does with them.
struct TurnCheckpoint {
  std::string before;  // the tree before the turn
  std::string after;   // the tree right after it
  std::vector<std::string> changed;
};

struct UndoPlan {
  std::size_t turn = 0;                // index into the turn list
  std::vector<std::string> files;      // what the turn changed, to be put back
  std::vector<std::string> conflicts;  // of those, changed again since the turn ended
};

}  // namespace orvo::session

namespace orvo::session {

// The checkpoints of this run's turns; used from the worker thread (around each turn) and the UI
// thread (/undo, /diff, between turns), so it locks.
class FileHistory {
 public:
  explicit FileHistory(Checkpoints checkpoints) : cp_(std::move(checkpoints)) {}

  // Around a turn (worker thread). after_turn returns how many files the turn changed.
  void before_turn();
  // Fills the private index on a thread of its own, so that the first turn's checkpoint only
  // hashes what changed since (a large project's first checkpoint takes seconds). The thread
  // holds `h`; it is not waited for at exit (git's lock files keep a cut-off index sound).
  static void warm_up_in_background(const std::shared_ptr<FileHistory>& h);
  std::size_t after_turn();
  // A note to show once (a skipped checkpoint), then "".
  std::string take_note();

  // The newest turn not undone yet that changed files; nullopt with `why` when there is none.
  std::optional<UndoPlan> plan_undo(std::string& why);
  // Restores the plan's files but its conflicts; the turn counts as undone. Returns the lines
  // to report (files that could not be restored).
  std::vector<std::string> undo(const UndoPlan& plan);
  // The diff of the newest turn that changed files (its files only), or "".
  std::string last_diff();
  std::size_t turns() const;
  // How many files the last turn changed.
  std::size_t last_changed() const;

 private:
  mutable std::mutex m_;
  Checkpoints cp_;
  std::vector<TurnCheckpoint> turns_;
  std::size_t undone_from_ = SIZE_MAX;  // turns from here on were undone
  std::string pending_before_;
  std::size_t last_changed_ = 0;
  std::string note_;
  bool noted_ = false;
};

}  // namespace orvo::session
