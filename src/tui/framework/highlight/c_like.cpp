// C-like languages: one scanner driven by a table of words and flags per language.
#include <utility>
#include <vector>

#include "tui/framework/highlight/c_like_rules.hpp"
#include "tui/framework/highlight/lex_families.hpp"
#include "tui/framework/highlight/lex_util.hpp"

namespace orvo::tui::lex {
namespace {

class CLexer {
 public:
  explicit CLexer(const CRules& lang) : rules_(lang) {
    words_.add(lang.keywords, K::Keyword);
    words_.add(lang.def_words, K::Keyword);
    words_.add(lang.type_words, K::Keyword);
    words_.add(lang.types, K::Type);
    words_.add(lang.constants, K::Keyword);
    words_.add(lang.builtins, K::Function);
    defs_.add(lang.def_words, K::Function);
    defs_.add(lang.type_words, K::Type);
  }

  void run(std::vector<CodeLine>& lines) const {
    State st;
    for (CodeLine& line : lines) {
      Emit emit(line);
      line_(line.text, st, emit);
    }
  }

 private:
  struct State {
    enum Mode : std::uint8_t { Normal, Block, Str } mode = Normal;
    int depth = 0;
    std::string close;
    bool escapes = true;
    K next = K::Plain;  // kind for the next identifier (after "def", "class", ...)
  };

  std::size_t block(std::string_view s, std::size_t i, State& st, Emit& emit) const {
    const std::size_t from = i;
    while (i < s.size()) {
      if (s[i] == '*' && i + 1 < s.size() && s[i + 1] == '/') {
        i += 2;
        if (--st.depth == 0) {
          st.mode = State::Normal;
          break;
        }
      } else if (rules_.nested_comment && s[i] == '/' && i + 1 < s.size() && s[i + 1] == '*') {
        i += 2;
        ++st.depth;
      } else {
        ++i;
      }
    }
    emit(from, i, K::Comment);
    return i;
  }

  std::size_t string(std::string_view s, std::size_t i, State& st, Emit& emit,
                     bool multiline) const {
    bool closed = false;
    i = scan_string(s, i, st.close, st.escapes, emit, closed);
    st.mode = (closed || !multiline) ? State::Normal : State::Str;
    return i;
  }

  std::size_t start_string(std::string_view s, std::size_t from, std::size_t i, std::string close,
                           bool escapes, bool multiline, State& st, Emit& emit) const {
    emit(from, i, K::String);
    st.close = std::move(close);
    st.escapes = escapes;
    return string(s, i, st, emit, multiline);
  }

  K classify(std::string_view w) const {
    if (!rules_.case_insensitive || w.size() > Words::kMaxWord) return words_.find(w);
    char buf[Words::kMaxWord];
    for (std::size_t k = 0; k < w.size(); ++k) buf[k] = lower_ascii(w[k]);
    return words_.find(std::string_view(buf, w.size()));
  }

  void line_(std::string_view s, State& st, Emit& emit) const {
    std::size_t i = 0;
    if (st.mode == State::Block) i = block(s, i, st, emit);
    if (st.mode == State::Str) i = string(s, i, st, emit, true);
    bool operand = false;  // the last token was a value: a '/' now divides
    while (i < s.size()) {
      const char c = s[i];
      const std::size_t start = i;
      if (is(c, kBlank)) {
        i = skip_blanks(s, i);
        emit(start, i, K::Plain);
        continue;
      }
      if (starts_comment(s, i)) {
        emit(i, s.size(), K::Comment);
        return;
      }
      if (rules_.block_comment && c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
        st.mode = State::Block;
        st.depth = 1;
        emit(i, i + 2, K::Comment);
        i = block(s, i + 2, st, emit);
        if (st.mode == State::Block) return;
        continue;
      }
      if (rules_.hash_preproc && c == '#' && skip_blanks(s, 0) == i) {
        i = ident_end(s, skip_blanks(s, i + 1));
        emit(start, i, K::Preproc);
        const std::size_t j = skip_blanks(s, i);
        if (s.substr(start).find("include") != std::string_view::npos && j < s.size() &&
            s[j] == '<') {
          const std::size_t close = s.find('>', j);
          if (close != std::string_view::npos) {
            emit(i, j, K::Plain);
            emit(j, close + 1, K::String);
            i = close + 1;
          }
        }
        continue;
      }
      if (rules_.rust_attributes && c == '#' && i + 1 < s.size() &&
          (s[i + 1] == '[' || (s[i + 1] == '!' && i + 2 < s.size() && s[i + 2] == '['))) {
        int depth = 0;
        while (i < s.size()) {
          if (s[i] == '[') ++depth;
          if (s[i] == ']' && --depth == 0) {
            ++i;
            break;
          }
          ++i;
        }
        emit(start, i, K::Preproc);
        continue;
      }
      if (rules_.decorators && c == '@' && i + 1 < s.size() && is(s[i + 1], kIdStart)) {
        i = i + 1;
        do {
          i = ident_end(s, i + (s[i] == '.' ? 1 : 0));
        } while (i + 1 < s.size() && s[i] == '.' && is(s[i + 1], kIdStart));
        emit(start, i, K::Preproc);
        continue;
      }
      if (is(c, kDigit) || (c == '.' && i + 1 < s.size() && is(s[i + 1], kDigit))) {
        i = number(s, i);
        emit(start, i, K::Number);
        operand = true;
        continue;
      }
      if (is(c, kIdStart) || (rules_.dollar_idents && c == '$')) {
        const std::size_t end = ident_end(s, i, rules_.dollar_idents);
        const std::string_view w = s.substr(i, end - i);
        if (end < s.size() && (s[end] == '"' || s[end] == '\'' || s[end] == '#')) {
          const std::size_t after = prefixed_string(s, i, end, st, emit);
          if (after != 0) {
            i = after;
            operand = true;
            if (st.mode == State::Str) return;
            continue;
          }
        }
        i = end;
        if (rules_.macro_bang && i < s.size() && s[i] == '!' &&
            (i + 1 >= s.size() || s[i + 1] != '=')) {
          emit(start, i + 1, K::Function);
          i = i + 1;
          operand = false;
          continue;
        }
        K kind = classify(w);
        if (kind == K::Plain || kind == K::Function) {
          if (st.next != K::Plain) {
            kind = st.next;
          } else {
            const std::size_t j = skip_blanks(s, i);
            if (j < s.size() && s[j] == '(') {
              kind = K::Function;
            } else if (rules_.upper_types && is_upper(w[0]) && w.size() > 1 && has_lower(w)) {
              kind = K::Type;
            }
          }
          st.next = K::Plain;
          operand = true;
        } else {
          st.next = defs_.find(w);
          operand = kind == K::Keyword && (w == "this" || w == "self" || w == "true" ||
                                           w == "false" || w == "null" || w == "None");
        }
        emit(start, i, kind);
        continue;
      }
      if (c == '"') {
        if (rules_.triple && s.substr(i, 3) == "\"\"\"") {
          i = start_string(s, i, i + 3, "\"\"\"", true, true, st, emit);
          if (st.mode == State::Str) return;
        } else {
          i = start_string(s, i, i + 1, "\"", true, false, st, emit);
        }
        operand = true;
        continue;
      }
      if (c == '\'' && rules_.single != Quote::None) {
        if (rules_.triple && s.substr(i, 3) == "'''") {
          i = start_string(s, i, i + 3, "'''", true, true, st, emit);
          if (st.mode == State::Str) return;
          operand = true;
          continue;
        }
        if (rules_.single == Quote::String) {
          i = start_string(s, i, i + 1, "'", true, false, st, emit);
          operand = true;
          continue;
        }
        const std::size_t end = char_literal(s, i);
        if (end != 0) {
          i = character(s, i, end, emit);
          operand = true;
          continue;
        }
        if (rules_.rust_raw && i + 1 < s.size() && is(s[i + 1], kIdStart)) {
          i = ident_end(s, i + 1);  // a lifetime: 'a
          emit(start, i, K::Type);
          continue;
        }
      }
      if (c == '`' && rules_.backtick) {
        i = start_string(s, i, i + 1, "`", rules_.regex, true, st, emit);
        if (st.mode == State::Str) return;
        operand = true;
        continue;
      }
      if (c == '/' && rules_.regex && !operand) {
        const std::size_t end = regex_literal(s, i);
        if (end != 0) {
          emit(i, end, K::String);
          i = end;
          operand = true;
          continue;
        }
      }
      if (c == '{' || c == '}') {
        emit(i, i + 1, K::Punctuation);
        ++i;
        operand = false;
        continue;
      }
      if (is(c, kOp)) {
        std::size_t end = i + 1;
        while (end < s.size() && is(s[end], kOp) && s[end] != '(' && s[end] != '[' &&
               !(s[end] == '/' && end + 1 < s.size() && (s[end + 1] == '/' || s[end + 1] == '*'))) {
          ++end;
        }
        operand = c == ')' || c == ']' || s[end - 1] == ')' || s[end - 1] == ']';
        if (c == '(') st.next = K::Plain;  // Go's "func (r *T) Name": the receiver is no name
        emit(i, end, K::Operator);
        i = end;
        continue;
      }
      emit(i, i + 1, K::Plain);
      ++i;
      operand = false;
    }
  }

  static bool has_lower(std::string_view w) {
    for (char c : w) {
      if (is_lower(c)) return true;
    }
    return false;
  }

  bool starts_comment(std::string_view s, std::size_t i) const {
    const std::string_view a = rules_.line_comment;
    const std::string_view b = rules_.line_comment2;
    return (!a.empty() && s[i] == a[0] && s.substr(i, a.size()) == a) ||
           (!b.empty() && s[i] == b[0] && s.substr(i, b.size()) == b);
  }

  static std::size_t number(std::string_view s, std::size_t i) {
    if (s[i] == '0' && i + 1 < s.size() &&
        (s[i + 1] == 'x' || s[i + 1] == 'X' || s[i + 1] == 'b' || s[i + 1] == 'B' ||
         s[i + 1] == 'o' || s[i + 1] == 'O')) {
      i += 2;
      while (i < s.size() && (is(s[i], kHex) || s[i] == '_' || s[i] == '\'')) ++i;
    } else {
      auto digits = [&] {
        while (i < s.size() && (is(s[i], kDigit) || s[i] == '_' ||
                                (s[i] == '\'' && i + 1 < s.size() && is(s[i + 1], kDigit)))) {
          ++i;
        }
      };
      digits();
      if (i + 1 < s.size() && s[i] == '.' && is(s[i + 1], kDigit)) {
        ++i;
        digits();
      } else if (i < s.size() && s[i] == '.' && (i + 1 == s.size() || !is(s[i + 1], kIdStart)) &&
                 (i + 1 == s.size() || s[i + 1] != '.')) {
        ++i;  // "1." is a float
      }
      if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && is(s[j], kDigit)) {
          i = j;
          digits();
        }
      }
    }
    // Suffixes: 10UL, 1.5f, 5i32, 10n, 2j.
    while (i < s.size() && is(s[i], kIdPart) && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    return i;
  }

  // A string with a prefix word (r"..", f'..', R"(..)", r#".."#, b'x'): returns its end, or 0
  // when the word is not such a prefix.
  std::size_t prefixed_string(std::string_view s, std::size_t start, std::size_t end, State& st,
                              Emit& emit) const {
    const std::string_view w = s.substr(start, end - start);
    const char q = s[end];
    if (rules_.string_prefixes && q != '#' && w.size() <= 2) {
      bool raw = false;
      for (char c : w) {
        const char l = lower_ascii(c);
        if (l != 'r' && l != 'b' && l != 'f' && l != 'u') return 0;
        raw |= l == 'r';
      }
      const std::string close =
          s.substr(end, 3) == std::string(3, q) ? std::string(3, q) : std::string(1, q);
      return start_string(s, start, end + close.size(), close, !raw, close.size() == 3, st, emit);
    }
    if (rules_.hash_preproc && q != '#' && (w == "L" || w == "u" || w == "U" || w == "u8")) {
      if (q == '\'') {
        const std::size_t e = char_literal(s, end);
        if (e == 0) return 0;
        emit(start, end, K::String);
        return character(s, end, e, emit);
      }
      return start_string(s, start, end + 1, "\"", true, false, st, emit);
    }
    if (rules_.cpp_raw && q == '"' && w.back() == 'R' &&
        (w == "R" || w == "u8R" || w == "LR" || w == "uR" || w == "UR")) {
      const std::size_t paren = s.substr(0, std::min(s.size(), end + 18)).find('(', end + 1);
      if (paren == std::string_view::npos) return 0;
      std::string close = ")";
      close.append(s.substr(end + 1, paren - end - 1)).append("\"");
      return start_string(s, start, paren + 1, std::move(close), false, true, st, emit);
    }
    if (rules_.rust_raw && (w == "r" || w == "br") && (q == '"' || q == '#')) {
      std::size_t j = end;
      while (j < s.size() && s[j] == '#') ++j;
      if (j >= s.size() || s[j] != '"') return 0;
      std::string close = "\"";
      close.append(j - end, '#');
      return start_string(s, start, j + 1, std::move(close), false, true, st, emit);
    }
    if (rules_.rust_raw && w == "b" && q != '#') {
      if (q == '\'') {
        const std::size_t e = char_literal(s, end);
        if (e == 0) return 0;
        emit(start, end, K::String);
        return character(s, end, e, emit);
      }
      return start_string(s, start, end + 1, "\"", true, false, st, emit);
    }
    return 0;
  }

  // Shows the character literal [i, end) with its escape.
  static std::size_t character(std::string_view s, std::size_t i, std::size_t end, Emit& emit) {
    bool closed = false;
    emit(i, i + 1, K::String);
    return scan_string(s.substr(0, end), i + 1, "'", true, emit, closed);
  }

  // 'x', '\n', '\u{1F600}', 'é': the end of a character literal at `i`, or 0.
  static std::size_t char_literal(std::string_view s, std::size_t i) {
    std::size_t j = i + 1;
    if (j >= s.size()) return 0;
    if (s[j] == '\\') {
      j += 2;
      const std::size_t limit = std::min(s.size(), i + 14);
      while (j < limit && s[j] != '\'') ++j;
    } else {
      j = text::char_start_from(s, j + 1);
    }
    return (j < s.size() && s[j] == '\'') ? j + 1 : 0;
  }

  static std::size_t regex_literal(std::string_view s, std::size_t i) {
    if (i + 1 >= s.size() || s[i + 1] == '/' || s[i + 1] == '*' || s[i + 1] == ' ') return 0;
    bool in_class = false;
    // Bounded, so a line full of divisions stays linear.
    const std::size_t limit = std::min(s.size(), i + 256);
    for (std::size_t j = i + 1; j < limit; ++j) {
      const char c = s[j];
      if (c == '\\') {
        ++j;
      } else if (c == '[') {
        in_class = true;
      } else if (c == ']') {
        in_class = false;
      } else if (c == '/' && !in_class) {
        ++j;
        while (j < s.size() && is(s[j], kIdPart) && static_cast<unsigned char>(s[j]) < 0x80) ++j;
        return j;
      }
    }
    return 0;
  }

  const CRules& rules_;
  Words words_;
  Words defs_;
};

// One scanner per language, built on first use.
const CLexer* c_lexer(std::string_view name) {
  static const std::vector<std::pair<std::string_view, CLexer>> lexers = [] {
    std::vector<std::pair<std::string_view, CLexer>> out;
    out.reserve(c_like_languages().size());
    for (const CLanguage& l : c_like_languages()) out.emplace_back(l.name, CLexer(*l.rules));
    return out;
  }();
  for (const auto& [n, lexer] : lexers) {
    if (n == name) return &lexer;
  }
  return nullptr;
}

}  // namespace

bool c_like(std::string_view name, std::vector<CodeLine>& lines) {
  const CLexer* l = c_lexer(name);
  if (l == nullptr) return false;
  l->run(lines);
  return true;
}

}  // namespace orvo::tui::lex
