// The line rules of the block scanner (see live_markdown.hpp).
#include "tui/widgets/scrivlet/live_markdown.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace orvo::tui::scrivlet {

namespace {

bool blank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

// Columns of leading white space (a tab goes on to the next multiple of 4) and its bytes.
std::pair<int, std::size_t> indent_of(std::string_view s) {
  int cols = 0;
  std::size_t i = 0;
  for (; i < s.size() && (s[i] == ' ' || s[i] == '\t'); ++i)
    cols = s[i] == '\t' ? cols / 4 * 4 + 4 : cols + 1;
  return {cols, i};
}

// Length of a list marker at the start of `s` (with the space after it), or 0.
std::size_t list_marker(std::string_view s) {
  std::size_t i = 0;
  if (!s.empty() && (s[0] == '-' || s[0] == '+' || s[0] == '*')) {
    i = 1;
  } else {
    while (i < s.size() && i < 9 && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    if (i == 0 || i >= s.size() || (s[i] != '.' && s[i] != ')')) return 0;
    ++i;
  }
  if (i == s.size()) return i;
  return s[i] == ' ' || s[i] == '\t' ? i + 1 : 0;
}

// The line without the quote marks and list markers in front of it; how much white space stood
// right before what is left, and whether a marker was taken.
struct Inner {
  std::string_view rest;
  int indent = 0;
  bool marker = false;
  bool quote = false;
};
Inner inner_of(std::string_view s) {
  Inner in;
  while (true) {
    const auto [cols, bytes] = indent_of(s);
    in.indent = cols;
    s.remove_prefix(bytes);
    if (!s.empty() && s[0] == '>') {
      s.remove_prefix(1);
      in.quote = true;
      continue;
    }
    if (const std::size_t m = list_marker(s)) {
      s.remove_prefix(m);
      in.marker = true;
      continue;
    }
    break;
  }
  in.rest = s;
  return in;
}

// At least `least` of `c` and nothing else but trailing white space (and, when `spaced`, white
// space between them).
bool only_run(std::string_view s, char c, std::size_t least, bool spaced) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  std::size_t n = 0;
  for (const char ch : s) {
    if (ch == c) {
      ++n;
    } else if (!spaced || (ch != ' ' && ch != '\t')) {
      return false;
    }
  }
  return n >= least;
}

bool atx_heading(std::string_view s) {
  std::size_t n = 0;
  while (n < s.size() && s[n] == '#') ++n;
  return n >= 1 && n <= 6 && (n == s.size() || s[n] == ' ' || s[n] == '\t' || s[n] == '\r');
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The end mark of a raw HTML block that `s` opens (kinds that may hold blank lines), else "".
std::string html_raw_end(std::string_view s) {
  if (s.empty() || s[0] != '<') return "";
  const std::string l = lower(s.substr(0, 12));
  for (const std::string_view tag : {"script", "pre", "style", "textarea"}) {
    if (l.compare(1, tag.size(), tag) == 0) {
      const std::size_t after = 1 + tag.size();
      if (after >= l.size() || l[after] == ' ' || l[after] == '>' || l[after] == '\t' ||
          l[after] == '\r')
        return "</" + std::string(tag) + ">";
    }
  }
  if (l.rfind("<!--", 0) == 0) return "-->";
  if (l.rfind("<![cdata[", 0) == 0) return "]]>";
  if (l.rfind("<?", 0) == 0) return "?>";
  if (l.size() > 2 && l[1] == '!' && std::isalpha(static_cast<unsigned char>(l[2]))) return ">";
  return "";
}

// The label of a link reference definition on this line ("[label]: ..."), lower-cased, or "".
std::string definition_label(std::string_view s) {
  if (s.empty() || s[0] != '[') return "";
  const std::size_t close = s.find(']');
  if (close == std::string_view::npos || close < 2 || close + 1 >= s.size() || s[close + 1] != ':')
    return "";
  const std::string_view label = s.substr(1, close - 1);
  if (label.find('[') != std::string_view::npos || blank(label)) return "";
  return lower(label);
}

}  // namespace

void BlockScanner::line(std::string_view text, std::size_t pos) {
  const std::size_t next = pos + text.size() + 1;
  if (fence_) {
    // A fence opened at the top closes only at the top; one inside a container closes with the
    // markers of its container in front.
    const auto [cols, bytes] = indent_of(text);
    const std::string_view rest = fence_->nested ? inner_of(text).rest : text.substr(bytes);
    if ((fence_->nested || cols <= 3) && only_run(rest, fence_->ch, fence_->len, false)) {
      fence_.reset();
      open_ = next;
      paragraph_ = false;
      after_blank_ = false;
    }
    return;
  }
  if (!html_end_.empty()) {
    if (text.find(html_end_) != std::string_view::npos) html_end_.clear();
    return;
  }
  if (blank(text)) {
    after_blank_ = true;
    paragraph_ = false;
    open_ = next;
    return;
  }
  const Inner in = inner_of(text);
  const int indent = indent_of(text).first;
  if ((first_ || after_blank_) && indent == 0 && !(list_ && in.marker)) {
    // A new top-level block that cannot belong to the one before.
    settled_ = pos;
    open_ = pos;
    list_ = false;
  } else if (after_blank_) {
    open_ = pos;
  }
  first_ = false;
  after_blank_ = false;
  list_ = list_ || in.marker;
  if (in.marker) {
    open_ = pos;
    paragraph_ = false;
  }
  const std::string_view rest = in.rest;
  // Fences: inside a list item any indent may still be the item's; at the top up to three.
  const bool fence_indent_ok = list_ || in.quote || indent <= 3;
  if (fence_indent_ok && (rest.rfind("```", 0) == 0 || rest.rfind("~~~", 0) == 0)) {
    const char ch = rest[0];
    std::size_t n = 0;
    while (n < rest.size() && rest[n] == ch) ++n;
    if (ch == '~' || rest.find('`', n) == std::string_view::npos) {
      fence_ = Fence{ch, n, list_ || in.quote || in.marker};
      open_ = pos;
      paragraph_ = false;
      return;
    }
  }
  if (indent <= 3 || in.marker || in.quote) {
    if (std::string end = html_raw_end(rest); !end.empty()) {
      open_ = pos;
      paragraph_ = false;
      if (rest.find(end, 2) == std::string_view::npos) html_end_ = std::move(end);
      return;
    }
  }
  if (atx_heading(rest) || (paragraph_ && only_run(rest, '=', 1, false)) ||
      only_run(rest, '-', paragraph_ ? 1 : 3, !paragraph_) ||
      (!paragraph_ && (only_run(rest, '*', 3, true) || only_run(rest, '_', 3, true)))) {
    // A heading or a rule is finished with its own line, and so is a paragraph it underlines.
    open_ = next;
    paragraph_ = false;
    return;
  }
  if (!paragraph_ && !in.marker && !in.quote && indent <= 3) {
    if (std::string label = definition_label(rest); !label.empty()) {
      definitions_.append(text).push_back('\n');
      if (labels_.insert(std::move(label)).second) new_definition_ = true;
      return;
    }
  }
  paragraph_ = true;
}

}  // namespace orvo::tui::scrivlet
