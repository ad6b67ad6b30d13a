// What a git command may discard: uncommitted, staged or stashed work, branches, or history that
// others already have.
#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "agent/consent_analysis.hpp"

namespace orvo::agent::consent {

namespace {

// The arguments after the subcommand: options (bundles split into letters) and operands.
struct GitArgs {
  std::vector<std::string> opts;   // "-f", "--force", "--force-with-lease=x" ...
  std::vector<std::string> ops;    // operands before --
  std::vector<std::string> paths;  // operands after --
  bool dashdash = false;

  bool has(std::initializer_list<const char*> names) const {
    for (const auto& o : opts) {
      for (const char* n : names) {
        const std::string s = n;
        if (o == s || (s.rfind("--", 0) == 0 && o.rfind(s + "=", 0) == 0)) return true;
      }
    }
    return false;
  }
};

GitArgs git_args(const Words& w, std::size_t from, std::initializer_list<const char*> with_value) {
  GitArgs g;
  for (std::size_t j = from; j < w.size(); ++j) {
    const std::string& s = w.w[j];
    if (g.dashdash) {
      g.paths.push_back(s);
    } else if (s == "--") {
      g.dashdash = true;
    } else if (s.size() > 1 && s[0] == '-' && s[1] != '-') {
      for (std::size_t k = 1; k < s.size(); ++k) {
        const std::string o = std::string("-") + s[k];
        g.opts.push_back(o);
        if (one_of(o, with_value)) {
          if (k + 1 == s.size()) ++j;
          break;
        }
      }
    } else if (s.size() > 2 && s[0] == '-') {
      g.opts.push_back(s);
      if (s.find('=') == std::string::npos && one_of(s, with_value)) ++j;
    } else {
      g.ops.push_back(s);
    }
  }
  return g;
}

std::string local_changes(const std::vector<std::string>& paths) {
  if (paths.size() == 1 && (paths[0] == "." || paths[0] == ":/")) {
    return "discards local changes in every file";
  }
  return "discards local changes in " + names(paths);
}

}  // namespace

void git_rules(Analysis& a, const Words& w, std::size_t i) {
  // Global options; -C moves where git works.
  std::size_t j = i + 1;
  Target where;
  bool moved = false;
  for (; j < w.size(); ++j) {
    const std::string& s = w.w[j];
    if (s.empty() || s[0] != '-') break;
    if (s == "-C" && j + 1 < w.size()) {
      where = a.resolve(w.w[j + 1], w.f[j + 1]);
      moved = true;
      ++j;
    } else if (one_of(s, {"-c", "--git-dir", "--work-tree", "--namespace", "--exec-path",
                          "--super-prefix", "--config-env"})) {
      ++j;
    } else if (s.rfind("--git-dir=", 0) == 0 || s.rfind("--work-tree=", 0) == 0) {
      const std::string dir = s.substr(s.find('=') + 1);
      a.check_inside(a.resolve(dir, w.f[j]), "works on a repository");
    }
  }
  if (j >= w.size()) return;
  const std::string sub = w.w[j];
  const std::size_t rest = j + 1;

  static const char* const read_only[] = {
      "status",   "log",      "diff",         "show",     "rev-parse",   "ls-files", "ls-tree",
      "cat-file", "blame",    "grep",         "describe", "shortlog",    "help",     "version",
      "rev-list", "show-ref", "for-each-ref", "var",      "check-ignore"};
  const bool reads_only =
      std::find_if(std::begin(read_only), std::end(read_only),
                   [&](const char* r) { return sub == r; }) != std::end(read_only);
  if (moved && !reads_only) a.check_inside(where, "works on a repository");

  if (sub == "reset") {
    const GitArgs g = git_args(w, rest, {});
    if (g.has({"--hard", "--merge", "--keep"})) {
      a.ask("discards uncommitted changes (git reset " +
            std::string(g.has({"--hard"})    ? "--hard"
                        : g.has({"--merge"}) ? "--merge"
                                             : "--keep") +
            ")");
    }
  } else if (sub == "checkout") {
    const GitArgs g = git_args(w, rest, {"-b", "-B", "--orphan", "--conflict"});
    if (g.has({"-f", "--force"})) a.ask("discards uncommitted changes (git checkout --force)");
    if (g.has({"-B"})) a.ask("resets a branch that may exist (git checkout -B)");
    if (g.has({"-b", "--orphan", "-B"})) return;
    std::vector<std::string> paths = g.paths;
    if (!g.dashdash) {
      // `git checkout NAME` switches branches; NAME restores a file when it names one.
      for (std::size_t k = 0; k < g.ops.size(); ++k) {
        const Target t = a.resolve(g.ops[k], 0);
        const bool is_path = g.ops[k] == "." ||
                             (!t.unknown && !t.paths.empty() && Analysis::exists(t.paths.front()));
        if (is_path || (k > 0 && g.ops.size() > 1)) paths.push_back(g.ops[k]);
      }
    }
    if (!paths.empty() || g.has({"--ours", "--theirs"}) || w.from_input) {
      a.ask(local_changes(paths));
    }
  } else if (sub == "restore") {
    const GitArgs g = git_args(w, rest, {"-s", "--source"});
    std::vector<std::string> paths = g.ops;
    paths.insert(paths.end(), g.paths.begin(), g.paths.end());
    const bool staged_only = g.has({"-S", "--staged"}) && !g.has({"-W", "--worktree"});
    if (staged_only) {
      a.ask("discards staged changes in " + names(paths));
    } else {
      a.ask(local_changes(paths));
    }
  } else if (sub == "switch") {
    const GitArgs g = git_args(w, rest, {"-c", "-C", "--create", "--force-create", "--orphan"});
    if (g.has({"-f", "--force", "--discard-changes"})) {
      a.ask("discards uncommitted changes (git switch --discard-changes)");
    }
    if (g.has({"-C", "--force-create"})) a.ask("resets a branch that may exist (git switch -C)");
  } else if (sub == "stash") {
    const GitArgs g = git_args(w, rest, {"-m", "--message"});
    const std::string verb = g.ops.empty() ? "" : g.ops.front();
    if (verb == "drop" || verb == "clear") a.ask("drops stashed changes (git stash " + verb + ")");
  } else if (sub == "clean") {
    const GitArgs g = git_args(w, rest, {"-e", "--exclude"});
    if (!g.has({"-n", "--dry-run"})) a.ask("deletes untracked files (git clean)");
  } else if (sub == "rm") {
    const GitArgs g = git_args(w, rest, {});
    if (!g.has({"--cached"})) {
      std::vector<std::string> paths = g.ops;
      paths.insert(paths.end(), g.paths.begin(), g.paths.end());
      a.ask("deletes " + names(paths) + " (git rm)");
    }
  } else if (sub == "branch") {
    const GitArgs g = git_args(w, rest, {"-u", "--set-upstream-to", "-t", "--track"});
    if (g.has({"-d", "-D", "--delete"})) {
      a.ask("deletes branch " + names(g.ops));
    } else if (g.has({"-f", "--force", "-M", "-C"}) && !g.ops.empty()) {
      a.ask("replaces branch " + g.ops.back());
    }
  } else if (sub == "push") {
    const GitArgs g =
        git_args(w, rest, {"-o", "--push-option", "--repo", "--receive-pack", "--exec"});
    bool force = g.has({"-f", "--force", "--force-with-lease", "--force-if-includes", "--mirror"});
    bool remove = g.has({"-d", "--delete", "--prune"});
    for (std::size_t k = 1; k < g.ops.size(); ++k) {  // refspecs after the remote
      if (!g.ops[k].empty() && g.ops[k][0] == '+') force = true;
      if (!g.ops[k].empty() && g.ops[k][0] == ':') remove = true;
    }
    if (force) a.ask("rewrites published history (git push --force)");
    if (remove) a.ask("deletes remote branches (git push --delete)");
  } else if (one_of(sub, {"merge", "rebase", "cherry-pick", "revert", "am"})) {
    const GitArgs g = git_args(w, rest, {});
    if (g.has({"--abort"})) a.ask("may discard uncommitted changes (git " + sub + " --abort)");
  } else if (sub == "reflog") {
    const GitArgs g = git_args(w, rest, {});
    if (!g.ops.empty() && (g.ops.front() == "expire" || g.ops.front() == "delete")) {
      a.ask("discards the record of earlier states (git reflog " + g.ops.front() + ")");
    }
  } else if (sub == "gc" || sub == "prune") {
    const GitArgs g = git_args(w, rest, {});
    if (sub == "prune" || g.has({"--prune"})) {
      a.ask("discards unreachable commits and stashes (git " + sub + ")");
    }
  } else if (one_of(sub, {"filter-branch", "filter-repo"})) {
    a.ask("rewrites history (git " + sub + ")");
  } else if (sub == "update-ref") {
    const GitArgs g = git_args(w, rest, {"-m"});
    if (g.has({"-d"})) a.ask("deletes a reference (git update-ref -d)");
  } else if (sub == "worktree") {
    const GitArgs g = git_args(w, rest, {});
    if (!g.ops.empty() && g.ops.front() == "remove") {
      a.ask("deletes a worktree" +
            std::string(g.has({"-f", "--force"}) ? " with its changes" : "") +
            " (git worktree remove)");
    }
  } else if (sub == "checkout-index" || sub == "read-tree") {
    const GitArgs g = git_args(w, rest, {"--prefix"});
    if (g.has({"-f", "--force", "--reset", "-u"})) {
      a.ask("discards uncommitted changes (git " + sub + ")");
    }
  } else if (sub == "tag") {
    const GitArgs g = git_args(w, rest, {"-m", "-F", "-u"});
    if (g.has({"-f", "--force"})) a.ask("replaces a tag (git tag --force)");
  }
}

}  // namespace orvo::agent::consent
