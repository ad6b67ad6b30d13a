#include "tui/framework/markdown/lexers.hpp"

#include <array>
#include <cstdint>
#include <string>

namespace orvo::tui::lex {
namespace {

using K = TokenKind;

// ---- bytes

constexpr std::uint8_t kBlank = 1, kIdStart = 2, kIdPart = 4, kDigit = 8, kOp = 16, kHex = 32;

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    std::uint8_t v = 0;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') v |= kBlank;
    // Bytes of multi-byte characters count as letters: identifiers in any script, and a UTF-8
    // sequence (valid or not) is never cut between two tokens.
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80) {
      v |= kIdStart | kIdPart;
    }
    if (c >= '0' && c <= '9') v |= kDigit | kIdPart | kHex;
    if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) v |= kHex;
    for (char o : std::string_view("!%&*+-/<=>?^|~:;,.()[]")) {
      if (c == static_cast<unsigned char>(o)) v |= kOp;
    }
    t[static_cast<std::size_t>(c)] = v;
  }
  return t;
}
constexpr auto kClass = make_classes();

inline bool is(char c, std::uint8_t cls) {
  return (kClass[static_cast<unsigned char>(c)] & cls) != 0;
}
inline char lower_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
inline bool is_upper(char c) {
  return c >= 'A' && c <= 'Z';
}
inline bool is_lower(char c) {
  return c >= 'a' && c <= 'z';
}

std::size_t skip_blanks(std::string_view s, std::size_t i) {
  while (i < s.size() && is(s[i], kBlank)) ++i;
  return i;
}
std::size_t ident_end(std::string_view s, std::size_t i, bool dollar = false) {
  while (i < s.size() && (is(s[i], kIdPart) || (dollar && s[i] == '$'))) ++i;
  return i;
}

// Appends tokens to one line; neighbours of one kind merge, empty ranges are dropped. Callers
// hand over consecutive ranges, so the tokens tile the line.
class Emit {
 public:
  explicit Emit(CodeLine& line) : toks_(line.tokens) { toks_.clear(); }
  void operator()(std::size_t from, std::size_t to, K kind) {
    if (to <= from) return;
    const auto len = static_cast<std::uint32_t>(to - from);
    if (!toks_.empty() && toks_.back().kind == kind) {
      toks_.back().length += len;
    } else {
      toks_.push_back({static_cast<std::uint32_t>(from), len, kind});
    }
  }

 private:
  std::vector<CodeToken>& toks_;
};

// ---- word tables

// Open addressing over the words of a few space-separated lists; built once per language.
class Words {
 public:
  void add(std::string_view list, K kind) {
    std::size_t i = 0;
    while (i < list.size()) {
      while (i < list.size() && list[i] == ' ') ++i;
      std::size_t j = i;
      while (j < list.size() && list[j] != ' ') ++j;
      if (j > i) insert(list.substr(i, j - i), kind);
      i = j;
    }
  }
  // The kind of `w`, or Plain.
  K find(std::string_view w) const {
    if (w.empty() || w.size() > kMaxWord || used_ == 0) return K::Plain;
    for (std::size_t h = hash(w) & kMask;; h = (h + 1) & kMask) {
      const Slot& s = slots_[h];
      if (s.word.empty()) return K::Plain;
      if (s.word == w) return s.kind;
    }
  }
  static constexpr std::size_t kMaxWord = 32;

 private:
  static constexpr std::size_t kSize = 1024;
  static constexpr std::size_t kMask = kSize - 1;
  struct Slot {
    std::string_view word;
    K kind = K::Plain;
  };
  static std::size_t hash(std::string_view w) {
    std::uint32_t h = 2166136261u;
    for (char c : w) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return h;
  }
  void insert(std::string_view w, K kind) {
    if (used_ + 1 >= kSize / 2) return;  // tables stay sparse; our lists are far smaller
    for (std::size_t h = hash(w) & kMask;; h = (h + 1) & kMask) {
      Slot& s = slots_[h];
      if (s.word.empty()) {
        s = {w, kind};
        ++used_;
        return;
      }
      if (s.word == w) return;  // the first list naming a word wins
    }
  }
  std::array<Slot, kSize> slots_{};
  std::size_t used_ = 0;
};

// ---- strings (shared by the lexers)

// Scans string text from `i` up to and including `close`, showing backslash escapes as Escape
// when `escapes` is set. Returns the end; `closed` tells whether `close` was found on this line.
std::size_t scan_string(std::string_view s, std::size_t i, std::string_view close, bool escapes,
                        Emit& emit, bool& closed, K kind = K::String) {
  std::size_t from = i;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\\' && escapes) {
      emit(from, i, kind);
      std::size_t e = i + 1;
      if (e < s.size()) {
        const char x = s[e++];
        if (x == 'x' || x == 'u' || x == 'U') {
          const std::size_t limit = std::min(s.size(), e + 10);
          while (e < limit && (is(s[e], kHex) || s[e] == '{' || s[e] == '}')) ++e;
        } else if (static_cast<unsigned char>(x) >= 0x80) {
          while (e < s.size() && (static_cast<unsigned char>(s[e]) & 0xC0) == 0x80) ++e;
        }
      }
      emit(i, e, K::Escape);
      i = from = e;
      continue;
    }
    if (c == close[0] && s.substr(i, close.size()) == close) {
      emit(from, i + close.size(), kind);
      closed = true;
      return i + close.size();
    }
    ++i;
  }
  emit(from, i, kind);
  closed = false;
  return i;
}

// ---- C-like languages

enum class Quote : std::uint8_t { None, String, Char };

struct CSpec {
  std::string_view keywords = {}, types = {}, constants = {}, builtins = {};
  std::string_view def_words = {};   // the identifier after one of these is a function name
  std::string_view type_words = {};  // ... a type name
  std::string_view line_comment = {}, line_comment2 = {};
  bool block_comment = true;
  bool nested_comment = false;
  Quote single = Quote::Char;
  bool backtick = false;         // `...` strings, also across lines (JS templates, Go raw strings)
  bool triple = false;           // """...""" and '''...''' (Python)
  bool string_prefixes = false;  // r"", b'', f"", rb"" ... (Python)
  bool cpp_raw = false;          // R"delim(...)delim"
  bool rust_raw = false;         // r#"..."#, b"...", b'x', lifetimes
  bool hash_preproc = false;     // # directives at the start of a line
  bool decorators = false;       // @name
  bool rust_attributes = false;  // #[...] and #![...]
  bool macro_bang = false;       // name!(...)
  bool upper_types = false;      // CamelCase names are types
  bool case_insensitive = false;
  bool regex = false;  // /.../flags where an operand is expected
  bool dollar_idents = false;
};

class CLexer {
 public:
  explicit CLexer(const CSpec& lang) : spec_(lang) {
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
      } else if (spec_.nested_comment && s[i] == '/' && i + 1 < s.size() && s[i + 1] == '*') {
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
    if (!spec_.case_insensitive || w.size() > Words::kMaxWord) return words_.find(w);
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
      if (spec_.block_comment && c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
        st.mode = State::Block;
        st.depth = 1;
        emit(i, i + 2, K::Comment);
        i = block(s, i + 2, st, emit);
        if (st.mode == State::Block) return;
        continue;
      }
      if (spec_.hash_preproc && c == '#' && skip_blanks(s, 0) == i) {
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
      if (spec_.rust_attributes && c == '#' && i + 1 < s.size() &&
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
      if (spec_.decorators && c == '@' && i + 1 < s.size() && is(s[i + 1], kIdStart)) {
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
      if (is(c, kIdStart) || (spec_.dollar_idents && c == '$')) {
        const std::size_t end = ident_end(s, i, spec_.dollar_idents);
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
        if (spec_.macro_bang && i < s.size() && s[i] == '!' &&
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
            } else if (spec_.upper_types && is_upper(w[0]) && w.size() > 1 && has_lower(w)) {
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
        if (spec_.triple && s.substr(i, 3) == "\"\"\"") {
          i = start_string(s, i, i + 3, "\"\"\"", true, true, st, emit);
          if (st.mode == State::Str) return;
        } else {
          i = start_string(s, i, i + 1, "\"", true, false, st, emit);
        }
        operand = true;
        continue;
      }
      if (c == '\'' && spec_.single != Quote::None) {
        if (spec_.triple && s.substr(i, 3) == "'''") {
          i = start_string(s, i, i + 3, "'''", true, true, st, emit);
          if (st.mode == State::Str) return;
          operand = true;
          continue;
        }
        if (spec_.single == Quote::String) {
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
        if (spec_.rust_raw && i + 1 < s.size() && is(s[i + 1], kIdStart)) {
          i = ident_end(s, i + 1);  // a lifetime: 'a
          emit(start, i, K::Type);
          continue;
        }
      }
      if (c == '`' && spec_.backtick) {
        i = start_string(s, i, i + 1, "`", spec_.regex, true, st, emit);
        if (st.mode == State::Str) return;
        operand = true;
        continue;
      }
      if (c == '/' && spec_.regex && !operand) {
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
    const std::string_view a = spec_.line_comment;
    const std::string_view b = spec_.line_comment2;
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
    if (spec_.string_prefixes && q != '#' && w.size() <= 2) {
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
    if (spec_.hash_preproc && q != '#' && (w == "L" || w == "u" || w == "U" || w == "u8")) {
      if (q == '\'') {
        const std::size_t e = char_literal(s, end);
        if (e == 0) return 0;
        emit(start, end, K::String);
        return character(s, end, e, emit);
      }
      return start_string(s, start, end + 1, "\"", true, false, st, emit);
    }
    if (spec_.cpp_raw && q == '"' && w.back() == 'R' &&
        (w == "R" || w == "u8R" || w == "LR" || w == "uR" || w == "UR")) {
      const std::size_t paren = s.substr(0, std::min(s.size(), end + 18)).find('(', end + 1);
      if (paren == std::string_view::npos) return 0;
      std::string close = ")";
      close.append(s.substr(end + 1, paren - end - 1)).append("\"");
      return start_string(s, start, paren + 1, std::move(close), false, true, st, emit);
    }
    if (spec_.rust_raw && (w == "r" || w == "br") && (q == '"' || q == '#')) {
      std::size_t j = end;
      while (j < s.size() && s[j] == '#') ++j;
      if (j >= s.size() || s[j] != '"') return 0;
      std::string close = "\"";
      close.append(j - end, '#');
      return start_string(s, start, j + 1, std::move(close), false, true, st, emit);
    }
    if (spec_.rust_raw && w == "b" && q != '#') {
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
      ++j;
      while (j < s.size() && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80) ++j;
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

  const CSpec& spec_;
  Words words_;
  Words defs_;
};

// The words of each language, as its reference documentation lists them.

constexpr CSpec kPython = {
    .keywords =
        "and as assert async await break continue del elif else except finally for from "
        "global if import in is lambda nonlocal not or pass raise return try while with "
        "yield match case",
    .types =
        "int float str bool bytes list dict set tuple object complex frozenset bytearray "
        "type Exception ValueError TypeError KeyError IndexError RuntimeError OSError",
    .constants = "True False None",
    .builtins = "print len range open isinstance super enumerate zip map filter sorted",
    .def_words = "def",
    .type_words = "class",
    .line_comment = "#",
    .block_comment = false,
    .single = Quote::String,
    .triple = true,
    .string_prefixes = true,
    .decorators = true,
};

constexpr std::string_view kCKeywords =
    "auto break case const continue default do else enum extern for goto if inline register "
    "restrict return sizeof static switch typedef union volatile while _Static_assert _Generic "
    "_Alignas _Alignof _Noreturn _Thread_local";
constexpr std::string_view kCTypes =
    "int char short long float double void signed unsigned _Bool bool size_t ssize_t ptrdiff_t "
    "int8_t int16_t int32_t int64_t uint8_t uint16_t uint32_t uint64_t uintptr_t intptr_t FILE "
    "wchar_t char8_t char16_t char32_t";

constexpr CSpec kC = {
    .keywords = kCKeywords,
    .types = kCTypes,
    .constants = "NULL true false",
    .type_words = "struct",
    .line_comment = "//",
    .hash_preproc = true,
};

constexpr CSpec kCpp = {
    .keywords =
        "alignas alignof and asm auto break case catch class concept const consteval constexpr "
        "constinit const_cast continue co_await co_return co_yield decltype default delete do "
        "dynamic_cast else enum explicit export extern for friend goto if inline mutable "
        "namespace new noexcept not operator or override final private protected public "
        "register reinterpret_cast requires return sizeof static static_assert static_cast "
        "switch template this thread_local throw try typedef typeid typename union using "
        "virtual volatile while",
    .types =
        "int char short long float double void signed unsigned bool wchar_t char8_t "
        "char16_t char32_t size_t ssize_t ptrdiff_t int8_t int16_t int32_t int64_t uint8_t "
        "uint16_t uint32_t uint64_t uintptr_t intptr_t string string_view wstring vector "
        "array map unordered_map set unordered_set multimap deque list pair tuple optional "
        "variant any span unique_ptr shared_ptr weak_ptr function thread mutex atomic "
        "ostream istream iostream stringstream ostringstream istringstream byte nullptr_t",
    .constants = "nullptr true false NULL",
    .type_words = "class struct",
    .line_comment = "//",
    .cpp_raw = true,
    .hash_preproc = true,
};

constexpr std::string_view kJsKeywords =
    "async await break case catch const continue debugger default delete do else export "
    "extends finally for from if import in instanceof let new of return static super switch "
    "this throw try typeof var void while with yield get set as";

constexpr CSpec kJavaScript = {
    .keywords = kJsKeywords,
    .constants = "true false null undefined NaN Infinity",
    .def_words = "function",
    .type_words = "class",
    .line_comment = "//",
    .single = Quote::String,
    .backtick = true,
    .decorators = true,
    .upper_types = true,
    .regex = true,
    .dollar_idents = true,
};

constexpr CSpec kTypeScript = {
    .keywords =
        "async await break case catch const continue debugger default delete do else "
        "export extends finally for from if import in instanceof let new of return "
        "static super switch this throw try typeof var void while with yield get set as "
        "implements private protected public readonly declare abstract keyof infer is "
        "namespace module satisfies override",
    .types = "number string boolean any unknown never object symbol bigint",
    .constants = "true false null undefined NaN Infinity",
    .def_words = "function",
    .type_words = "class interface type enum",
    .line_comment = "//",
    .single = Quote::String,
    .backtick = true,
    .decorators = true,
    .upper_types = true,
    .regex = true,
    .dollar_idents = true,
};

constexpr CSpec kRust = {
    .keywords =
        "as async await break const continue crate dyn else extern for if impl in let "
        "loop match mod move mut pub ref return self static super unsafe use where while "
        "yield",
    .types =
        "i8 i16 i32 i64 i128 isize u8 u16 u32 u64 u128 usize f32 f64 bool char str Self "
        "String Vec Option Result Box",
    .constants = "true false Some None Ok Err",
    .def_words = "fn",
    .type_words = "struct enum trait type union",
    .line_comment = "//",
    .nested_comment = true,
    .rust_raw = true,
    .rust_attributes = true,
    .macro_bang = true,
    .upper_types = true,
};

constexpr CSpec kGo = {
    .keywords =
        "break case chan const continue default defer else fallthrough for go goto if "
        "import interface map package range return select switch var struct",
    .types =
        "bool byte complex64 complex128 error float32 float64 int int8 int16 int32 int64 "
        "rune string uint uint8 uint16 uint32 uint64 uintptr any",
    .constants = "true false nil iota",
    .builtins = "append cap close copy delete len make new panic print println recover",
    .def_words = "func",
    .type_words = "type",
    .line_comment = "//",
    .backtick = true,
};

constexpr CSpec kJava = {
    .keywords =
        "abstract assert break case catch class const continue default do else enum "
        "extends final finally for goto if implements import instanceof interface native "
        "new package private protected public return static strictfp super switch "
        "synchronized this throw throws transient try volatile while var record yield "
        "sealed permits",
    .types = "boolean byte char double float int long short void String Object Integer Long",
    .constants = "true false null",
    .line_comment = "//",
    .decorators = true,
    .upper_types = true,
};

constexpr CSpec kSql = {
    .keywords =
        "select from where and or not in is null as join inner left right full outer cross on "
        "using group by order having limit offset insert into values update set delete create "
        "table index view drop alter add column primary key foreign references unique default "
        "check constraint distinct union all case when then else end exists between like ilike "
        "asc desc if begin commit rollback transaction with recursive returning explain analyze "
        "concurrently grant revoke cascade trigger function returns language replace over "
        "partition window interval true false database schema temporary temp",
    .types =
        "int integer bigint smallint tinyint serial bigserial decimal numeric real double "
        "precision float boolean bool char varchar text date time timestamp timestamptz "
        "json jsonb uuid blob bytea",
    .line_comment = "--",
    .single = Quote::String,
    .case_insensitive = true,
};

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

// ---- JSON

void json(std::vector<CodeLine>& lines) {
  bool in_comment = false;
  for (CodeLine& line : lines) {
    Emit emit(line);
    const std::string_view s = line.text;
    std::size_t i = 0;
    while (i < s.size()) {
      const std::size_t start = i;
      const char c = s[i];
      if (in_comment) {
        const std::size_t e = s.find("*/", i);
        i = e == std::string_view::npos ? s.size() : e + 2;
        in_comment = e == std::string_view::npos;
        emit(start, i, K::Comment);
        continue;
      }
      if (c == '/' && i + 1 < s.size() && (s[i + 1] == '/' || s[i + 1] == '*')) {
        if (s[i + 1] == '/') {
          emit(i, s.size(), K::Comment);
          break;
        }
        in_comment = true;
        emit(i, i + 2, K::Comment);
        i += 2;
        continue;
      }
      if (c == '"') {
        // A key is a string followed by a colon.
        std::size_t j = i + 1;
        while (j < s.size() && s[j] != '"') j += s[j] == '\\' ? 2 : 1;
        const std::size_t after = skip_blanks(s, std::min(j + 1, s.size()));
        if (after < s.size() && s[after] == ':') {
          emit(i, std::min(j + 1, s.size()), K::Tag);
          i = std::min(j + 1, s.size());
        } else {
          bool closed = false;
          emit(i, i + 1, K::String);
          i = scan_string(s, i + 1, "\"", true, emit, closed);
        }
        continue;
      }
      if (is(c, kDigit) || (c == '-' && i + 1 < s.size() && is(s[i + 1], kDigit))) {
        ++i;
        while (i < s.size() && (is(s[i], kDigit) || s[i] == '.' || s[i] == 'e' || s[i] == 'E' ||
                                s[i] == '+' || s[i] == '-')) {
          ++i;
        }
        emit(start, i, K::Number);
        continue;
      }
      if (is(c, kIdStart)) {
        i = ident_end(s, i);
        const std::string_view w = s.substr(start, i - start);
        emit(start, i, (w == "true" || w == "false" || w == "null") ? K::Keyword : K::Plain);
        continue;
      }
      emit(i, i + 1,
           (c == '{' || c == '}' || c == '[' || c == ']' || c == ',') ? K::Operator : K::Plain);
      ++i;
    }
  }
}

// ---- YAML

bool yaml_constant(std::string_view w) {
  static const Words words = [] {
    Words t;
    t.add(
        "true false null yes no on off True False Null TRUE FALSE NULL Yes No On Off YES NO "
        "ON OFF ~ .inf .Inf .INF -.inf -.Inf .nan .NaN .NAN",
        K::Keyword);
    return t;
  }();
  return words.find(w) == K::Keyword;
}

bool yaml_number(std::string_view w) {
  std::size_t i = 0;
  if (i < w.size() && (w[i] == '+' || w[i] == '-')) ++i;
  if (w.substr(i, 2) == "0x" || w.substr(i, 2) == "0o") {
    i += 2;
    if (i == w.size()) return false;
    for (; i < w.size(); ++i) {
      if (!is(w[i], kHex)) return false;
    }
    return true;
  }
  bool digits = false;
  bool dot = false;
  for (; i < w.size(); ++i) {
    if (is(w[i], kDigit)) {
      digits = true;
    } else if (w[i] == '.' && !dot) {
      dot = true;
    } else if ((w[i] == 'e' || w[i] == 'E') && digits) {
      std::size_t j = i + 1;
      if (j < w.size() && (w[j] == '+' || w[j] == '-')) ++j;
      if (j == w.size()) return false;
      for (; j < w.size(); ++j) {
        if (!is(w[j], kDigit)) return false;
      }
      return true;
    } else {
      return false;
    }
  }
  return digits;
}

void yaml(std::vector<CodeLine>& lines) {
  int scalar_indent = -1;  // inside a block scalar (| or >) opened at this indent
  for (CodeLine& line : lines) {
    Emit emit(line);
    const std::string_view s = line.text;
    const std::size_t indent = skip_blanks(s, 0);
    if (scalar_indent >= 0) {
      if (indent == s.size() || static_cast<int>(indent) > scalar_indent) {
        emit(0, indent, K::Plain);
        emit(indent, s.size(), K::String);
        continue;
      }
      scalar_indent = -1;
    }
    std::size_t i = indent;
    emit(0, i, K::Plain);
    if (indent == 0 && (s.substr(0, 3) == "---" || s.substr(0, 3) == "...") &&
        (s.size() == 3 || is(s[3], kBlank))) {
      emit(0, 3, K::Preproc);
      i = 3;
    }
    int flow = 0;
    bool line_start = true;  // only "- " markers and blanks so far
    while (i < s.size()) {
      const std::size_t start = i;
      const char c = s[i];
      if (is(c, kBlank)) {
        i = skip_blanks(s, i);
        emit(start, i, K::Plain);
        continue;
      }
      if (c == '#' && (i == 0 || is(s[i - 1], kBlank))) {
        emit(i, s.size(), K::Comment);
        break;
      }
      if (c == '-' && line_start && (i + 1 == s.size() || is(s[i + 1], kBlank))) {
        emit(i, i + 1, K::Operator);
        ++i;
        continue;
      }
      const bool was_start = line_start;
      line_start = false;
      if (c == '[' || c == '{' || c == ']' || c == '}' || c == ',') {
        flow += (c == '[' || c == '{') ? 1 : (c == ',' ? 0 : -1);
        emit(i, i + 1, K::Operator);
        ++i;
        continue;
      }
      if ((c == '&' || c == '*') && i + 1 < s.size() && !is(s[i + 1], kBlank)) {
        ++i;
        while (i < s.size() && !is(s[i], kBlank) && s[i] != ',' && s[i] != ']' && s[i] != '}') {
          ++i;
        }
        emit(start, i, K::Variable);
        continue;
      }
      if (c == '!') {
        while (i < s.size() && !is(s[i], kBlank)) ++i;
        emit(start, i, K::Type);
        continue;
      }
      if ((c == '|' || c == '>') && !was_start) {
        std::size_t j = i + 1;
        while (j < s.size() && (s[j] == '+' || s[j] == '-' || is(s[j], kDigit))) ++j;
        const std::size_t k = skip_blanks(s, j);
        if (k == s.size() || s[k] == '#') {
          emit(i, j, K::Operator);
          i = j;
          scalar_indent = static_cast<int>(indent);
          continue;
        }
      }
      std::size_t end;
      if (c == '"' || c == '\'') {
        end = i + 1;
        while (end < s.size() && s[end] != c) end += (c == '"' && s[end] == '\\') ? 2 : 1;
        end = std::min(end + 1, s.size());
      } else {
        // A plain scalar: up to ": ", " #", the end, or a flow delimiter inside [] and {}.
        end = i;
        while (end < s.size()) {
          const char d = s[end];
          if (d == ':' && (end + 1 == s.size() || is(s[end + 1], kBlank))) break;
          if (d == '#' && is(s[end - 1], kBlank)) break;
          if (flow > 0 && (d == ',' || d == ']' || d == '}')) break;
          ++end;
        }
      }
      std::size_t trim = end;
      while (trim > i && is(s[trim - 1], kBlank)) --trim;
      const bool key =
          end < s.size() && s[end] == ':' && (end + 1 == s.size() || is(s[end + 1], kBlank));
      if (key) {
        emit(i, trim, K::Tag);
        emit(trim, end, K::Plain);
        emit(end, end + 1, K::Operator);
        i = end + 1;
        continue;
      }
      const std::string_view w = s.substr(i, trim - i);
      K kind = K::Plain;
      if (c == '"' || c == '\'') {
        kind = K::String;
      } else if (yaml_constant(w)) {
        kind = K::Keyword;
      } else if (yaml_number(w)) {
        kind = K::Number;
      }
      emit(i, trim, kind);
      emit(trim, end, K::Plain);
      i = end;
    }
  }
}

// ---- TOML

void toml(std::vector<CodeLine>& lines) {
  std::string open;  // the delimiter of a multi-line string left open
  for (CodeLine& line : lines) {
    Emit emit(line);
    const std::string_view s = line.text;
    std::size_t i = 0;
    if (!open.empty()) {
      bool closed = false;
      i = scan_string(s, 0, open, open == "\"\"\"", emit, closed);
      if (!closed) continue;
      open.clear();
    }
    const std::size_t first = skip_blanks(s, i);
    emit(i, first, K::Plain);
    i = first;
    if (i == 0 && i < s.size() && s[i] == '[') {
      const std::size_t o = s.substr(i, 2) == "[[" ? 2 : 1;
      const std::size_t close = s.find(']', i + o);
      if (close != std::string_view::npos) {
        emit(i, i + o, K::Operator);
        emit(i + o, close, K::Type);
        const std::size_t c = s.substr(close, 2) == "]]" ? 2 : 1;
        emit(close, close + c, K::Operator);
        i = close + c;
      }
    }
    bool key_position = true;
    while (i < s.size()) {
      const std::size_t start = i;
      const char c = s[i];
      if (is(c, kBlank)) {
        i = skip_blanks(s, i);
        emit(start, i, K::Plain);
        continue;
      }
      if (c == '#') {
        emit(i, s.size(), K::Comment);
        break;
      }
      if (key_position && c != '"' && c != '\'' && c != '{' && c != '[' && c != ']' && c != '}' &&
          c != ',') {
        // A key up to '=' (bare, dotted or quoted parts).
        std::size_t j = i;
        while (j < s.size() && s[j] != '=' && s[j] != '#' && s[j] != ',' && s[j] != '}') ++j;
        if (j < s.size() && s[j] == '=') {
          std::size_t t = j;
          while (t > i && is(s[t - 1], kBlank)) --t;
          emit(i, t, K::Tag);
          emit(t, j, K::Plain);
          emit(j, j + 1, K::Operator);
          i = j + 1;
          key_position = false;
          continue;
        }
        key_position = false;
      }
      if (c == '"' || c == '\'') {
        const std::string q(s.substr(i, 3) == std::string(3, c) ? 3 : 1, c);
        emit(i, i + q.size(), K::String);
        bool closed = false;
        i = scan_string(s, i + q.size(), q, c == '"', emit, closed);
        if (!closed && q.size() == 3) {
          open = q;
          break;
        }
        key_position = false;
        continue;
      }
      if (c == '{' || c == ',') {
        key_position = c == ',' ? key_position : true;
      }
      if (c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == '=') {
        if (c == '{') key_position = true;
        emit(i, i + 1, K::Operator);
        ++i;
        continue;
      }
      // A bare value: number, date, time, boolean, inf, nan.
      while (i < s.size() && !is(s[i], kBlank) && s[i] != ',' && s[i] != ']' && s[i] != '}' &&
             s[i] != '#') {
        ++i;
      }
      // A date and its time may be separated by one space.
      if (i + 1 < s.size() && s[i] == ' ' && is(s[i + 1], kDigit) && i - start == 10 &&
          s[start + 4] == '-') {
        i += 1;
        while (i < s.size() && !is(s[i], kBlank) && s[i] != ',' && s[i] != ']' && s[i] != '}') {
          ++i;
        }
      }
      const std::string_view w = s.substr(start, i - start);
      K kind = K::Plain;
      if (w == "true" || w == "false") {
        kind = K::Keyword;
      } else if (is(w[0], kDigit) || ((w[0] == '+' || w[0] == '-') && w.size() > 1) || w == "inf" ||
                 w == "nan") {
        kind = K::Number;
      }
      emit(start, i, kind);
      key_position = false;
    }
  }
}

// ---- diff

void diff(std::vector<CodeLine>& lines) {
  constexpr std::string_view kHeads[] = {"diff ",
                                         "index ",
                                         "--- ",
                                         "+++ ",
                                         "*** ",
                                         "@@",
                                         "new file mode",
                                         "deleted file mode",
                                         "similarity index",
                                         "rename from",
                                         "rename to",
                                         "Binary files",
                                         "old mode",
                                         "new mode"};
  for (CodeLine& line : lines) {
    Emit emit(line);
    const std::string_view s = line.text;
    if (s.empty()) continue;
    K kind = K::Plain;
    for (std::string_view h : kHeads) {
      if (s.starts_with(h)) {
        kind = K::Heading;
        break;
      }
    }
    if (kind == K::Plain) {
      if (s[0] == '-' || s[0] == '<') kind = K::Deleted;
      if (s[0] == '+' || s[0] == '>') kind = K::Inserted;
    }
    emit(0, s.size(), kind);
  }
}

// ---- CMake

void cmake(std::vector<CodeLine>& lines) {
  bool in_string = false;
  bool in_bracket_comment = false;
  for (CodeLine& line : lines) {
    Emit emit(line);
    const std::string_view s = line.text;
    std::size_t i = 0;
    auto reference = [&](std::size_t at) {  // ${...}, $ENV{...}, $<...>: end of the reference
      std::size_t j = at + 1;
      if (j < s.size() && s[j] == '<') {
        int depth = 0;
        for (; j < s.size(); ++j) {
          if (s[j] == '<') ++depth;
          if (s[j] == '>' && --depth == 0) return j + 1;
        }
        return s.size();
      }
      while (j < s.size() && is(s[j], kIdStart)) ++j;
      if (j >= s.size() || s[j] != '{') return at + 1;
      int depth = 0;
      for (; j < s.size(); ++j) {
        if (s[j] == '{') ++depth;
        if (s[j] == '}' && --depth == 0) return j + 1;
      }
      return s.size();
    };
    auto string_body = [&] {
      std::size_t from = i;
      while (i < s.size()) {
        if (s[i] == '\\' && i + 1 < s.size()) {
          emit(from, i, K::String);
          emit(i, i + 2, K::Escape);
          i = from = i + 2;
        } else if (s[i] == '$' && i + 1 < s.size() && s[i + 1] != ' ') {
          const std::size_t e = reference(i);
          emit(from, i, K::String);
          emit(i, e, e > i + 1 && s[i + 1] == '<' ? K::Preproc : K::Variable);
          i = from = e;
        } else if (s[i] == '"') {
          emit(from, i + 1, K::String);
          ++i;
          in_string = false;
          return;
        } else {
          ++i;
        }
      }
      emit(from, i, K::String);
    };
    if (in_bracket_comment) {
      const std::size_t e = s.find("]]");
      i = e == std::string_view::npos ? s.size() : e + 2;
      in_bracket_comment = e == std::string_view::npos;
      emit(0, i, K::Comment);
    }
    if (in_string) string_body();
    while (i < s.size()) {
      const std::size_t start = i;
      const char c = s[i];
      if (c == '#') {
        if (s.substr(i, 3) == "#[[") {
          const std::size_t e = s.find("]]", i + 3);
          in_bracket_comment = e == std::string_view::npos;
          i = in_bracket_comment ? s.size() : e + 2;
          emit(start, i, K::Comment);
          continue;
        }
        emit(i, s.size(), K::Comment);
        break;
      }
      if (c == '"') {
        emit(i, i + 1, K::String);
        ++i;
        in_string = true;
        string_body();
        continue;
      }
      if (c == '$' && i + 1 < s.size()) {
        const std::size_t e = reference(i);
        emit(i, e, e > i + 1 && s[i + 1] == '<' ? K::Preproc : K::Variable);
        i = e;
        continue;
      }
      if (c == '(' || c == ')') {
        emit(i, i + 1, K::Operator);
        ++i;
        continue;
      }
      if (is(c, kIdStart)) {
        i = ident_end(s, i);
        const std::string_view w = s.substr(start, i - start);
        const std::size_t j = skip_blanks(s, i);
        K kind = K::Plain;
        if (j < s.size() && s[j] == '(') {
          kind = K::Function;
        } else if (w.size() > 1 && is_upper(w[0])) {
          kind = K::Keyword;
          for (char d : w) {
            if (!is_upper(d) && !is(d, kDigit) && d != '_') kind = K::Plain;
          }
        }
        emit(start, i, kind);
        continue;
      }
      while (i < s.size() && !is(s[i], kIdStart) && s[i] != '#' && s[i] != '"' && s[i] != '$' &&
             s[i] != '(' && s[i] != ')') {
        ++i;
      }
      emit(start, i, K::Plain);
    }
  }
}

// ---- HTML and XML

void html(std::vector<CodeLine>& lines) {
  enum { Text, Comment, Tag, Value } mode = Text;
  char quote = 0;
  for (CodeLine& line : lines) {
    Emit emit(line);
    const std::string_view s = line.text;
    std::size_t i = 0;
    while (i < s.size()) {
      const std::size_t start = i;
      const char c = s[i];
      if (mode == Comment) {
        const std::size_t e = s.find("-->", i);
        i = e == std::string_view::npos ? s.size() : e + 3;
        if (e != std::string_view::npos) mode = Text;
        emit(start, i, K::Comment);
        continue;
      }
      if (mode == Value) {  // a quoted attribute value across lines
        const std::size_t e = s.find(quote, i);
        i = e == std::string_view::npos ? s.size() : e + 1;
        if (e != std::string_view::npos) mode = Tag;
        emit(start, i, K::String);
        continue;
      }
      if (mode == Tag) {
        if (is(c, kBlank)) {
          i = skip_blanks(s, i);
          emit(start, i, K::Plain);
        } else if (c == '>' || (c == '/' && i + 1 < s.size() && s[i + 1] == '>') ||
                   (c == '?' && i + 1 < s.size() && s[i + 1] == '>')) {
          i += c == '>' ? 1 : 2;
          emit(start, i, K::Operator);
          mode = Text;
        } else if (c == '=') {
          emit(i, i + 1, K::Operator);
          ++i;
        } else if (c == '"' || c == '\'') {
          const std::size_t e = s.find(c, i + 1);
          if (e == std::string_view::npos) {
            quote = c;
            mode = Value;
            i = s.size();
          } else {
            i = e + 1;
          }
          emit(start, i, K::String);
        } else {
          const bool value = start > 0 && s[start - 1] == '=';
          while (i < s.size() && !is(s[i], kBlank) && s[i] != '=' && s[i] != '>' &&
                 !(s[i] == '/' && i + 1 < s.size() && s[i + 1] == '>')) {
            ++i;
          }
          if (i == start) ++i;
          emit(start, i, value ? K::String : K::Function);
        }
        continue;
      }
      if (c == '<') {
        if (s.substr(i, 4) == "<!--") {
          mode = Comment;
          emit(i, i + 4, K::Comment);
          i += 4;
          continue;
        }
        if (i + 1 < s.size() && (s[i + 1] == '!' || s[i + 1] == '?')) {
          const std::size_t e = s.find('>', i);
          i = e == std::string_view::npos ? s.size() : e + 1;
          emit(start, i, K::Preproc);
          continue;
        }
        std::size_t j = i + 1;
        if (j < s.size() && s[j] == '/') ++j;
        if (j < s.size() && is(s[j], kIdStart)) {
          emit(i, j, K::Operator);
          i = j;
          while (i < s.size() && (is(s[i], kIdPart) || s[i] == '-' || s[i] == ':' || s[i] == '.')) {
            ++i;
          }
          emit(j, i, K::Tag);
          mode = Tag;
          continue;
        }
      }
      if (c == '&') {
        std::size_t j = i + 1;
        if (j < s.size() && s[j] == '#') ++j;
        while (j < s.size() && j - i < 32 && is(s[j], kIdPart)) ++j;
        if (j < s.size() && s[j] == ';' && j > i + 1) {
          emit(i, j + 1, K::Escape);
          i = j + 1;
          continue;
        }
      }
      ++i;
      while (i < s.size() && s[i] != '<' && s[i] != '&') ++i;
      emit(start, i, K::Plain);
    }
  }
}

// ---- CSS

void css(std::vector<CodeLine>& lines) {
  bool in_comment = false;
  int depth = 0;
  bool value = false;  // after "property:" until ';' or '}'
  for (CodeLine& line : lines) {
    Emit emit(line);
    const std::string_view s = line.text;
    const std::size_t last_brace = s.rfind('{');
    std::size_t i = 0;
    while (i < s.size()) {
      const std::size_t start = i;
      const char c = s[i];
      if (in_comment) {
        const std::size_t e = s.find("*/", i);
        i = e == std::string_view::npos ? s.size() : e + 2;
        in_comment = e == std::string_view::npos;
        emit(start, i, K::Comment);
        continue;
      }
      if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
        in_comment = true;
        emit(i, i + 2, K::Comment);
        i += 2;
        continue;
      }
      if (is(c, kBlank)) {
        i = skip_blanks(s, i);
        emit(start, i, K::Plain);
        continue;
      }
      if (c == '"' || c == '\'') {
        bool closed = false;
        emit(i, i + 1, K::String);
        i = scan_string(s, i + 1, std::string_view(&s[start], 1), true, emit, closed);
        continue;
      }
      if (c == '{' || c == '}') {
        depth = std::max(0, depth + (c == '{' ? 1 : -1));
        value = false;
        emit(i, i + 1, K::Punctuation);
        ++i;
        continue;
      }
      if (c == ';') {
        value = false;
        emit(i, i + 1, K::Operator);
        ++i;
        continue;
      }
      if (c == '@' && i + 1 < s.size() && is(s[i + 1], kIdStart)) {
        i = i + 1;
        while (i < s.size() && (is(s[i], kIdPart) || s[i] == '-')) ++i;
        emit(start, i, K::Keyword);
        continue;
      }
      if (c == '!' && s.substr(i + 1, 9) == "important") {
        emit(i, i + 10, K::Keyword);
        i += 10;
        continue;
      }
      if (value && (is(c, kDigit) || (c == '.' && i + 1 < s.size() && is(s[i + 1], kDigit)) ||
                    (c == '#' && i + 1 < s.size() && is(s[i + 1], kHex)))) {
        ++i;
        while (i < s.size() && (is(s[i], kIdPart) || s[i] == '.' || s[i] == '%')) ++i;
        emit(start, i, K::Number);
        continue;
      }
      if (is(c, kIdStart) || c == '-' ||
          (!value && (c == '.' || c == '#') && i + 1 < s.size() && is(s[i + 1], kIdStart))) {
        i += (c == '.' || c == '#') ? 1 : 0;
        while (i < s.size() && (is(s[i], kIdPart) || s[i] == '-')) ++i;
        if (i == start) ++i;
        const std::size_t j = skip_blanks(s, i);
        K kind = K::Plain;
        if (j < s.size() && s[j] == '(') {
          kind = K::Function;
        } else if (value) {
          kind = K::Plain;
        } else if (c == '.' || c == '#') {
          kind = K::Function;
        } else if (depth > 0 && j < s.size() && s[j] == ':' &&
                   (last_brace == std::string_view::npos || last_brace < j)) {
          kind = K::Tag;
          value = true;
          emit(start, i, kind);
          emit(i, j, K::Plain);
          emit(j, j + 1, K::Operator);
          i = j + 1;
          continue;
        } else {
          kind = K::Tag;  // an element name in a selector
        }
        emit(start, i, kind);
        continue;
      }
      if (!value && c == ':') {
        i += (i + 1 < s.size() && s[i + 1] == ':') ? 2 : 1;
        while (i < s.size() && (is(s[i], kIdPart) || s[i] == '-')) ++i;
        emit(start, i, K::Keyword);
        continue;
      }
      emit(i, i + 1, is(c, kOp) ? K::Operator : K::Plain);
      ++i;
    }
  }
}

// ---- any other language: comments, strings and numbers

void generic(std::vector<CodeLine>& lines) {
  bool in_comment = false;
  for (CodeLine& line : lines) {
    Emit emit(line);
    const std::string_view s = line.text;
    bool unpaired[3] = {false, false, false};  // no closing ", ' or ` further on: stop looking
    std::size_t i = 0;
    while (i < s.size()) {
      const std::size_t start = i;
      const char c = s[i];
      if (in_comment) {
        const std::size_t e = s.find("*/", i);
        i = e == std::string_view::npos ? s.size() : e + 2;
        in_comment = e == std::string_view::npos;
        emit(start, i, K::Comment);
        continue;
      }
      const bool word_start = i == 0 || is(s[i - 1], kBlank);
      if ((c == '#' && word_start) || (c == '/' && s.substr(i, 2) == "//") ||
          (c == '-' && word_start && s.substr(i, 3) == "-- ") ||
          (c == ';' && word_start && s.substr(i, 2) == ";;")) {
        emit(i, s.size(), K::Comment);
        break;
      }
      if (c == '/' && s.substr(i, 2) == "/*") {
        in_comment = true;
        emit(i, i + 2, K::Comment);
        i += 2;
        continue;
      }
      const int qi = c == '"' ? 0 : c == '\'' ? 1 : 2;
      if ((c == '"' || c == '\'' || c == '`') && !unpaired[qi]) {
        // Only a quote closed on its line starts a string: apostrophes in prose stay plain.
        std::size_t j = i + 1;
        while (j < s.size() && s[j] != c) j += s[j] == '\\' ? 2 : 1;
        unpaired[qi] = j >= s.size();
        if (j < s.size() && !(c == '\'' && i > 0 && is(s[i - 1], kIdPart))) {
          bool closed = false;
          emit(i, i + 1, K::String);
          i = scan_string(s, i + 1, std::string_view(&s[start], 1), true, emit, closed);
          continue;
        }
      }
      if (is(c, kDigit) && (i == 0 || !is(s[i - 1], kIdPart))) {
        while (i < s.size() && (is(s[i], kIdPart) || s[i] == '.') &&
               static_cast<unsigned char>(s[i]) < 0x80) {
          ++i;
        }
        emit(start, i, K::Number);
        continue;
      }
      if (is(c, kIdStart)) {
        i = ident_end(s, i);
        emit(start, i, K::Plain);
        continue;
      }
      emit(i, i + 1, K::Plain);
      ++i;
    }
  }
}

// ---- names

struct Alias {
  std::string_view fence;
  std::string_view lexer;
};

constexpr Alias kAliases[] = {
    {"py", "python"},
    {"python", "python"},
    {"python3", "python"},
    {"py3", "python"},
    {"pyi", "python"},
    {"c", "c"},
    {"h", "c"},
    {"cpp", "cpp"},
    {"c++", "cpp"},
    {"cxx", "cpp"},
    {"cc", "cpp"},
    {"hpp", "cpp"},
    {"hxx", "cpp"},
    {"js", "javascript"},
    {"javascript", "javascript"},
    {"jsx", "javascript"},
    {"mjs", "javascript"},
    {"cjs", "javascript"},
    {"node", "javascript"},
    {"ts", "typescript"},
    {"typescript", "typescript"},
    {"tsx", "typescript"},
    {"mts", "typescript"},
    {"rust", "rust"},
    {"rs", "rust"},
    {"go", "go"},
    {"golang", "go"},
    {"java", "java"},
    {"sh", "sh"},
    {"bash", "sh"},
    {"shell", "sh"},
    {"zsh", "sh"},
    {"console", "sh"},
    {"shellscript", "sh"},
    {"ksh", "sh"},
    {"json", "json"},
    {"jsonc", "json"},
    {"json5", "json"},
    {"yaml", "yaml"},
    {"yml", "yaml"},
    {"toml", "toml"},
    {"diff", "diff"},
    {"patch", "diff"},
    {"udiff", "diff"},
    {"sql", "sql"},
    {"postgresql", "sql"},
    {"postgres", "sql"},
    {"mysql", "sql"},
    {"sqlite", "sql"},
    {"plsql", "sql"},
    {"cmake", "cmake"},
    {"html", "html"},
    {"htm", "html"},
    {"xml", "html"},
    {"xhtml", "html"},
    {"svg", "html"},
    {"vue", "html"},
    {"css", "css"},
    {"scss", "css"},
    {"less", "css"},
    {"text", ""},
    {"txt", ""},
    {"plain", ""},
    {"plaintext", ""},
    {"output", ""},
};

const CLexer* c_lexer(std::string_view name) {
  static const CLexer python(kPython), c(kC), cpp(kCpp), js(kJavaScript), ts(kTypeScript),
      rust(kRust), go(kGo), java(kJava), sql(kSql);
  if (name == "python") return &python;
  if (name == "c") return &c;
  if (name == "cpp") return &cpp;
  if (name == "javascript") return &js;
  if (name == "typescript") return &ts;
  if (name == "rust") return &rust;
  if (name == "go") return &go;
  if (name == "java") return &java;
  if (name == "sql") return &sql;
  return nullptr;
}

}  // namespace

std::string_view lexer_for(std::string_view lower_fence_name) {
  if (lower_fence_name.empty()) return {};
  for (const Alias& a : kAliases) {
    if (a.fence == lower_fence_name) return a.lexer;
  }
  return "generic";
}

void tokenize(std::string_view name, std::vector<CodeLine>& lines) {
  if (const CLexer* l = c_lexer(name)) {
    l->run(lines);
  } else if (name == "sh") {
    static const ShellLexer shell;
    shell.run(lines);
  } else if (name == "json") {
    json(lines);
  } else if (name == "yaml") {
    yaml(lines);
  } else if (name == "toml") {
    toml(lines);
  } else if (name == "diff") {
    diff(lines);
  } else if (name == "cmake") {
    cmake(lines);
  } else if (name == "html") {
    html(lines);
  } else if (name == "css") {
    css(lines);
  } else if (name == "generic") {
    generic(lines);
  }
}

}  // namespace orvo::tui::lex
