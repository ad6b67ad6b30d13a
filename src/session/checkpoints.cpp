#include "session/checkpoints.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "proc/process.hpp"
#include "session/session.hpp"

namespace orvo::session {

namespace {

constexpr std::size_t kOutputCap = 256U << 20;

// Splits NUL-separated git output.
std::vector<std::string> split_z(const std::string& s) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t end = s.find('\0', pos);
    const std::size_t stop = end == std::string::npos ? s.size() : end;
    if (stop > pos) out.emplace_back(s, pos, stop - pos);
    pos = stop + 1;
  }
  return out;
}

// A path from git that stays inside the project: relative, no "..", no empty part.
bool safe_relative(const std::string& p) {
  if (p.empty() || p.front() == '/') return false;
  for (const auto& part : fs::path(p)) {
    if (part == ".." || part == "." || part.empty()) return false;
  }
  return true;
}

// True when no directory on the way from `root` to `rel` (the last part excluded) is a symbolic
// link or something other than a directory; missing ones are fine.
bool parents_safe(const fs::path& root, const fs::path& rel) {
  fs::path p = root;
  const fs::path parent = rel.parent_path();
  for (const auto& part : parent) {
    p /= part;
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return false;
  }
  return true;
}

}  // namespace

GitResult run_git(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  std::chrono::milliseconds timeout) {
  GitResult r;
  // `env` clears the caller's GIT_* settings, which would point git at their repository.
  std::vector<std::string> argv = {"env",
                                   "-u",
                                   "GIT_DIR",
                                   "-u",
                                   "GIT_WORK_TREE",
                                   "-u",
                                   "GIT_INDEX_FILE",
                                   "-u",
                                   "GIT_OBJECT_DIRECTORY",
                                   "-u",
                                   "GIT_CEILING_DIRECTORIES",
                                   "GIT_TERMINAL_PROMPT=0",
                                   "GIT_OPTIONAL_LOCKS=0",
                                   "LC_ALL=C"};
  argv.insert(argv.end(), env.begin(), env.end());
  argv.emplace_back("git");
  argv.insert(argv.end(), args.begin(), args.end());
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    r.err = std::strerror(errno);
    return r;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    r.err = std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return r;
  }
  proc::SpawnOptions o;
  o.argv = argv;
  o.stdout_fd = out[1];
  o.stderr_fd = err[1];
  o.own_group = true;
  const proc::Spawned child = proc::spawn(o);
  ::close(out[1]);
  ::close(err[1]);
  if (child.pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    r.err = "cannot run git: " + child.error;
    return r;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_fds = 2;
  bool killed = false;
  char buf[65536];
  while (open_fds > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(-child.pid, SIGKILL);
      killed = true;
      break;
    }
    const int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got <= 0) {
        if (got < 0 && errno == EINTR) continue;
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
        continue;
      }
      std::string& dst = i == 0 ? r.out : r.err;
      if (dst.size() < kOutputCap) dst.append(buf, static_cast<std::size_t>(got));
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  int status = 0;
  while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exit_code = killed ? -1 : (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  if (killed) r.err = "git took longer than " + std::to_string(timeout.count() / 1000) + " s";
  return r;
}

Checkpoints::Checkpoints(fs::path git_dir, fs::path project, std::uint64_t max_bytes)
    : git_dir_(std::move(git_dir)), project_(std::move(project)), max_bytes_(max_bytes) {}

GitResult Checkpoints::git(const std::vector<std::string>& args) const {
  std::vector<std::string> a = {"--git-dir=" + git_dir_.string(),
                                "--work-tree=" + project_.string(),
                                "-c",
                                "core.quotepath=off",
                                "-c",
                                "core.autocrlf=false",
                                "-c",
                                "core.safecrlf=false",
                                "-c",
                                "core.symlinks=true",
                                "-c",
                                "gc.auto=0"};
  a.insert(a.end(), args.begin(), args.end());
  return run_git(a, {"GIT_INDEX_FILE=" + (git_dir_ / "kestravel-index").string()});
}

// A gitignore pattern that matches exactly `rel` (a directory) from the work tree's root.
std::string exact_dir_pattern(const fs::path& rel) {
  std::string out = "/";
  for (const char c : rel.generic_string()) {
    if (c == '\\' || c == '*' || c == '?' || c == '[' || c == '!' || c == '#' || c == ' ')
      out += '\\';
    out += c;
  }
  return out + "/\n";
}

void Checkpoints::exclude_state_folder() {
  if (excluded_) return;  // once per run: the folders do not move
  excluded_ = true;
  // Kestravel's own state (these checkpoints, the session being written) can live inside the
  // project, e.g. when the project is the home folder: it must never be part of a checkpoint,
  // or every turn would "change" it and /undo would rewind the repository under itself.
  std::error_code ec;
  const fs::path state = fs::weakly_canonical(git_dir_.parent_path().parent_path(), ec);
  if (ec) return;
  const fs::path root = fs::weakly_canonical(project_, ec);
  if (ec) return;
  const fs::path rel = state.lexically_relative(root);
  const std::string pattern =
      rel.empty() || rel == "." || *rel.begin() == ".." ? "" : exact_dir_pattern(rel);
  const fs::path file = git_dir_ / "info" / "exclude";
  fs::create_directories(file.parent_path(), ec);
  std::string now;
  if (FILE* f = std::fopen(file.c_str(), "rb")) {
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) now.append(buf, n);
    std::fclose(f);
  }
  if (now == pattern) return;
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(pattern.data(), 1, pattern.size(), f);
    std::fclose(f);
  }
}

bool Checkpoints::ensure_repo() {
  struct stat st {};
  if (::stat((git_dir_ / "HEAD").c_str(), &st) == 0) {
    exclude_state_folder();
    return true;
  }
  try {
    make_private_dirs(git_dir_.parent_path());
  } catch (const std::exception& e) {
    note_ = e.what();
    return false;
  }
  const GitResult r = run_git({"init", "-q", "--bare", git_dir_.string()});
  if (!r.ok()) {
    note_ = "git init failed: " + r.err;
    return false;
  }
  ::chmod(git_dir_.c_str(), 0700);
  exclude_state_folder();
  return true;
}

bool Checkpoints::over_size() {
  if (max_bytes_ == 0 || size_checked_ == 1) return false;
  if (size_checked_ == 2) return true;
  // What `add -A` would take: tracked and untracked files, .gitignore honoured; nothing hashed.
  const GitResult r = git({"ls-files", "-z", "--cached", "--others", "--exclude-standard"});
  if (!r.ok()) return false;  // the add itself will say what is wrong
  std::uint64_t total = 0;
  for (const auto& p : split_z(r.out)) {
    struct stat st {};
    if (::lstat((project_ / p).c_str(), &st) == 0 && S_ISREG(st.st_mode))
      total += static_cast<std::uint64_t>(st.st_size);
    if (total > max_bytes_) {
      size_checked_ = 2;
      note_ = "no checkpoints (so no /undo): the project's files are over " +
              std::to_string(max_bytes_ >> 20) + " MB ([sessions] checkpoint_max_mb)";
      return true;
    }
  }
  size_checked_ = 1;
  return false;
}

std::string Checkpoints::snapshot() {
  if (!ensure_repo()) return "";
  if (over_size()) return "";
  GitResult r = git({"add", "-A", "--ignore-errors", "."});
  if (r.exit_code != 0 && r.exit_code != 1) {  // 1: some file could not be read, the rest added
    note_ = "no checkpoint: git add failed: " + r.err.substr(0, 300);
    return "";
  }
  r = git({"write-tree"});
  if (!r.ok()) {
    note_ = "no checkpoint: git write-tree failed: " + r.err.substr(0, 300);
    return "";
  }
  std::string tree = r.out;
  while (!tree.empty() && (tree.back() == '\n' || tree.back() == '\r')) tree.pop_back();
  return tree;
}

std::vector<std::string> Checkpoints::changed(const std::string& from,
                                              const std::string& to) const {
  if (from.empty() || to.empty() || from == to) return {};
  const GitResult r = git({"diff-tree", "-r", "-z", "--no-renames", "--name-only", from, to});
  if (!r.ok()) return {};
  std::vector<std::string> out;
  for (auto& p : split_z(r.out))
    if (safe_relative(p)) out.push_back(std::move(p));
  return out;
}

std::string Checkpoints::diff(const std::string& from, const std::string& to) const {
  if (from.empty() || to.empty() || from == to) return "";
  const GitResult r = git({"diff", "--no-color", "--no-ext-diff", "--no-renames", from, to});
  return r.ok() ? r.out : "";
}

std::vector<std::string> Checkpoints::restore(const std::string& tree,
                                              const std::vector<std::string>& paths) {
  std::vector<std::string> failed;
  // Which paths the tree holds.
  std::vector<std::string> present, absent;
  {
    const GitResult r = git({"ls-tree", "-r", "-z", "--name-only", tree});
    if (!r.ok()) return {"git ls-tree failed: " + r.err.substr(0, 300)};
    const auto listed = split_z(r.out);
    const std::unordered_set<std::string> in_tree(listed.begin(), listed.end());
    for (const auto& p : paths) (in_tree.count(p) != 0 ? present : absent).push_back(p);
  }
  for (const auto& p : absent) {
    if (!safe_relative(p) || !parents_safe(project_, p)) {
      failed.push_back(p + ": not removed (its directory is a symbolic link)");
      continue;
    }
    if (::unlink((project_ / p).c_str()) != 0 && errno != ENOENT)
      failed.push_back(p + ": not removed: " + std::strerror(errno));
  }
  std::vector<std::string> to_write;
  for (const auto& p : present) {
    if (!safe_relative(p) || !parents_safe(project_, p)) {
      failed.push_back(p + ": not restored (its directory is a symbolic link)");
      continue;
    }
    // A symbolic link (or anything else) now in the file's place goes first, so nothing is
    // written through it.
    struct stat st {};
    if (::lstat((project_ / p).c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
      ::unlink((project_ / p).c_str());
    to_write.push_back(p);
  }
  if (to_write.empty()) return failed;
  // checkout-index from a temporary index holding the checkpoint's tree: git writes each file
  // whole, with its mode, and refuses to write beyond a symbolic link.
  const std::string index = (git_dir_ / "kestravel-undo-index").string();
  const std::vector<std::string> env = {"GIT_INDEX_FILE=" + index};
  std::vector<std::string> base = {"--git-dir=" + git_dir_.string(),
                                   "--work-tree=" + project_.string(), "-c", "core.symlinks=true"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> a = base;
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  GitResult r = run_git(with({"read-tree", tree}), env);
  if (r.ok()) {
    for (std::size_t i = 0; i < to_write.size() && r.ok(); i += 200) {
      std::vector<std::string> a = {"checkout-index", "-f", "--"};
      for (std::size_t j = i; j < to_write.size() && j < i + 200; ++j) a.push_back(to_write[j]);
      r = run_git(with(a), env);
    }
  }
  ::unlink(index.c_str());
  if (!r.ok()) failed.push_back("git checkout-index failed: " + r.err.substr(0, 300));
  return failed;
}

void FileHistory::warm_up_in_background(const std::shared_ptr<FileHistory>& h) {
  if (!h) return;
  try {
    std::thread([h] {
      try {
        std::lock_guard lock(h->m_);
        (void)h->cp_.snapshot();  // a note it leaves is given by the first turn's own try
      } catch (...) {
        // Only a warm-up: the first turn checkpoints (and reports) for itself.
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the first turn simply takes longer.
  }
}

void FileHistory::before_turn() {
  std::lock_guard lock(m_);
  pending_before_ = cp_.snapshot();
  if (pending_before_.empty() && !noted_) {
    note_ = cp_.note();
    noted_ = true;
  }
}

std::size_t FileHistory::after_turn() {
  std::lock_guard lock(m_);
  last_changed_ = 0;
  if (pending_before_.empty()) return 0;
  TurnCheckpoint t;
  t.before = std::exchange(pending_before_, "");
  t.after = cp_.snapshot();
  if (t.after.empty()) return 0;
  t.changed = cp_.changed(t.before, t.after);
  const std::size_t n = t.changed.size();
  last_changed_ = n;
  // A new turn after an undo: the undone turns cannot be undone again in order.
  if (undone_from_ < turns_.size()) turns_.resize(undone_from_);
  undone_from_ = SIZE_MAX;
  turns_.push_back(std::move(t));
  return n;
}

std::string FileHistory::take_note() {
  std::lock_guard lock(m_);
  return std::exchange(note_, "");
}

std::size_t FileHistory::last_changed() const {
  std::lock_guard lock(m_);
  return last_changed_;
}

std::size_t FileHistory::turns() const {
  std::lock_guard lock(m_);
  return turns_.size();
}

std::optional<UndoPlan> FileHistory::plan_undo(std::string& why) {
  std::lock_guard lock(m_);
  std::size_t i = std::min(undone_from_, turns_.size());
  while (i > 0 && turns_[i - 1].changed.empty()) --i;
  if (i == 0) {
    why = turns_.empty() ? (cp_.note().empty() ? "No turn has changed files yet." : cp_.note())
                         : "No earlier turn changed files.";
    return std::nullopt;
  }
  UndoPlan plan;
  plan.turn = i - 1;
  const TurnCheckpoint& t = turns_[plan.turn];
  plan.files = t.changed;
  const std::string now = cp_.snapshot();
  if (now.empty()) {
    why = "Cannot see the files as they are now: " + cp_.note();
    return std::nullopt;
  }
  for (const auto& p : cp_.changed(t.after, now)) {
    if (std::find(t.changed.begin(), t.changed.end(), p) != t.changed.end())
      plan.conflicts.push_back(p);
  }
  return plan;
}

std::vector<std::string> FileHistory::undo(const UndoPlan& plan) {
  std::lock_guard lock(m_);
  if (plan.turn >= turns_.size()) return {"that turn is gone"};
  std::vector<std::string> files;
  for (const auto& f : plan.files)
    if (std::find(plan.conflicts.begin(), plan.conflicts.end(), f) == plan.conflicts.end())
      files.push_back(f);
  auto failed = cp_.restore(turns_[plan.turn].before, files);
  undone_from_ = plan.turn;
  return failed;
}

std::string FileHistory::last_diff() {
  std::lock_guard lock(m_);
  std::size_t i = std::min(undone_from_, turns_.size());
  while (i > 0 && turns_[i - 1].changed.empty()) --i;
  if (i == 0) return "";
  return cp_.diff(turns_[i - 1].before, turns_[i - 1].after);
}

}  // namespace orvo::session
