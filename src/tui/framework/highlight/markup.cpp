// Markup and style sheets: HTML, XML and CSS.
#include "tui/framework/highlight/lex_families.hpp"
#include "tui/framework/highlight/lex_util.hpp"

namespace orvo::tui::lex {
namespace {

// ---- HTML and XML

// ---- CSS

}  // namespace

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
        // A call, or a selector's class or id; in a value, a bare word stays plain.
        if ((j < s.size() && s[j] == '(') || (!value && (c == '.' || c == '#'))) {
          kind = K::Function;
        } else if (value) {
          kind = K::Plain;
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

}  // namespace orvo::tui::lex
