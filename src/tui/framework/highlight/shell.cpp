// Shell scripts and console sessions.
#include "tui/framework/highlight/lex_families.hpp"
#include "tui/framework/highlight/lex_util.hpp"

namespace orvo::tui::lex {
namespace {

// ---- shell

class ShellLexer {
 public:
  ShellLexer() {
    words_.add(
        "if then else elif fi for while until do done case esac in function select time "
        "return exit export local readonly declare set unset shift source alias break "
        "continue eval exec trap",
        K::Keyword);
    words_.add("echo printf cd read test pwd exit kill wait sudo", K::Function);
  }

  void run(std::vector<CodeLine>& lines) const {
    char open = 0;  // a quote left open at the end of a line
    for (CodeLine& line : lines) {
      Emit emit(line);
      const std::string_view s = line.text;
      std::size_t i = 0;
      if (open != 0) {
        bool closed = false;
        i = quoted(s, 0, open, emit, closed);
        if (closed) open = 0;
      }
      bool word_start = true;
      while (i < s.size()) {
        const char c = s[i];
        const std::size_t start = i;
        if (is(c, kBlank)) {
          i = skip_blanks(s, i);
          emit(start, i, K::Plain);
          word_start = true;
          continue;
        }
        if (c == '#' && word_start) {
          emit(i, s.size(), K::Comment);
          break;
        }
        if (c == '"' || c == '\'') {
          emit(i, i + 1, K::String);
          bool closed = false;
          i = quoted(s, i + 1, c, emit, closed);
          if (!closed) open = c;
          word_start = false;
          continue;
        }
        if (c == '$') {
          i = variable(s, i);
          emit(start, i, i == start + 2 && s[start + 1] == '(' ? K::Operator : K::Variable);
          word_start = false;
          continue;
        }
        if (c == '{' || c == '}') {
          emit(i, i + 1, K::Punctuation);
          ++i;
          word_start = true;
          continue;
        }
        if (c == '|' || c == '&' || c == ';' || c == '<' || c == '>' || c == '(' || c == ')' ||
            c == '[' || c == ']' || c == '!' || c == '=' || c == '`') {
          emit(i, i + 1, K::Operator);
          ++i;
          word_start = c != '=' && c != '>' && c != '<';
          continue;
        }
        // A word: up to a blank, a quote or an operator.
        while (i < s.size() && !is(s[i], kBlank) &&
               std::string_view("\"'$|&;<>()[]{}!=`").find(s[i]) == std::string_view::npos) {
          ++i;
        }
        if (i == start) ++i;  // (cannot happen: every stopper is handled above)
        const std::string_view w = s.substr(start, i - start);
        K kind = K::Plain;
        if (word_start && i < s.size() && s[i] == '=' && is_name(w)) {
          kind = K::Variable;  // assignment
        } else if (word_start && s.substr(i, 2) == "()") {
          kind = K::Function;
        } else if (word_start) {
          kind = words_.find(w);
          if (kind == K::Plain && all_digits(w)) kind = K::Number;
        } else if (all_digits(w)) {
          kind = K::Number;
        }
        emit(start, i, kind);
        word_start = false;
      }
    }
  }

 private:
  static bool is_name(std::string_view w) {
    if (w.empty() || !is(w[0], kIdStart)) return false;
    for (char c : w) {
      if (!is(c, kIdPart)) return false;
    }
    return true;
  }
  static bool all_digits(std::string_view w) {
    for (char c : w) {
      if (!is(c, kDigit)) return false;
    }
    return !w.empty();
  }

  // $name, ${...}, $( (operator), $1, $@, $?.
  static std::size_t variable(std::string_view s, std::size_t i) {
    std::size_t j = i + 1;
    if (j >= s.size()) return j;
    if (s[j] == '{') {
      const std::size_t close = s.find('}', j);
      return close == std::string_view::npos ? s.size() : close + 1;
    }
    if (s[j] == '(') return j + 1;
    if (is(s[j], kIdStart)) return ident_end(s, j);
    if (is(s[j], kDigit) || std::string_view("@*#?$!-").find(s[j]) != std::string_view::npos) {
      return j + 1;
    }
    return j;
  }

  // The inside of a quoted string from `i`; variables inside double quotes are shown.
  static std::size_t quoted(std::string_view s, std::size_t i, char q, Emit& emit, bool& closed) {
    std::size_t from = i;
    while (i < s.size()) {
      const char c = s[i];
      if (c == q) {
        emit(from, i + 1, K::String);
        closed = true;
        return i + 1;
      }
      if (q == '"' && c == '\\' && i + 1 < s.size()) {
        emit(from, i, K::String);
        emit(i, i + 2, K::Escape);
        i = from = i + 2;
        continue;
      }
      if (q == '"' && c == '$' && i + 1 < s.size() && s[i + 1] != '(' && s[i + 1] != ' ' &&
          s[i + 1] != '"') {
        emit(from, i, K::String);
        const std::size_t e = variable(s, i);
        emit(i, e, K::Variable);
        i = from = e;
        continue;
      }
      ++i;
    }
    emit(from, i, K::String);
    closed = false;
    return i;
  }

  Words words_;
};

}  // namespace

void shell(std::vector<CodeLine>& lines) {
  static const ShellLexer lexer;
  lexer.run(lines);
}

}  // namespace orvo::tui::lex
