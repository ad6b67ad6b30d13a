// What each known program may destroy or change, read from its own options.
#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "agent/consent_analysis.hpp"

namespace orvo::agent::consent {

namespace {

// A program's arguments read the getopt way: short bundles, long options with =, -- ends them.
struct Args {
  std::vector<std::size_t> ops;  // indexes of operands
  std::string shorts;            // every short option letter seen
  std::vector<std::string> longs;
  std::vector<std::pair<std::string, std::pair<std::string, unsigned>>> values;

  bool has(char c) const { return shorts.find(c) != std::string::npos; }
  bool has(const char* name) const {
    return std::find(longs.begin(), longs.end(), name) != longs.end() ||
           std::any_of(values.begin(), values.end(),
                       [&](const auto& v) { return v.first == name; });
  }
  bool has_prefix(const std::string& prefix, std::string* which = nullptr) const {
    for (const auto& l : longs) {
      if (l.rfind(prefix, 0) == 0) {
        if (which) *which = l;
        return true;
      }
    }
    return false;
  }
  const std::pair<std::string, unsigned>* value(const std::string& key) const {
    for (const auto& v : values) {
      if (v.first == key) return &v.second;
    }
    return nullptr;
  }
};

Args parse(const Words& w, std::size_t from, const char* short_values,
           std::initializer_list<const char*> long_values = {}) {
  Args a;
  const std::string sv = short_values;
  for (std::size_t j = from; j < w.size(); ++j) {
    const std::string& s = w.w[j];
    if (s == "--") {
      for (++j; j < w.size(); ++j) a.ops.push_back(j);
      break;
    }
    if (s.size() < 2 || s[0] != '-' || !w.literal(j)) {
      a.ops.push_back(j);
      continue;
    }
    if (s[1] == '-') {
      const auto eq = s.find('=');
      if (eq != std::string::npos) {
        a.values.push_back({s.substr(0, eq), {s.substr(eq + 1), w.f[j]}});
      } else if (std::find_if(long_values.begin(), long_values.end(),
                              [&](const char* l) { return s == l; }) != long_values.end() &&
                 j + 1 < w.size()) {
        a.values.push_back({s, {w.w[j + 1], w.f[j + 1]}});
        ++j;
      } else {
        a.longs.push_back(s);
      }
      continue;
    }
    for (std::size_t k = 1; k < s.size(); ++k) {
      a.shorts.push_back(s[k]);
      if (sv.find(s[k]) == std::string::npos) continue;
      const std::string key = std::string("-") + s[k];
      if (k + 1 < s.size()) {
        a.values.push_back({key, {s.substr(k + 1), w.f[j]}});
      } else if (j + 1 < w.size()) {
        a.values.push_back({key, {w.w[j + 1], w.f[j + 1]}});
        ++j;
      }
      break;
    }
  }
  return a;
}

std::vector<std::string> shown_operands(Analysis& a, const Words& w,
                                        const std::vector<std::size_t>& ops) {
  std::vector<std::string> out;
  for (const auto i : ops) {
    std::string name = w.w[i];
    const Target t = a.resolve(name, w.f[i]);
    if (!t.unknown && !t.paths.empty() && Analysis::is_dir(t.paths.front()) && !name.empty() &&
        name.back() != '/') {
      name += '/';
    }
    out.push_back(std::move(name));
  }
  return out;
}

// mv, cp, install and ln: the destination is -t DIR or the last operand.
void copy_like(Analysis& a, const Words& w, std::size_t i, const std::string& prog) {
  const bool link = prog == "ln";
  const Args args = parse(w, i + 1,
                          link                ? "tS"
                          : prog == "install" ? "tSmog"
                                              : "tS",
                          {"--target-directory", "--suffix"});
  if (prog == "install" && args.has('d')) {  // install -d only creates directories
    for (const auto k : args.ops) a.check_inside(a.resolve(w.w[k], w.f[k]), "writes");
    return;
  }
  std::vector<std::size_t> sources = args.ops;
  Target dest;
  bool into_dir = false;
  if (const auto* t = args.value("-t") ? args.value("-t") : args.value("--target-directory")) {
    dest = a.resolve(t->first, t->second);
    into_dir = true;
  } else if (w.from_input) {
    a.ask(std::string(link           ? "links"
                      : prog == "mv" ? "moves"
                                     : "copies") +
          " files named on its input to a place the analysis cannot tell");
    return;
  } else if (link && args.ops.size() == 1) {
    dest = a.resolve(basename_of(w.w[args.ops[0]]), 0);
  } else {
    if (args.ops.size() < 2) return;
    dest = a.resolve(w.w[args.ops.back()], w.f[args.ops.back()]);
    sources.pop_back();
  }
  a.check_inside(dest, "writes");
  if (dest.unknown) return;
  if (prog == "mv") {
    for (const auto k : sources) a.check_inside(a.resolve(w.w[k], w.f[k]), "moves files from");
  }
  const bool replaces = link ? (args.has('f') || args.has("--force"))
                             : !(args.has('n') || args.has("--no-clobber") || args.has('b') ||
                                 args.has("--backup") || args.has("--update=none"));
  if (!replaces) return;
  const char* verb = link ? "replaces with a link" : "replaces";
  const bool no_target_dir = args.has('T') || args.has("--no-target-directory");
  for (const auto& d : dest.paths) {
    if (!into_dir && (no_target_dir || !Analysis::is_dir(d))) {
      a.check_write(dest, true, verb);
      return;
    }
    for (const auto k : sources) {
      const std::string name = basename_of(w.w[k]);
      Target inner;
      inner.shown =
          (dest.shown.empty() || dest.shown.back() == '/' ? dest.shown : dest.shown + "/") + name;
      inner.unknown = !w.literal(k);
      inner.glob = (w.f[k] & kWordGlob) != 0;
      inner.paths.push_back(d / name);
      a.check_write(inner, true, verb);
    }
  }
}

void shell(Analysis& a, const Words& w, std::size_t i, int depth) {
  bool has_c = false;
  bool reads_stdin = false;
  std::size_t j = i + 1;
  for (; j < w.size(); ++j) {
    const std::string& s = w.w[j];
    if (s == "--" || s == "-") {
      if (s == "-") reads_stdin = true;
      ++j;
      break;
    }
    if (s.size() < 2 || (s[0] != '-' && s[0] != '+')) break;
    if (s[1] == '-') {
      if (s == "--rcfile" || s == "--init-file") ++j;
      continue;
    }
    if (s.find('c') != std::string::npos) has_c = true;
    if (s.find('s') != std::string::npos) reads_stdin = true;
    if (s.find('o') != std::string::npos || s.find('O') != std::string::npos) ++j;
  }
  if (has_c) {
    if (j >= w.size()) return;
    if (!w.literal(j)) {
      a.ask("runs a shell command the analysis cannot tell (" + w.w[j] + ")");
    } else {
      a.inner_line(w.w[j], depth);
    }
    return;
  }
  if ((j >= w.size() || reads_stdin) && (w.stdin_fed || w.from_input)) {
    a.ask("runs shell commands from its input (" + basename_of(w.w[i]) + ")");
  }
}

// python, perl, ruby, node, php: code from standard input cannot be read here.
void interpreter(Analysis& a, const Words& w, std::size_t i, const std::string& prog) {
  bool code_given = false;
  bool in_place = false;
  std::size_t j = i + 1;
  std::vector<std::size_t> ops;
  for (; j < w.size(); ++j) {
    const std::string& s = w.w[j];
    if (s == "--") {
      ++j;
      break;
    }
    if (s.size() < 2 || s[0] != '-') break;
    if (s == "-m" || s == "-c" || s == "-e" || s == "-E" || s == "-r" || s == "-p" ||
        s == "--eval" || s == "--print") {
      code_given = true;
      if (prog.rfind("python", 0) == 0 && s == "-m" && j + 1 < w.size() && w.w[j + 1] == "pip" &&
          j + 2 < w.size() && one_of(w.w[j + 2], {"install", "uninstall"})) {
        a.ask("installs packages outside the project (pip " + w.w[j + 2] + ")");
      }
      ++j;  // the code or module
      continue;
    }
    if (prog == "perl" && s[1] != '-') {
      // Bundles such as -pi.bak or -lne: -i takes the rest as a suffix, -e the next word.
      for (std::size_t k = 1; k < s.size(); ++k) {
        if (s[k] == 'i') {
          in_place = true;
          break;
        }
        if (s[k] == 'e' || s[k] == 'E') {
          code_given = true;
          if (k + 1 == s.size()) ++j;
          break;
        }
        if (s[k] == 'M' || s[k] == 'm' || s[k] == 'I' || s[k] == 'x' || s[k] == '0' ||
            s[k] == 'l' || s[k] == 'C' || s[k] == 'd' || s[k] == 'D') {
          break;  // the rest of the bundle is this option's value
        }
      }
    }
  }
  for (; j < w.size(); ++j) ops.push_back(j);
  if (!code_given && ops.empty() && (w.stdin_fed || w.from_input)) {
    a.ask("runs code from its input (" + prog + ")");
  }
  if (in_place) {
    if (!code_given && !ops.empty()) ops.erase(ops.begin());  // the script
    if (w.from_input) a.ask("edits files named on its input");
    for (const auto k : ops) a.check_inside(a.resolve(w.w[k], w.f[k]), "edits files");
  }
}

void sed(Analysis& a, const Words& w, std::size_t i) {
  bool in_place = false;
  bool script_given = false;
  std::vector<std::size_t> ops;
  for (std::size_t j = i + 1; j < w.size(); ++j) {
    const std::string& s = w.w[j];
    if (s == "--") {
      for (++j; j < w.size(); ++j) ops.push_back(j);
      break;
    }
    if (s.size() < 2 || s[0] != '-') {
      ops.push_back(j);
      continue;
    }
    if (s[1] == '-') {
      if (s.rfind("--in-place", 0) == 0) in_place = true;
      if (s.rfind("--expression", 0) == 0 || s.rfind("--file", 0) == 0) {
        script_given = true;
        if (s.find('=') == std::string::npos) ++j;
      }
      continue;
    }
    for (std::size_t k = 1; k < s.size(); ++k) {
      if (s[k] == 'i') {
        in_place = true;
        break;  // the rest is the backup suffix
      }
      if (s[k] == 'e' || s[k] == 'f' || s[k] == 'l') {
        if (s[k] != 'l') script_given = true;
        if (k + 1 == s.size()) ++j;
        break;
      }
    }
  }
  if (!in_place) return;
  if (!script_given && !ops.empty()) ops.erase(ops.begin());
  if (w.from_input) a.ask("edits files named on its input");
  for (const auto k : ops) a.check_inside(a.resolve(w.w[k], w.f[k]), "edits files");
}

void find(Analysis& a, const Words& w, std::size_t i, int depth) {
  std::size_t j = i + 1;
  while (j < w.size() && (w.w[j] == "-H" || w.w[j] == "-L" || w.w[j] == "-P")) ++j;
  std::vector<std::size_t> starts;
  for (; j < w.size(); ++j) {
    const std::string& s = w.w[j];
    if (!s.empty() && (s[0] == '-' || s == "(" || s == "!" || s == ")")) break;
    starts.push_back(j);
  }
  const std::string start = starts.empty() ? "." : w.w[starts.front()];
  const unsigned start_flags = starts.empty() ? 0 : w.f[starts.front()];
  for (; j < w.size(); ++j) {
    const std::string& s = w.w[j];
    if (s == "-delete") {
      std::vector<std::string> shown;
      for (const auto k : starts) shown.push_back(w.w[k]);
      a.ask("deletes files found under " + (shown.empty() ? std::string(".") : names(shown)));
    } else if (one_of(s, {"-exec", "-execdir", "-ok", "-okdir"})) {
      Words sub;
      for (++j; j < w.size() && w.w[j] != ";" && w.w[j] != "+"; ++j) {
        std::string word = w.w[j];
        unsigned flags = w.f[j];
        for (auto p = word.find("{}"); p != std::string::npos;
             p = word.find("{}", p + start.size())) {
          word.replace(p, 2, start);
          flags |= start_flags;
        }
        sub.w.push_back(std::move(word));
        sub.f.push_back(flags);
      }
      a.words(std::move(sub), depth + 1);
    } else if (one_of(s, {"-fprint", "-fprint0", "-fls", "-fprintf"}) && j + 1 < w.size()) {
      a.check_write(a.resolve(w.w[j + 1], w.f[j + 1]), true);
      ++j;
    }
  }
}

bool package_change(const std::string& prog, const Words& w, std::size_t i, std::string& what) {
  const Args args = parse(w, i + 1, "");
  const std::string sub = args.ops.empty() ? "" : w.w[args.ops.front()];
  if (one_of(prog, {"apt", "apt-get", "aptitude", "dnf", "yum", "zypper", "apk", "snap", "flatpak",
                    "brew", "port"})) {
    if (one_of(sub, {"install", "remove", "purge", "upgrade", "dist-upgrade", "full-upgrade",
                     "autoremove", "uninstall", "reinstall", "erase", "add", "del", "update"})) {
      what = "changes the system's packages (" + prog + " " + sub + ")";
      return true;
    }
  } else if (prog == "dpkg") {
    if (args.has('i') || args.has('r') || args.has('P') || args.has("--install") ||
        args.has("--remove") || args.has("--purge")) {
      what = "changes the system's packages (dpkg)";
      return true;
    }
  } else if (prog == "pacman") {
    if (args.has('S') || args.has('R') || args.has('U')) {
      what = "changes the system's packages (pacman)";
      return true;
    }
  } else if (one_of(prog, {"pip", "pip3", "pipx", "gem", "cargo", "go"})) {
    if (one_of(sub, {"install", "uninstall"})) {
      what = "installs packages outside the project (" + prog + " " + sub + ")";
      return true;
    }
  } else if (one_of(prog, {"npm", "pnpm", "yarn", "bun"})) {
    if (sub == "global" || ((args.has('g') || args.has("--global")) &&
                            one_of(sub, {"install", "i", "add", "uninstall", "remove", "rm", "un",
                                         "link", "update", "upgrade"}))) {
      what = "installs packages outside the project (" + prog + " " + sub + " --global)";
      return true;
    }
  }
  return false;
}

}  // namespace

bool program_rules(Analysis& a, const Words& w, std::size_t i, const std::string& prog, int depth) {
  if (one_of(prog, {"rm", "unlink", "rmdir", "shred", "truncate", "srm", "wipe"})) {
    const Args args = parse(w, i + 1,
                            prog == "truncate" ? "sor"
                            : prog == "shred"  ? "ns"
                                               : "",
                            {"--size", "--reference", "--iterations", "--random-source"});
    const char* verb = prog == "rmdir"                     ? "removes the directory "
                       : prog == "truncate"                ? "truncates "
                       : prog == "shred" || prog == "wipe" ? "destroys "
                                                           : "deletes ";
    a.ask(verb + names(shown_operands(a, w, args.ops)));
    return true;
  }
  if (one_of(prog, {"mv", "cp", "install", "ln"})) {
    copy_like(a, w, i, prog);
    return true;
  }
  if (prog == "tee") {
    const Args args = parse(w, i + 1, "");
    const bool append = args.has('a') || args.has("--append");
    for (const auto k : args.ops) a.check_write(a.resolve(w.w[k], w.f[k]), !append);
    return true;
  }
  if (one_of(prog, {"touch", "mkdir", "mkfifo", "mknod", "chattr", "setfacl"})) {
    const Args args = parse(w, i + 1, prog == "touch" ? "dtr" : "m");
    for (const auto k : args.ops) {
      if (prog == "mknod" && k != args.ops.front()) break;
      if ((prog == "chattr" || prog == "setfacl") && k == args.ops.front()) continue;
      a.check_inside(a.resolve(w.w[k], w.f[k]), "writes");
    }
    return true;
  }
  if (one_of(prog, {"chmod", "chown", "chgrp"})) {
    const Args args = parse(w, i + 1, "");
    std::vector<std::size_t> files = args.ops;
    if (!files.empty() && !args.has_prefix("--reference")) files.erase(files.begin());
    const char* what = prog == "chmod" ? "permissions" : "ownership";
    if (args.has('R') || args.has("--recursive")) {
      a.ask(std::string("changes ") + what + " recursively (" + names(shown_operands(a, w, files)) +
            ")");
    }
    for (const auto k : files) {
      a.check_inside(a.resolve(w.w[k], w.f[k]), (std::string("changes ") + what).c_str());
    }
    return true;
  }
  if (prog == "sed" || prog == "gsed") {
    sed(a, w, i);
    return true;
  }
  if (one_of(prog, {"sh", "bash", "dash", "zsh", "ksh", "mksh", "ash", "fish"})) {
    shell(a, w, i, depth);
    return true;
  }
  if (prog == "busybox" && i + 1 < w.size()) {
    return program_rules(a, w, i + 1, basename_of(w.w[i + 1]), depth);
  }
  if (prog.rfind("python", 0) == 0 || one_of(prog, {"perl", "ruby", "node", "nodejs", "php"})) {
    interpreter(a, w, i, prog);
    return true;
  }
  if (prog == "eval" || prog == "trap") {
    std::string text;
    std::size_t last = w.size();
    if (prog == "trap") last = std::min(last, i + 2);  // trap CODE SIGNAL...
    for (std::size_t j = i + 1; j < last; ++j) {
      if (prog == "trap" && (w.w[j] == "-" || w.w[j][0] == '-')) return true;
      if (!w.literal(j)) {
        a.ask("evaluates text the analysis cannot tell (" + w.w[j] + ")");
        return true;
      }
      text += (j > i + 1 ? " " : "") + w.w[j];
    }
    a.inner_line(text, depth);
    return true;
  }
  if (prog == "source" || prog == ".") {
    if (i + 1 < w.size() && !w.literal(i + 1)) {
      a.ask("runs a file the analysis cannot tell (" + w.w[i + 1] + ")");
    }
    return true;
  }
  if (prog == "find") {
    find(a, w, i, depth);
    return true;
  }
  if (prog == "git") {
    git_rules(a, w, i);
    return true;
  }
  if (prog == "dd") {
    for (std::size_t j = i + 1; j < w.size(); ++j) {
      if (w.w[j].rfind("of=", 0) == 0) a.ask("writes raw data to " + w.w[j].substr(3));
    }
    return true;
  }
  if (prog == "curl" || prog == "wget" || prog == "sort") {
    const Args args =
        parse(w, i + 1,
              prog == "curl"   ? "oeHdAuXxTF"
              : prog == "wget" ? "OPo"
                               : "otTkS",
              {"--output", "--output-document", "--directory-prefix", "--output-dir"});
    for (const char* key : {"-o", "--output", "-O", "--output-document"}) {
      if (prog == "wget" && std::string(key) == "-o") continue;  // wget -o is its log
      if (const auto* v = args.value(key)) {
        if (v->first != "-") a.check_write(a.resolve(v->first, v->second), true);
      }
    }
    for (const char* key : {"-P", "--directory-prefix", "--output-dir"}) {
      if (const auto* v = args.value(key)) a.check_inside(a.resolve(v->first, v->second), "writes");
    }
    return true;
  }
  if (prog == "tar") {
    Words bundled = w;
    if (i + 1 < w.size() && !w.w[i + 1].empty() && w.w[i + 1][0] != '-') {
      bundled.w[i + 1] = "-" + w.w[i + 1];  // old style: tar xzf archive
    }
    const Args args = parse(bundled, i + 1, "fCTXbKNgV", {"--file", "--directory"});
    const bool extract = args.has('x') || args.has("--extract") || args.has("--get");
    const bool create = args.has('c') || args.has("--create");
    const auto* dir = args.value("-C") ? args.value("-C") : args.value("--directory");
    if (extract) {
      if (dir) a.check_inside(a.resolve(dir->first, dir->second), "extracts files");
      if (args.has("--overwrite") || args.has("--recursive-unlink") || args.has("--unlink-first")) {
        a.ask("replaces existing files (tar)");
      }
    }
    const auto* file = args.value("-f") ? args.value("-f") : args.value("--file");
    if (file && file->first != "-" && (create || args.has('r') || args.has('u'))) {
      a.check_write(a.resolve(file->first, file->second), create);
    }
    return true;
  }
  if (prog == "unzip") {
    const Args args = parse(w, i + 1, "dx");
    if (args.has('o')) a.ask("overwrites existing files (unzip -o)");
    if (const auto* d = args.value("-d"))
      a.check_inside(a.resolve(d->first, d->second), "extracts files");
    return true;
  }
  if (prog == "rsync" || prog == "scp") {
    const Args args = parse(w, i + 1, prog == "rsync" ? "eBfTM" : "cFiJlPoS");
    std::string opt;
    if (args.has_prefix("--delete", &opt) || args.has_prefix("--remove-source-files", &opt)) {
      a.ask("deletes files (" + prog + " " + opt + ")");
    }
    if (args.ops.size() < 2) return true;
    const std::string& dest = w.w[args.ops.back()];
    const auto colon = dest.find(':');
    if (colon != std::string::npos && dest.find('/') > colon) {
      a.ask("copies to another machine (" + dest + ")");
      return true;
    }
    const Target t = a.resolve(dest, w.f[args.ops.back()]);
    a.check_inside(t, "writes");
    for (const auto& p : t.paths) {
      std::error_code ec;
      if (Analysis::exists(p) && !(Analysis::is_dir(p) && std::filesystem::is_empty(p, ec))) {
        a.ask("may replace files in " + dest);
        break;
      }
    }
    return true;
  }
  if (prog == "ssh") {
    a.ask("runs commands on another machine (ssh)");
    return true;
  }
  if (one_of(prog, {"kill", "killall", "pkill", "skill", "xkill"})) {
    const Args args = parse(w, i + 1, "");
    if (!(prog == "kill" && (args.has('l') || args.has('L') || args.has('0'))))
      a.ask("stops processes");
    return true;
  }
  if (one_of(prog, {"shutdown", "reboot", "poweroff", "halt", "init", "telinit"})) {
    a.ask("stops the machine");
    return true;
  }
  if (prog.rfind("mkfs", 0) == 0 || one_of(prog, {"mke2fs", "mkswap", "fdisk", "sfdisk", "cfdisk",
                                                  "gdisk", "sgdisk", "parted", "wipefs"})) {
    a.ask("formats or repartitions a disk");
    return true;
  }
  if (one_of(prog, {"mount", "umount", "swapon", "swapoff"})) {
    a.ask("changes mounted file systems");
    return true;
  }
  if (prog == "systemctl" || prog == "service") {
    const Args args = parse(w, i + 1, "");
    const std::string sub = args.ops.empty() ? "" : w.w[args.ops.front()];
    if (!one_of(sub, {"", "status", "show", "list-units", "list-unit-files", "list-timers",
                      "is-active", "is-enabled", "is-failed", "cat", "help"})) {
      a.ask("changes system services (" + prog + " " + sub + ")");
    }
    return true;
  }
  if (prog == "crontab") {
    const Args args = parse(w, i + 1, "u");
    if (!(args.has('l') && args.ops.empty())) a.ask("changes your crontab");
    return true;
  }
  std::string what;
  if (package_change(prog, w, i, what)) {
    // A package tool run from inside the project (a virtual environment's pip) stays inside it.
    const std::string& word = w.w[i];
    bool local = false;
    if (word.find('/') != std::string::npos) {
      const Target t = a.resolve(word, w.f[i]);
      local = !t.unknown && !t.paths.empty() && !a.outside(t.paths.front());
    }
    if (!(local && (prog == "pip" || prog == "pip3"))) a.ask(what);
    return true;
  }
  return false;
}

}  // namespace orvo::agent::consent
