#include "agent/shell_words.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

namespace orvo::agent {

namespace {

// Deeper nesting of substitutions and subshell strings than any real command uses; what lies
// below it is not looked into and the line is marked.
constexpr int kMaxDepth = 12;

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

bool is_operator(char c) {
  return c == '\n' || c == ';' || c == '&' || c == '|' || c == '(' || c == ')';
}

bool is_name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Index just past the `)` that closes a group opened just before `pos`. Quotes and escapes are
// skipped; an unclosed group runs to the end.
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
    } else if (c == '\'' || c == '"' || c == '`') {
      quote = c;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0) {
      return pos + 1;
    }
  }
  return s.size();
}

// Index just past the `}` closing a ${ opened just before `pos`.
std::size_t closing_brace(std::string_view s, std::size_t pos) {
  int depth = 1;
  for (; pos < s.size(); ++pos) {
    if (s[pos] == '\\') {
      ++pos;
    } else if (s[pos] == '{') {
      ++depth;
    } else if (s[pos] == '}' && --depth == 0) {
      return pos + 1;
    }
  }
  return s.size();
}

class Splitter {
 public:
  Splitter(std::string_view s, std::size_t base, int depth, ShellLine& out)
      : s_(s), base_(base), depth_(depth), out_(out) {}

  void run() {
    while (i_ < s_.size()) step();
    end_command(Connector::End);
  }

 private:
  void step() {
    const char c = s_[i_];
    if (is_blank(c)) {
      end_word();
      ++i_;
    } else if (c == '\\' && i_ + 1 < s_.size() && s_[i_ + 1] == '\n') {
      i_ += 2;  // a line continuation joins the lines
    } else if (c == '(' && !in_word_ && cmd_.words.empty() && cmd_.redirects.empty() &&
               i_ + 1 < s_.size() && s_[i_ + 1] == '(') {
      arithmetic_command();
    } else if ((c == '<' || c == '>') && !in_word_ && i_ + 1 < s_.size() && s_[i_ + 1] == '(') {
      mark_start();
      in_word_ = true;
      substitution(i_ + 2);  // process substitution <(...) or >(...)
    } else if (is_operator(c)) {
      operator_at();
    } else if (c == '#' && !in_word_) {
      while (i_ < s_.size() && s_[i_] != '\n') ++i_;
    } else if ((c == '>' || c == '<') && !(cmd_.words.size() > 0 && cmd_.words[0] == "[[")) {
      redirection();
    } else {
      mark_start();
      word_char();
    }
  }

  void operator_at() {
    const char c = s_[i_];
    const char n = i_ + 1 < s_.size() ? s_[i_ + 1] : '\0';
    if (c == '&' && n == '>') {  // &> file, &>> file
      end_word();
      mark_start();
      ++i_;
      output_redirect();
      return;
    }
    if (c == '\n') {
      end_command(Connector::Seq);
      ++i_;
      skip_heredocs();
      return;
    }
    if (c == '(') {
      end_command(Connector::Seq);
      ++pending_opens_;
      ++i_;
      return;
    }
    if (c == ')') {
      end_command(Connector::Seq);
      if (!out_.commands.empty() && out_.commands.size() > scope_floor_) {
        ++out_.commands.back().closes;
      }
      ++i_;
      return;
    }
    Connector k = Connector::Seq;
    std::size_t len = 1;
    if (c == '&') {
      k = n == '&' ? Connector::And : Connector::Background;
      len = n == '&' ? 2 : 1;
    } else if (c == '|') {
      k = n == '|' ? Connector::Or : Connector::Pipe;
      len = (n == '|' || n == '&') ? 2 : 1;
    } else if (c == ';') {
      len = n == ';' ? 2 : 1;  // ;; ends a case branch
    }
    end_command(k);
    i_ += len;
  }

  // (( ... )): arithmetic, not commands; only substitutions inside it run anything.
  void arithmetic_command() {
    mark_start();
    const std::size_t end = closing_paren(s_, i_ + 1);
    const std::size_t stop = std::min(end + 1, s_.size());
    nested_if_substitutes(i_ + 2, stop);
    cmd_.words.push_back("((...))");
    cmd_.flags.push_back(kWordExpanded);
    i_ = stop;
  }

  void redirection() {
    // A word made only of digits right before is the redirected descriptor (2>file).
    if (in_word_ && !word_.empty() && !(word_flags_ & kWordQuoted) &&
        std::all_of(word_.begin(), word_.end(), [](char d) { return d >= '0' && d <= '9'; })) {
      word_.clear();
      in_word_ = false;
      word_flags_ = 0;
    } else {
      end_word();
    }
    mark_start();
    if (s_[i_] == '>') {
      output_redirect();
      return;
    }
    ++i_;  // '<'
    Redirect r;
    r.kind = Redirect::Kind::Input;
    if (i_ < s_.size() && s_[i_] == '<') {
      ++i_;
      if (i_ < s_.size() && s_[i_] == '<') {  // here-string: its word is data
        ++i_;
        r.kind = Redirect::Kind::HereDoc;
        read_target();
        cmd_.redirects.push_back(std::move(r));
        return;
      }
      bool strip_tabs = false;
      if (i_ < s_.size() && s_[i_] == '-') {
        strip_tabs = true;
        ++i_;
      }
      r.kind = Redirect::Kind::HereDoc;
      unsigned flags = 0;
      std::string delim = read_target(&flags);
      heredocs_.push_back({std::move(delim), strip_tabs});
      cmd_.redirects.push_back(std::move(r));
      return;
    }
    if (i_ < s_.size() && s_[i_] == '&') {  // <&N duplicates a descriptor
      ++i_;
      read_target();
      return;
    }
    if (i_ < s_.size() && s_[i_] == '>') {
      ++i_;
      r.kind = Redirect::Kind::ReadWrite;
    }
    r.target = read_target(&r.flags);
    cmd_.redirects.push_back(std::move(r));
  }

  // At a '>' (or just after "&"): the operator and its target.
  void output_redirect() {
    ++i_;  // '>'
    Redirect r;
    if (i_ < s_.size() && s_[i_] == '>') {
      r.kind = Redirect::Kind::Append;
      ++i_;
    } else if (i_ < s_.size() && s_[i_] == '|') {
      ++i_;
    } else if (i_ < s_.size() && s_[i_] == '&') {
      ++i_;
      std::size_t j = i_;
      while (j < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[j])) || s_[j] == '-')) {
        ++j;
      }
      if (j > i_) {  // >&2, >&- : a descriptor, not a file
        i_ = j;
        return;
      }
    }
    r.target = read_target(&r.flags);
    if (r.target.empty() && !(r.flags & kWordExpanded)) return;
    if (r.kind == Redirect::Kind::Truncate) cmd_.overwrites.push_back(r.target);
    cmd_.redirects.push_back(std::move(r));
  }

  std::string read_target(unsigned* flags = nullptr) {
    while (i_ < s_.size() && is_blank(s_[i_])) ++i_;
    std::string saved = std::move(word_);
    const bool saved_in = in_word_;
    const unsigned saved_flags = word_flags_;
    word_.clear();
    in_word_ = false;
    word_flags_ = 0;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (is_blank(c) || is_operator(c) || c == '<' || c == '>') break;
      word_char();
    }
    std::string target = std::move(word_);
    if (flags) *flags = word_flags_;
    word_ = std::move(saved);
    in_word_ = saved_in;
    word_flags_ = saved_flags;
    return target;
  }

  // One character (or quoted run, or expansion) of a word.
  void word_char() {
    const char c = s_[i_];
    in_word_ = true;
    if (c == '\\') {
      word_flags_ |= kWordQuoted;
      if (i_ + 1 < s_.size()) word_.push_back(s_[i_ + 1]);
      i_ += 2;
    } else if (c == '\'') {
      word_flags_ |= kWordQuoted;
      const auto end = s_.find('\'', i_ + 1);
      const auto stop = end == std::string_view::npos ? s_.size() : end;
      word_.append(s_.substr(i_ + 1, stop - i_ - 1));
      i_ = stop + 1;
    } else if (c == '"') {
      word_flags_ |= kWordQuoted;
      ++i_;
      while (i_ < s_.size() && s_[i_] != '"') {
        if (s_[i_] == '\\' && i_ + 1 < s_.size()) {
          const char e = s_[i_ + 1];
          if (e != '"' && e != '\\' && e != '$' && e != '`' && e != '\n') word_.push_back('\\');
          if (e != '\n') word_.push_back(e);
          i_ += 2;
        } else if (s_[i_] == '$' || s_[i_] == '`') {
          dollar_or_backquote();
        } else {
          word_.push_back(s_[i_++]);
        }
      }
      ++i_;
    } else if (c == '$' && i_ + 1 < s_.size() && s_[i_ + 1] == '\'') {
      ansi_c_quote();
    } else if (c == '$' || c == '`') {
      dollar_or_backquote();
    } else {
      if (c == '*' || c == '?' || c == '[') word_flags_ |= kWordGlob;
      if (c == '{' && brace_expansion()) word_flags_ |= kWordGlob;
      word_.push_back(c);
      ++i_;
    }
  }

  // True when an unquoted { starts a brace expansion ({a,b} or {1..3}) before the word ends.
  bool brace_expansion() const {
    for (std::size_t j = i_ + 1; j < s_.size(); ++j) {
      const char d = s_[j];
      if (d == '}' || is_blank(d) || is_operator(d)) return false;
      if (d == ',' || (d == '.' && j + 1 < s_.size() && s_[j + 1] == '.')) return true;
    }
    return false;
  }

  void ansi_c_quote() {
    word_flags_ |= kWordQuoted;
    i_ += 2;
    while (i_ < s_.size() && s_[i_] != '\'') {
      if (s_[i_] == '\\' && i_ + 1 < s_.size()) {
        const char e = s_[i_ + 1];
        // Escapes that make a control character may hide anything; the value is not ours to tell.
        if (e == 'x' || e == 'u' || e == 'U' || (e >= '0' && e <= '7') || e == 'c') {
          word_flags_ |= kWordExpanded;
        }
        word_.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e);
        i_ += 2;
      } else {
        word_.push_back(s_[i_++]);
      }
    }
    ++i_;
  }

  void dollar_or_backquote() {
    if (s_[i_] == '`') {
      std::size_t j = i_ + 1;
      while (j < s_.size() && s_[j] != '`') j += s_[j] == '\\' ? 2 : 1;
      const std::size_t stop = std::min(j, s_.size());
      nested(i_ + 1, stop);
      word_ += "$(...)";
      word_flags_ |= kWordExpanded;
      i_ = std::min(stop + 1, s_.size());
      return;
    }
    const char n = i_ + 1 < s_.size() ? s_[i_ + 1] : '\0';
    if (n == '(' && i_ + 2 < s_.size() && s_[i_ + 2] == '(') {  // $(( arithmetic ))
      const std::size_t end = closing_paren(s_, i_ + 2);
      nested_if_substitutes(i_ + 3, end);
      word_ += "$((...))";
      word_flags_ |= kWordExpanded;
      i_ = end;
      if (i_ < s_.size() && s_[i_] == ')') ++i_;
    } else if (n == '(') {
      substitution(i_ + 2);
    } else if (n == '{') {
      const std::size_t end = closing_brace(s_, i_ + 2);
      nested_if_substitutes(i_ + 2, end);
      word_.append(s_.substr(i_, end - i_));
      word_flags_ |= kWordExpanded;
      i_ = end;
    } else if (is_name_char(n) || n == '@' || n == '*' || n == '#' || n == '?' || n == '$' ||
               n == '!' || n == '-') {
      std::size_t j = i_ + 1;
      if (is_name_char(n) && !std::isdigit(static_cast<unsigned char>(n))) {
        while (j < s_.size() && is_name_char(s_[j])) ++j;
      } else {
        ++j;
      }
      word_.append(s_.substr(i_, j - i_));
      word_flags_ |= kWordExpanded;
      i_ = j;
    } else {
      word_.push_back('$');
      ++i_;
    }
  }

  void substitution(std::size_t start) {
    const std::size_t end = closing_paren(s_, start);
    nested(start, end > start && s_[end - 1] == ')' ? end - 1 : end);
    word_ += "$(...)";
    word_flags_ |= kWordExpanded;
    i_ = end;
  }

  void nested_if_substitutes(std::size_t from, std::size_t to) {
    const std::string_view inner = s_.substr(from, to > from ? to - from : 0);
    if (inner.find("$(") != std::string_view::npos || inner.find('`') != std::string_view::npos) {
      nested(from, to);
    }
  }

  // Commands inside a substitution run first, in a subshell of their own.
  void nested(std::size_t from, std::size_t to) {
    if (to <= from) return;
    if (depth_ >= kMaxDepth) {
      out_.too_deep = true;
      return;
    }
    const std::size_t first = out_.commands.size();
    Splitter sub(s_.substr(from, to - from), base_ + from, depth_ + 1, out_);
    sub.scope_floor_ = first;
    sub.run();
    if (out_.commands.size() > first) {
      ++out_.commands[first].opens;
      ++out_.commands.back().closes;
      for (std::size_t k = first; k < out_.commands.size(); ++k) {
        out_.commands[k].in_substitution = true;
      }
    }
  }

  // Here-document bodies are data, not commands: skip them up to their delimiter lines.
  void skip_heredocs() {
    for (const auto& [delim, strip_tabs] : heredocs_) {
      while (i_ < s_.size()) {
        std::size_t eol = s_.find('\n', i_);
        if (eol == std::string_view::npos) eol = s_.size();
        std::string_view line = s_.substr(i_, eol - i_);
        if (strip_tabs) {
          while (!line.empty() && line.front() == '\t') line.remove_prefix(1);
        }
        i_ = std::min(eol + 1, s_.size());
        if (line == delim) break;
      }
    }
    heredocs_.clear();
  }

  void mark_start() {
    if (!started_) {
      started_ = true;
      cmd_.begin = base_ + i_;
    }
  }

  void end_word() {
    if (in_word_) {
      cmd_.words.push_back(std::move(word_));
      cmd_.flags.push_back(word_flags_);
    }
    word_.clear();
    in_word_ = false;
    word_flags_ = 0;
  }

  void end_command(Connector next) {
    end_word();
    if (!cmd_.words.empty() || !cmd_.redirects.empty()) {
      cmd_.end = base_ + i_;
      cmd_.next = next;
      cmd_.opens += pending_opens_;
      pending_opens_ = 0;
      cmd_.stdin_from_pipe = piped_;
      out_.commands.push_back(std::move(cmd_));
      piped_ = next == Connector::Pipe;
    } else if (next != Connector::Pipe) {
      piped_ = false;
    }
    cmd_ = {};
    started_ = false;
  }

  std::string_view s_;
  std::size_t base_;
  int depth_;
  ShellLine& out_;
  std::size_t i_ = 0;
  std::size_t scope_floor_ = 0;
  std::string word_;
  bool in_word_ = false;
  unsigned word_flags_ = 0;
  bool started_ = false;
  bool piped_ = false;
  int pending_opens_ = 0;
  std::vector<std::pair<std::string, bool>> heredocs_;
  SimpleCommand cmd_;
};

}  // namespace

ShellLine parse_shell(std::string_view line) {
  ShellLine out;
  Splitter(line, 0, 0, out).run();
  return out;
}

std::vector<SimpleCommand> split_commands(std::string_view command_line) {
  return parse_shell(command_line).commands;
}

}  // namespace orvo::agent
