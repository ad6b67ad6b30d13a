#include "agent/consent.hpp"

#include <algorithm>
#include <system_error>

namespace orvo::agent {

namespace fs = std::filesystem;

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t';
}

// Index just past the `)` that closes a substitution starting at `pos` (just after "$(").
std::size_t closing_paren(std::string_view s, std::size_t pos) {
  int depth = 1;
  char quote = 0;
  for (; pos < s.size(); ++pos) {
    const char c = s[pos];
    if (quote) {
      if (c == '\\' && quote == '"') {
        ++pos;
      } else if (c == quote) {
        quote = 0;
      }
      continue;
    }
    if (c == '\\') {
      ++pos;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0) {
      return pos + 1;
    }
  }
  return s.size();
}

class Splitter {
 public:
  explicit Splitter(std::string_view s) : s_(s) {}

  std::vector<SimpleCommand> run() {
    while (i_ < s_.size()) step();
    end_command();
    return std::move(out_);
  }

 private:
  void step() {
    const char c = s_[i_];
    if (is_space(c)) {
      end_word();
      ++i_;
    } else if (c == '\n' || c == ';' || c == '&' || c == '|' || c == '(' || c == ')') {
      if (c == '&' && i_ + 1 < s_.size() && s_[i_ + 1] == '>') {  // &> file, &>> file
        end_word();
        ++i_;
        redirect();
        return;
      }
      end_command();
      ++i_;
    } else if (c == '#' && word_.empty() && !in_word_) {
      while (i_ < s_.size() && s_[i_] != '\n') ++i_;
    } else if (c == '>' || c == '<') {
      // A word made only of digits right before is the redirected descriptor (2>file).
      if (!word_.empty() && std::all_of(word_.begin(), word_.end(), ::isdigit) && !quoted_) {
        word_.clear();
        in_word_ = false;
      } else {
        end_word();
      }
      if (c == '<') {
        ++i_;
        if (i_ < s_.size() && s_[i_] == '<') ++i_;  // here-document
        if (i_ < s_.size() && s_[i_] == '<') ++i_;  // here-string
        if (i_ < s_.size() && (s_[i_] == '&' || s_[i_] == '>')) ++i_;
        read_target();
        return;
      }
      redirect();
    } else {
      word_char();
    }
  }

  // At a '>' (or just after "&"): reads the operator and its target.
  void redirect() {
    ++i_;  // '>'
    bool append = false;
    if (i_ < s_.size() && s_[i_] == '>') {
      append = true;
      ++i_;
    } else if (i_ < s_.size() && s_[i_] == '|') {
      ++i_;
    } else if (i_ < s_.size() && s_[i_] == '&') {
      ++i_;
      std::size_t j = i_;
      while (j < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[j])) || s_[j] == '-'))
        ++j;
      if (j > i_) {  // >&2, >&- : a descriptor, not a file
        i_ = j;
        return;
      }
    }
    std::string target = read_target();
    if (!append && !target.empty()) cmd_.overwrites.push_back(std::move(target));
  }

  std::string read_target() {
    while (i_ < s_.size() && is_space(s_[i_])) ++i_;
    std::string saved = std::move(word_);
    const bool saved_in = in_word_;
    word_.clear();
    in_word_ = false;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (is_space(c) || c == '\n' || c == ';' || c == '&' || c == '|' || c == '(' || c == ')' ||
          c == '<' || c == '>') {
        break;
      }
      word_char();
    }
    std::string target = std::move(word_);
    word_ = std::move(saved);
    in_word_ = saved_in;
    return target;
  }

  // One character (or quoted run, or substitution) of a word.
  void word_char() {
    const char c = s_[i_];
    in_word_ = true;
    if (c == '\\') {
      if (i_ + 1 < s_.size()) word_.push_back(s_[i_ + 1]);
      i_ += 2;
    } else if (c == '\'') {
      quoted_ = true;
      const auto end = s_.find('\'', i_ + 1);
      const auto stop = end == std::string_view::npos ? s_.size() : end;
      word_.append(s_.substr(i_ + 1, stop - i_ - 1));
      i_ = stop + 1;
    } else if (c == '"') {
      quoted_ = true;
      ++i_;
      while (i_ < s_.size() && s_[i_] != '"') {
        if (s_[i_] == '\\' && i_ + 1 < s_.size()) {
          word_.push_back(s_[i_ + 1]);
          i_ += 2;
        } else if (s_[i_] == '$' && i_ + 1 < s_.size() && s_[i_ + 1] == '(') {
          substitution(i_ + 2);
        } else if (s_[i_] == '`') {
          backquote();
        } else {
          word_.push_back(s_[i_++]);
        }
      }
      ++i_;
    } else if (c == '$' && i_ + 1 < s_.size() && s_[i_ + 1] == '(') {
      substitution(i_ + 2);
    } else if (c == '`') {
      backquote();
    } else {
      word_.push_back(c);
      ++i_;
    }
  }

  void substitution(std::size_t start) {
    const std::size_t end = closing_paren(s_, start);
    nested(s_.substr(start, (end > start ? end - 1 : start) - start));
    word_ += "$(...)";
    i_ = end;
  }

  void backquote() {
    const auto end = s_.find('`', i_ + 1);
    const auto stop = end == std::string_view::npos ? s_.size() : end;
    nested(s_.substr(i_ + 1, stop - i_ - 1));
    word_ += "$(...)";
    i_ = stop + 1;
  }

  void nested(std::string_view inner) {
    if (depth_ > 8) return;
    Splitter sub(inner);
    sub.depth_ = depth_ + 1;
    for (auto& c : sub.run()) out_.push_back(std::move(c));
  }

  void end_word() {
    if (in_word_) cmd_.words.push_back(std::move(word_));
    word_.clear();
    in_word_ = false;
    quoted_ = false;
  }

  void end_command() {
    end_word();
    if (!cmd_.words.empty() || !cmd_.overwrites.empty()) out_.push_back(std::move(cmd_));
    cmd_ = {};
  }

  std::string_view s_;
  std::size_t i_ = 0;
  int depth_ = 0;
  std::string word_;
  bool in_word_ = false;
  bool quoted_ = false;
  SimpleCommand cmd_;
  std::vector<SimpleCommand> out_;
};

std::string basename_of(const std::string& w) {
  const auto slash = w.rfind('/');
  return slash == std::string::npos ? w : w.substr(slash + 1);
}

bool is_assignment(const std::string& w) {
  const auto eq = w.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  return std::all_of(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(eq), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

// Options of wrapper commands that take a value as the next word.
bool takes_value(const std::string& wrapper, const std::string& opt) {
  if (wrapper == "sudo" || wrapper == "doas") return opt == "-u" || opt == "-g" || opt == "-C";
  if (wrapper == "xargs") {
    return opt == "-I" || opt == "-n" || opt == "-P" || opt == "-d" || opt == "-L" || opt == "-s" ||
           opt == "-E" || opt == "-a";
  }
  if (wrapper == "nice") return opt == "-n";
  if (wrapper == "timeout") return opt == "-s" || opt == "-k";
  if (wrapper == "env") return opt == "-u" || opt == "-C";
  return false;
}

}  // namespace

std::vector<SimpleCommand> split_commands(std::string_view command_line) {
  return Splitter(command_line).run();
}

const std::vector<std::pair<std::string, std::string>>& ConsentPolicy::builtin_command_rules() {
  static const std::vector<std::pair<std::string, std::string>> rules = {
      {R"(^rm( |$))", "deletes files"},
      {R"(^rmdir( |$))", "removes directories"},
      {R"(^(shred|unlink|truncate)( |$))", "destroys file contents"},
      {R"(^git( .*)? reset( .*)? --hard( |$))", "discards uncommitted changes"},
      {R"(^git( .*)? push( .*)? (--force|--force-with-lease|--mirror|--delete|-[a-zA-Z]*f[a-zA-Z]*)(=| |$))",
       "rewrites the remote repository"},
      {R"(^git( .*)? push( .*)? \+)", "rewrites the remote repository"},
      {R"(^git( .*)? clean( |$))", "deletes untracked files"},
      {R"(^git( .*)? branch( .*)? (-D|--delete --force)( |$))", "deletes a branch"},
      {R"(^git( .*)? checkout( .*)? (--|\.)( |$))", "discards uncommitted changes"},
      {R"(^(chmod|chown|chgrp)( .*)? (-[a-zA-Z]*R[a-zA-Z]*|--recursive)( |$))",
       "changes permissions recursively"},
      {R"(^dd( |$))", "writes raw data"},
      {R"(^(mkfs|mkfs\.[a-z0-9]+|mke2fs|fdisk|sfdisk|parted|wipefs)( |$))", "formats a disk"},
      {R"(^find( .*)? (-delete|-exec(dir)? (rm|shred|mv|unlink))( |$))", "deletes files"},
      {R"(^(kill|killall|pkill)( |$))", "stops processes"},
      {R"(^(shutdown|reboot|poweroff|halt)( |$))", "stops the machine"},
  };
  return rules;
}

ConsentPolicy::ConsentPolicy(fs::path project_dir, const std::vector<ConsentRuleSpec>& extra) {
  std::error_code ec;
  root_ = fs::weakly_canonical(project_dir.empty() ? fs::current_path(ec) : project_dir, ec);
  for (const auto& [pattern, reason] : builtin_command_rules()) {
    rules_.push_back(
        {"bash", std::regex(pattern, std::regex::ECMAScript | std::regex::optimize), reason});
  }
  for (const auto& rule : extra) {
    // A bad pattern in the configuration must not stop the agent; such a rule is left out.
    try {
      rules_.push_back({rule.tool, std::regex(rule.pattern, std::regex::ECMAScript),
                        rule.reason.empty() ? "matches a configured consent rule" : rule.reason});
    } catch (const std::regex_error&) {
    }
  }
}

bool ConsentPolicy::is_outside(const std::string& target) const {
  if (target.empty()) return false;
  if (target[0] == '~' || target[0] == '$') return true;  // home or a variable: not ours to judge
  if (target.rfind("/dev/", 0) == 0) return false;        // /dev/null, /dev/stderr, ...
  std::error_code ec;
  fs::path p = fs::path(target).is_absolute() ? fs::path(target) : root_ / target;
  p = fs::weakly_canonical(p, ec);
  if (ec) return true;
  const auto rel = p.lexically_relative(root_);
  return rel.empty() || *rel.begin() == "..";
}

bool ConsentPolicy::is_existing_file(const std::string& target) const {
  if (target.empty() || target.rfind("/dev/", 0) == 0) return false;
  std::error_code ec;
  const fs::path p = fs::path(target).is_absolute() ? fs::path(target) : root_ / target;
  return fs::exists(p, ec) && !fs::is_directory(p, ec);
}

std::optional<std::string> ConsentPolicy::check_simple(const SimpleCommand& cmd, int depth) const {
  for (const auto& t : cmd.overwrites) {
    if (is_outside(t)) return "writes outside the project (" + t + ")";
    if (is_existing_file(t)) return "overwrites " + t;
  }
  // Strip assignments and wrappers; remember sudo.
  std::size_t i = 0;
  const auto& w = cmd.words;
  while (i < w.size()) {
    if (is_assignment(w[i])) {
      ++i;
      continue;
    }
    const std::string prog = basename_of(w[i]);
    if (prog == "sudo" || prog == "doas" || prog == "su" || prog == "pkexec") {
      return std::string("runs as another user (") + prog + ")";
    }
    static const char* const wrappers[] = {"env",    "nohup",   "time",  "nice",    "command",
                                           "exec",   "builtin", "xargs", "timeout", "stdbuf",
                                           "ionice", "then",    "do",    "else",    "if",
                                           "while",  "until",   "!",     "{",       "}"};
    if (std::find(std::begin(wrappers), std::end(wrappers), prog) == std::end(wrappers)) break;
    ++i;
    while (i < w.size() && !w[i].empty() && w[i][0] == '-') {
      if (takes_value(prog, w[i])) ++i;
      ++i;
    }
    if (prog == "timeout" && i < w.size()) ++i;  // the duration
    if (prog == "env") {
      while (i < w.size() && is_assignment(w[i])) ++i;
    }
  }
  if (i >= w.size()) return std::nullopt;
  const std::string prog = basename_of(w[i]);
  // A shell given a command string: check that string as a command line of its own.
  if ((prog == "sh" || prog == "bash" || prog == "dash" || prog == "zsh" || prog == "ksh") &&
      depth < 4) {
    for (std::size_t j = i + 1; j + 1 < w.size(); ++j) {
      if (w[j].size() > 1 && w[j][0] == '-' && w[j].find('c') != std::string::npos) {
        return check_line(w[j + 1], depth + 1);
      }
    }
  }
  if (prog == "eval" && depth < 4) {
    std::string rest;
    for (std::size_t j = i + 1; j < w.size(); ++j) rest += (j > i + 1 ? " " : "") + w[j];
    return check_line(rest, depth + 1);
  }
  std::string joined = prog;
  for (std::size_t j = i + 1; j < w.size(); ++j) joined += " " + w[j];
  for (const auto& r : rules_) {
    if (r.tool == "bash" && std::regex_search(joined, r.pattern)) return r.reason;
  }
  // mv and cp over an existing file; tee without -a truncates its files.
  if (prog == "mv" || prog == "cp" || prog == "tee") {
    std::vector<std::string> operands;
    std::string target_dir;
    bool append = false;
    bool no_clobber = false;
    for (std::size_t j = i + 1; j < w.size(); ++j) {
      const std::string& a = w[j];
      if (a == "-t" || a == "--target-directory") {
        if (j + 1 < w.size()) target_dir = w[++j];
      } else if (a.rfind("--target-directory=", 0) == 0) {
        target_dir = a.substr(19);
      } else if (a == "-a" || a == "--append") {
        append = true;
      } else if (a == "-n" || a == "--no-clobber" || a == "--update=none") {
        no_clobber = true;
      } else if (!a.empty() && a[0] == '-' && a != "-") {
        if (prog == "tee" && a.find('a') != std::string::npos && a.rfind("--", 0) != 0) {
          append = true;
        }
      } else {
        operands.push_back(a);
      }
    }
    if (prog == "tee") {
      for (const auto& t : operands) {
        if (is_outside(t)) return "writes outside the project (" + t + ")";
        if (!append && is_existing_file(t)) return "overwrites " + t;
      }
      return std::nullopt;
    }
    if (no_clobber) return std::nullopt;
    std::vector<std::string> sources = operands;
    std::string dest = target_dir;
    if (dest.empty()) {
      if (operands.size() < 2) return std::nullopt;
      dest = operands.back();
      sources.pop_back();
    }
    if (is_outside(dest)) return "writes outside the project (" + dest + ")";
    const std::string verb = prog == "mv" ? "moves" : "copies";
    std::error_code ec;
    const fs::path d = fs::path(dest).is_absolute() ? fs::path(dest) : root_ / dest;
    if (fs::is_directory(d, ec)) {
      for (const auto& s : sources) {
        const fs::path name = fs::path(s).filename();
        if (!name.empty() && fs::exists(d / name, ec) && !fs::is_directory(d / name, ec)) {
          return verb + " over an existing file (" + (fs::path(dest) / name).string() + ")";
        }
      }
    } else if (fs::exists(d, ec)) {
      return verb + " over an existing file (" + dest + ")";
    }
  }
  return std::nullopt;
}

std::optional<std::string> ConsentPolicy::check_line(std::string_view line, int depth) const {
  for (const auto& cmd : split_commands(line)) {
    if (auto reason = check_simple(cmd, depth)) return reason;
  }
  return std::nullopt;
}

std::optional<std::string> ConsentPolicy::check_command(std::string_view command_line) const {
  return check_line(command_line, 0);
}

std::optional<std::string> ConsentPolicy::check_path(std::string_view tool,
                                                     std::string_view rel_path) const {
  const std::string path(rel_path);
  for (const auto& r : rules_) {
    if (r.tool == tool && std::regex_search(path, r.pattern)) return r.reason;
  }
  return std::nullopt;
}

}  // namespace orvo::agent
