// C-like languages: one scanner driven by a table of words and flags per language.
#include "tui/framework/highlight/lex_families.hpp"
#include "tui/framework/highlight/lex_util.hpp"

namespace orvo::tui::lex {
namespace {

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

bool c_like(std::string_view name, std::vector<CodeLine>& lines) {
  const CLexer* l = c_lexer(name);
  if (l == nullptr) return false;
  l->run(lines);
  return true;
}

}  // namespace orvo::tui::lex
