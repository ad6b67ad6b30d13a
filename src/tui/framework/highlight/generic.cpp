// Any other language: comments, strings and numbers.
#include "tui/framework/highlight/lex_families.hpp"
#include "tui/framework/highlight/lex_util.hpp"

namespace orvo::tui::lex {
namespace {

// ---- any other language: comments, strings and numbers

}  // namespace

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

}  // namespace orvo::tui::lex
