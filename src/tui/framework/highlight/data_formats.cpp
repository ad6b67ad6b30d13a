// Data formats: JSON, YAML and TOML.
#include "tui/framework/highlight/lex_families.hpp"
#include "tui/framework/highlight/lex_util.hpp"

namespace orvo::tui::lex {
namespace {

// ---- JSON

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

// ---- TOML

}  // namespace

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

}  // namespace orvo::tui::lex
