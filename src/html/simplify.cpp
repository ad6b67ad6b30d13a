#include "html/simplify.hpp"

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace orvo::html {
namespace {

constexpr std::size_t kMaxDepth = 256;   // real pages stay far below
constexpr std::size_t kCloseReach = 64;  // how far down a closing tag looks for its element

bool letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool one_of(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Elements that only style text: none of them breaks a line.
bool formatting(std::string_view n) {
  return one_of(n, {"a", "b", "big", "code", "em", "font", "i", "nobr", "s", "small", "strike",
                    "strong", "tt", "u"});
}

bool is_void(std::string_view n) {
  return one_of(
      n, {"area", "base", "basefont", "bgsound", "br", "col", "embed", "frame", "hr", "image",
          "img", "input", "keygen", "link", "meta", "param", "source", "track", "wbr"});
}

// Elements the parser closes by itself when the next one starts, so they never pile up.
bool closes_itself(std::string_view n) {
  return one_of(n, {"body", "caption",  "colgroup", "dd",    "dt", "head",  "html",
                    "li",   "optgroup", "option",   "p",     "rb", "rp",    "rt",
                    "rtc",  "tbody",    "td",       "tfoot", "th", "thead", "tr"});
}

// Elements whose content is text up to their closing tag.
bool raw_text(std::string_view n) {
  return one_of(n, {"iframe", "noembed", "noframes", "noscript", "script", "style", "textarea",
                    "title", "xmp"});
}

// Where the text "</name" starts at or after `from` (any case), or npos.
std::size_t find_close(std::string_view s, std::size_t from, std::string_view name) {
  for (std::size_t at = s.find("</", from); at != std::string_view::npos;
       at = s.find("</", at + 2)) {
    if (at + 2 + name.size() > s.size()) return std::string_view::npos;
    bool same = true;
    for (std::size_t k = 0; k < name.size() && same; ++k) same = lower(s[at + 2 + k]) == name[k];
    if (same) return at;
  }
  return std::string_view::npos;
}

struct Tag {
  std::string name;
  bool closing = false;
  bool self_closing = false;
  std::size_t end = std::string_view::npos;  // past the '>'; npos: the input ends inside the tag
};

// The tag at s[i] ('<' followed by a letter, or "</" and a letter), read as the HTML tokenizer
// reads it: quotes count only around attribute values.
Tag read_tag(std::string_view s, std::size_t i) {
  Tag t;
  ++i;
  if (s[i] == '/') {
    t.closing = true;
    ++i;
  }
  while (i < s.size() && !space(s[i]) && s[i] != '/' && s[i] != '>') t.name += lower(s[i++]);
  while (i < s.size()) {
    if (space(s[i])) {
      ++i;
    } else if (s[i] == '>') {
      t.end = i + 1;
      return t;
    } else if (s[i] == '/') {
      ++i;
      t.self_closing = i < s.size() && s[i] == '>';
    } else {
      // An attribute: its name (which may start with '='), then maybe "=" and a value.
      ++i;
      while (i < s.size() && !space(s[i]) && s[i] != '/' && s[i] != '>' && s[i] != '=') ++i;
      while (i < s.size() && space(s[i])) ++i;
      if (i < s.size() && s[i] == '=') {
        ++i;
        while (i < s.size() && space(s[i])) ++i;
        if (i < s.size() && (s[i] == '"' || s[i] == '\'')) {
          const std::size_t q = s.find(s[i], i + 1);
          if (q == std::string_view::npos) return t;
          i = q + 1;
        } else {
          while (i < s.size() && !space(s[i]) && s[i] != '>') ++i;
        }
      }
    }
  }
  return t;
}

}  // namespace

std::string simplify_markup(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::vector<std::string> open;           // elements that may still be open, innermost last
  std::size_t foreign = 0;                 // how many of them are svg or math
  std::map<std::string, std::size_t> cut;  // opening tags left out, by name, not yet closed
  auto pop_to = [&](std::size_t depth) {
    while (open.size() > depth) {
      if (open.back() == "svg" || open.back() == "math") --foreign;
      open.pop_back();
    }
  };
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t lt = s.find('<', i);
    if (lt == std::string_view::npos || lt + 1 >= s.size()) break;
    out.append(s.substr(i, lt - i));
    i = lt;
    // Comments and CDATA go through whole, so nothing in them is taken for a tag.
    for (const auto& [start, stop] :
         {std::pair<std::string_view, std::string_view>{"<!--", "-->"}, {"<![CDATA[", "]]>"}}) {
      if (s.substr(i, start.size()) == start) {
        const std::size_t e = s.find(stop, i + start.size());
        const std::size_t to = e == std::string_view::npos ? s.size() : e + stop.size();
        out.append(s.substr(i, to - i));
        i = to;
        break;
      }
    }
    if (i != lt) continue;
    const bool closing = s[i + 1] == '/';
    if (s[i + 1] == '!' || s[i + 1] == '?' ||
        (closing && (i + 2 >= s.size() || !letter(s[i + 2])))) {
      // A doctype or a bogus comment ("<?xml ...>", "</ x>"): up to the next '>'.
      const std::size_t e = s.find('>', i);
      const std::size_t to = e == std::string_view::npos ? s.size() : e + 1;
      out.append(s.substr(i, to - i));
      i = to;
      continue;
    }
    if (!closing && !letter(s[i + 1])) {
      out += '<';  // "a < b": text
      ++i;
      continue;
    }
    const Tag t = read_tag(s, i);
    if (t.end == std::string_view::npos) break;  // the parser drops a tag cut off by the end
    i = t.end;
    if (formatting(t.name)) continue;
    const std::string tag =
        std::string(t.closing ? "</" : "<") + t.name + (t.self_closing && foreign > 0 ? "/>" : ">");
    if (t.closing) {
      const std::size_t reach = std::min(open.size(), kCloseReach);
      const auto it =
          std::find(open.end() - static_cast<std::ptrdiff_t>(reach), open.end(), t.name);
      if (it != open.end()) {
        pop_to(static_cast<std::size_t>(it - open.begin()));
      } else if (auto c = cut.find(t.name); c != cut.end() && c->second > 0) {
        --c->second;  // closes an element left out
        continue;
      }
      out += tag;
      continue;
    }
    if (t.name == "plaintext") {
      out += tag;
      out.append(s.substr(i));  // everything after it is text
      return out;
    }
    // Raw text elements hold no elements, so they never nest and are never left out: their
    // content must stay raw text.
    const bool pushes = !is_void(t.name) && !closes_itself(t.name) && !raw_text(t.name) &&
                        !(t.self_closing && foreign > 0);
    if (pushes && open.size() >= kMaxDepth) {
      ++cut[t.name];
      continue;
    }
    out += tag;
    if (raw_text(t.name)) {
      const std::size_t close = find_close(s, i, t.name);
      const std::size_t to = close == std::string_view::npos ? s.size() : close;
      out.append(s.substr(i, to - i));
      i = to;
      continue;  // its closing tag is read as any other
    }
    if (pushes) {
      open.push_back(t.name);
      if (t.name == "svg" || t.name == "math") ++foreign;
    }
  }
  out.append(s.substr(i));
  return out;
}

}  // namespace orvo::html
