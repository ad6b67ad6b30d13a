#include "agent/consent.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <utility>

#include <re2/re2.h>

#include "agent/consent_analysis.hpp"

namespace orvo::agent {

namespace fs = std::filesystem;

namespace {

// Beyond this many nested shell strings (sh -c 'sh -c ...') the analysis stops and asks.
constexpr int kMaxDepth = 8;

std::shared_ptr<const re2::RE2> compile(const std::string& pattern) {
  re2::RE2::Options opts;
  opts.set_log_errors(false);
  opts.set_max_mem(8 << 20);
  auto re = std::make_shared<const re2::RE2>(pattern, opts);
  return re->ok() ? re : nullptr;
}

bool is_assignment(const std::string& w) {
  const auto eq = w.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  if (std::isdigit(static_cast<unsigned char>(w[0]))) return false;
  return std::all_of(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(eq), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

bool harmless_device(const fs::path& p) {
  static const char* const ok[] = {"/dev/null",   "/dev/zero",   "/dev/full",
                                   "/dev/stdout", "/dev/stderr", "/dev/stdin",
                                   "/dev/tty",    "/dev/random", "/dev/urandom"};
  const std::string s = p.lexically_normal().string();
  for (const char* d : ok) {
    if (s == d) return true;
  }
  return s.rfind("/dev/fd/", 0) == 0 || s.rfind("/proc/self/fd/", 0) == 0;
}

bool has_glob(const std::string& s) {
  return s.find_first_of("*?[") != std::string::npos;
}

// True when a glob path may name something that exists: its last component matches an entry of
// its directory (a glob in a directory part counts as a match).
bool glob_matches(const fs::path& p) {
  const fs::path parent = p.parent_path();
  if (has_glob(parent.string())) return true;
  const std::string pattern = p.filename().string();
  std::error_code ec;
  fs::directory_iterator it(parent, ec), end;
  for (int n = 0; !ec && it != end && n < 100000; it.increment(ec), ++n) {
    if (::fnmatch(pattern.c_str(), it->path().filename().c_str(), FNM_PERIOD) == 0) return true;
  }
  return false;
}

// Options of wrapper commands that take the next word as their value.
bool wrapper_takes_value(const std::string& prog, const std::string& opt) {
  static const std::vector<std::pair<const char*, std::vector<const char*>>> table = {
      {"sudo", {"-u", "-g", "-C", "-D", "-h", "-p", "-r", "-t", "-T", "-U", "--user", "--group"}},
      {"doas", {"-u", "-C"}},
      {"env", {"-u", "--unset"}},
      {"nice", {"-n", "--adjustment"}},
      {"ionice", {"-c", "-n", "--class", "--classdata"}},
      {"timeout", {"-s", "-k", "--signal", "--kill-after"}},
      {"exec", {"-a"}},
      {"stdbuf", {"-i", "-o", "-e"}},
      {"flock", {"-w", "-E", "--timeout", "--conflict-exit-code"}},
      {"watch", {"-n", "--interval", "-d"}},
      {"xargs",
       {"-I", "-n", "-P", "-d", "-L", "-s", "-E", "-a", "--arg-file", "--delimiter", "--max-args",
        "--max-procs", "--max-lines", "--max-chars", "--eof"}},
      {"strace", {"-e", "-s", "-o", "-a", "-E", "-u", "-P", "-X"}},
      {"ltrace", {"-e", "-s", "-o", "-a", "-u"}},
  };
  for (const auto& [name, opts] : table) {
    if (prog != name) continue;
    return std::find_if(opts.begin(), opts.end(), [&](const char* o) { return opt == o; }) !=
           opts.end();
  }
  return false;
}

bool is_wrapper(const std::string& prog) {
  static const char* const wrappers[] = {
      "env",    "nice",   "ionice",  "timeout",  "command", "exec",  "nohup",   "time",
      "stdbuf", "setsid", "chronic", "unbuffer", "nocache", "flock", "taskset", "chrt",
      "watch",  "strace", "ltrace",  "xargs",    "builtin", "sudo",  "doas",    "catchsegv"};
  return std::find(std::begin(wrappers), std::end(wrappers), prog) != std::end(wrappers);
}

bool is_reserved(const std::string& w) {
  static const char* const words[] = {"!",    "{",  "}",    "then",  "else",  "elif",
                                      "fi",   "do", "done", "if",    "while", "until",
                                      "esac", "[[", "]]",   "coproc"};
  return std::find(std::begin(words), std::end(words), w) != std::end(words);
}

}  // namespace

namespace consent {

std::string basename_of(const std::string& w) {
  std::string s = w;
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  const auto slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

std::string names(const std::vector<std::string>& items) {
  if (items.empty()) return "files named on its input";
  if (items.size() > 3) return std::to_string(items.size()) + " files";
  std::string out;
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (k > 0) out += k + 1 == items.size() ? " and " : ", ";
    out += items[k];
  }
  return out;
}

Analysis::Analysis(const fs::path& root, const std::vector<ConsentPolicy::Rule>& rules)
    : root_(root), rules_(rules) {}

void Analysis::ask(std::string reason) {
  if (full()) return;
  if (first_trigger_.empty()) first_trigger_ = trigger_;
  if (std::find(reasons_.begin(), reasons_.end(), reason) == reasons_.end()) {
    reasons_.push_back(std::move(reason));
  }
}

std::optional<ConsentFinding> Analysis::finding() const {
  if (reasons_.empty()) return std::nullopt;
  ConsentFinding f;
  for (const auto& r : reasons_) f.reason += (f.reason.empty() ? "" : "; ") + r;
  f.trigger = first_trigger_;
  return f;
}

Target Analysis::resolve(const std::string& word, unsigned flags) const {
  Target t;
  t.shown = word;
  if ((flags & kWordExpanded) != 0 || word.empty()) {
    t.unknown = true;
    return t;
  }
  t.glob = (flags & kWordGlob) != 0;
  std::string w = word;
  if (w[0] == '~') {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0' || (w.size() > 1 && w[1] != '/')) {
      t.unknown = true;
      return t;
    }
    w = std::string(home) + w.substr(1);
  }
  if (w[0] == '/') {
    t.paths.push_back(fs::path(w).lexically_normal());
    return t;
  }
  if (places_ == nullptr || places_->unknown || places_->dirs.empty()) {
    t.unknown = true;
    return t;
  }
  for (const auto& d : places_->dirs) t.paths.push_back((d / w).lexically_normal());
  return t;
}

bool Analysis::outside(const fs::path& p) const {
  if (harmless_device(p)) return false;
  std::error_code ec;
  const fs::path c = fs::weakly_canonical(p, ec);
  if (ec) return true;
  const auto rel = c.lexically_relative(root_);
  return rel.empty() || *rel.begin() == "..";
}

bool Analysis::exists(const fs::path& p) {
  std::error_code ec;
  const auto st = fs::symlink_status(p, ec);
  return !ec && st.type() != fs::file_type::not_found && st.type() != fs::file_type::none;
}

bool Analysis::is_dir(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

void Analysis::check_write(const Target& t, bool replacing, const char* verb) {
  if (t.unknown) {
    ask("writes to a path the analysis cannot tell (" + t.shown + ")");
    return;
  }
  for (const auto& p : t.paths) {
    if (harmless_device(p)) continue;
    if (outside(p)) {
      ask("writes outside the project (" + t.shown + ")");
      return;
    }
    if (replacing && (t.glob ? glob_matches(p) : exists(p))) {
      const bool slash = is_dir(p) && !t.shown.empty() && t.shown.back() != '/';
      ask(std::string(verb) + " " + t.shown + (slash ? "/" : ""));
      return;
    }
  }
}

void Analysis::check_inside(const Target& t, const char* what) {
  if (t.unknown) {
    ask(std::string(what) + " where the analysis cannot tell (" + t.shown + ")");
    return;
  }
  for (const auto& p : t.paths) {
    if (outside(p)) {
      ask(std::string(what) + " outside the project (" + t.shown + ")");
      return;
    }
  }
}

void Analysis::line(std::string_view text, Places start, int depth, std::string_view trigger) {
  const Places* saved_places = places_;
  std::string saved_trigger = trigger_;
  std::optional<Places> saved_moved = std::move(moved);
  if (depth > kMaxDepth) {
    trigger_ = trigger.empty() ? std::string(text) : std::string(trigger);
    ask("nests shell commands too deeply to analyse");
  } else {
    const ShellLine parsed = parse_shell(text);
    std::vector<Places> scopes{std::move(start)};
    for (const auto& cmd : parsed.commands) {
      if (full()) break;
      for (int k = 0; k < cmd.opens; ++k) scopes.push_back(scopes.back());
      places_ = &scopes.back();
      if (trigger.empty()) {
        std::string_view t = text.substr(cmd.begin, cmd.end - cmd.begin);
        while (!t.empty() && (t.back() == ' ' || t.back() == '\t' || t.back() == '\n')) {
          t.remove_suffix(1);
        }
        trigger_ = std::string(t);
      } else {
        trigger_ = std::string(trigger);
      }
      moved.reset();
      simple(cmd, depth);
      if (moved) {
        Places& here = scopes.back();
        if (cmd.next == Connector::And) {
          here = std::move(*moved);
        } else if (cmd.next != Connector::Pipe && cmd.next != Connector::Background) {
          // The cd may fail and the next command run where it was: either place is possible.
          for (auto& d : moved->dirs) {
            if (std::find(here.dirs.begin(), here.dirs.end(), d) == here.dirs.end()) {
              here.dirs.push_back(std::move(d));
            }
          }
          here.unknown = here.unknown || moved->unknown;
        }
      }
      for (int k = 0; k < cmd.closes && scopes.size() > 1; ++k) scopes.pop_back();
    }
    if (parsed.too_deep) ask("nests substitutions too deeply to analyse");
  }
  places_ = saved_places;
  trigger_ = std::move(saved_trigger);
  moved = std::move(saved_moved);
}

void Analysis::inner_line(const std::string& text, int depth) {
  const std::string trigger = trigger_;  // line() reassigns trigger_ while it reads this
  line(text, places_ ? *places_ : Places{}, depth + 1, trigger);
}

void Analysis::simple(const SimpleCommand& cmd, int depth) {
  redirects(cmd);
  Words w;
  w.w = cmd.words;
  w.f = cmd.flags;
  w.stdin_fed = cmd.stdin_from_pipe;
  for (const auto& r : cmd.redirects) {
    if (r.kind == Redirect::Kind::Input || r.kind == Redirect::Kind::HereDoc) w.stdin_fed = true;
  }
  words(std::move(w), depth);
}

void Analysis::redirects(const SimpleCommand& cmd) {
  for (const auto& r : cmd.redirects) {
    if (r.kind == Redirect::Kind::Truncate) {
      check_write(resolve(r.target, r.flags), true, "overwrites");
    } else if (r.kind == Redirect::Kind::Append || r.kind == Redirect::Kind::ReadWrite) {
      check_write(resolve(r.target, r.flags), false);
    }
  }
}

void Analysis::change_dir(const Words& w, std::size_t i, const std::string& prog) {
  Places next;
  if (prog == "popd") {
    if (dir_stack_.empty()) {
      next.unknown = true;
    } else {
      next = std::move(dir_stack_.back());
      dir_stack_.pop_back();
    }
    moved = std::move(next);
    return;
  }
  std::size_t j = i + 1;
  while (j < w.size() && w.w[j].size() > 1 && w.w[j][0] == '-' && w.literal(j)) {
    if (w.w[j] == "--") {
      ++j;
      break;
    }
    ++j;
  }
  if (j >= w.size()) {  // cd alone goes home
    const char* home = std::getenv("HOME");
    if (home && *home) {
      next.dirs.push_back(fs::path(home));
    } else {
      next.unknown = true;
    }
  } else if (w.w[j] == "-" || (prog == "pushd" && !w.w[j].empty() && w.w[j][0] == '+')) {
    next.unknown = true;
  } else {
    const Target t = resolve(w.w[j], w.f[j]);
    next.unknown = t.unknown || t.glob;
    if (!next.unknown) next.dirs = t.paths;
  }
  if (prog == "pushd" && places_) dir_stack_.push_back(*places_);
  moved = std::move(next);
}

void Analysis::words(Words w, int depth) {
  if (full()) return;
  std::size_t i = 0;
  while (i < w.size()) {
    if (is_assignment(w.w[i])) {
      ++i;
      continue;
    }
    if (!w.literal(i)) {
      ask("runs a command the analysis cannot tell (" + w.w[i] + ")");
      return;
    }
    const std::string prog = basename_of(w.w[i]);
    if (is_reserved(prog)) {
      ++i;
      continue;
    }
    if (prog == "for" || prog == "case" || prog == "select" || prog == "function") return;
    if (!is_wrapper(prog)) break;
    if (prog == "sudo" || prog == "doas") ask("runs as another user (" + prog + ")");
    if (prog == "xargs") w.from_input = true;
    ++i;
    // The wrapper's own options.
    while (i < w.size() && w.w[i].size() > 1 && w.w[i][0] == '-') {
      const std::string& o = w.w[i];
      if (o == "--") {
        ++i;
        break;
      }
      if ((prog == "command" && (o == "-v" || o == "-V")) || (prog == "ionice" && o == "-p") ||
          (prog == "taskset" && o == "-p")) {
        return;  // looks a command up or changes a running process; runs nothing
      }
      if (prog == "env" && (o == "-C" || o.rfind("--chdir", 0) == 0)) {
        ask("runs a command in another directory (env " + o + ")");
        return;
      }
      if ((prog == "env" && (o == "-S" || o.rfind("--split-string", 0) == 0)) ||
          (prog == "flock" && (o == "-c" || o == "--command"))) {
        const std::size_t v = o.find('=') != std::string::npos ? i : i + 1;
        if (v < w.size()) {
          const std::string text = v == i ? o.substr(o.find('=') + 1) : w.w[v];
          if (!w.literal(v)) {
            ask("runs a command the analysis cannot tell (" + text + ")");
          } else {
            inner_line(text, depth);
          }
        }
        return;
      }
      if (wrapper_takes_value(prog, o)) ++i;
      ++i;
    }
    if (prog == "env") {
      while (i < w.size() && is_assignment(w.w[i])) ++i;
    }
    if ((prog == "timeout" || prog == "taskset" || prog == "chrt" || prog == "flock") &&
        i < w.size()) {
      ++i;  // the duration, mask, priority or lock file
    }
    if (prog == "flock" && i < w.size() && (w.w[i] == "-c" || w.w[i] == "--command")) {
      if (i + 1 < w.size()) {
        if (!w.literal(i + 1)) {
          ask("runs a command the analysis cannot tell (" + w.w[i + 1] + ")");
        } else {
          inner_line(w.w[i + 1], depth);
        }
      }
      return;
    }
    if (prog == "watch" && i + 1 == w.size() && w.literal(i)) {
      inner_line(w.w[i], depth);  // watch hands a single word to sh -c
      return;
    }
  }
  if (i >= w.size()) return;
  const std::string prog = basename_of(w.w[i]);
  if (prog == "cd" || prog == "pushd" || prog == "popd") {
    change_dir(w, i, prog);
    return;
  }
  program_rules(*this, w, i, prog, depth);
  if (full()) return;
  std::string joined = prog;
  for (std::size_t j = i + 1; j < w.size(); ++j) joined += " " + w.w[j];
  for (const auto& r : rules_) {
    if (r.tool == "bash" && re2::RE2::PartialMatch(joined, *r.pattern)) ask(r.reason);
  }
}

}  // namespace consent

ConsentPolicy::ConsentPolicy(fs::path project_dir, const std::vector<ConsentRuleSpec>& extra) {
  std::error_code ec;
  root_ = fs::weakly_canonical(project_dir.empty() ? fs::current_path(ec) : project_dir, ec);
  for (const auto& rule : extra) {
    auto re = compile(rule.pattern);
    if (!re) {
      rejected_.push_back(rule.pattern);
      continue;
    }
    rules_.push_back({rule.tool, std::move(re),
                      rule.reason.empty() ? "matches a configured consent rule" : rule.reason});
  }
}

std::optional<ConsentFinding> ConsentPolicy::analyse_command(std::string_view command_line) const {
  consent::Analysis a(root_, rules_);
  consent::Places start;
  start.dirs.push_back(root_);
  a.line(command_line, std::move(start), 0);
  return a.finding();
}

std::optional<std::string> ConsentPolicy::check_command(std::string_view command_line) const {
  auto f = analyse_command(command_line);
  if (!f) return std::nullopt;
  return std::move(f->reason);
}

std::optional<std::string> ConsentPolicy::check_path(std::string_view tool,
                                                     std::string_view rel_path) const {
  const std::string path(rel_path);
  for (const auto& r : rules_) {
    if (r.tool == tool && re2::RE2::PartialMatch(path, *r.pattern)) return r.reason;
  }
  return std::nullopt;
}

}  // namespace orvo::agent
