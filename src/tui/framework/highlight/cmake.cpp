// CMake scripts.
#include "tui/framework/highlight/lex_families.hpp"
#include "tui/framework/highlight/lex_util.hpp"

namespace orvo::tui::lex {
namespace {

// ---- CMake

}  // namespace

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

}  // namespace orvo::tui::lex
