#include "html/entities.hpp"

#include <cstddef>

#include "common/utf8.hpp"

namespace orvo::html {
namespace {

// What browsers make of numeric references to 0x80..0x9F (0 where they keep the code point).
constexpr char16_t kWindows1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

constexpr std::size_t kLongestName = 32;  // "CounterClockwiseContourIntegral" has 31 letters

bool is_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

int digit_value(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the digits of a numeric reference at s[i] (just past "&#"). Returns the index past the
// digits, or npos when there are none; `cp` saturates past U+10FFFF instead of overflowing.
std::size_t read_number(std::string_view s, std::size_t i, unsigned long& cp) {
  const bool hex = i < s.size() && (s[i] == 'x' || s[i] == 'X');
  if (hex) ++i;
  const std::size_t from = i;
  cp = 0;
  for (int v; i < s.size() && (v = digit_value(s[i], hex)) >= 0; ++i) {
    cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(v);
    if (cp > 0x10FFFF) cp = 0x110000;
  }
  return i == from ? std::string_view::npos : i;
}

}  // namespace

std::string_view named_entity(std::string_view name) {
  const NamedEntity* e = find_named_entity(name);
  return e != nullptr ? e->utf8 : std::string_view();
}

void append_numeric(unsigned long cp, std::string& out) {
  if (cp >= 0x80 && cp <= 0x9F && kWindows1252[cp - 0x80] != 0) cp = kWindows1252[cp - 0x80];
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ||
      text::is_unsafe_control(static_cast<char32_t>(cp))) {
    cp = text::kReplacement;
  }
  text::encode(static_cast<char32_t>(cp), out);
}

void decode_entity(std::string_view ref, std::string& out) {
  if (ref.size() < 3 || ref.front() != '&' || ref.back() != ';') {
    out.append(ref);
    return;
  }
  const std::string_view body = ref.substr(1, ref.size() - 2);
  if (body.front() != '#') {
    const std::string_view text = named_entity(body);
    out.append(text.empty() ? ref : text);
    return;
  }
  unsigned long cp = 0;
  if (read_number(body, 1, cp) != body.size()) {
    out.append(ref);
    return;
  }
  append_numeric(cp, out);
}

std::string decode_entities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) break;
    out.append(text.substr(i, amp - i));
    i = amp + 1;
    if (i < text.size() && text[i] == '#') {
      unsigned long cp = 0;
      const std::size_t end = read_number(text, i + 1, cp);
      if (end == std::string_view::npos) {
        out += '&';  // "&#" without digits is text
        continue;
      }
      append_numeric(cp, out);
      i = end < text.size() && text[end] == ';' ? end + 1 : end;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && end - i < kLongestName && is_alnum(text[end])) ++end;
    const std::string_view name = text.substr(i, end - i);
    if (end < text.size() && text[end] == ';') {
      if (const NamedEntity* e = find_named_entity(name)) {
        out.append(e->utf8);
        i = end + 1;
        continue;
      }
    }
    // Without a whole match, the longest legacy name at the start counts ("&notit;" -> "¬it;").
    bool found = false;
    for (std::size_t n = name.size(); n >= 2 && !found; --n) {
      const NamedEntity* e = find_named_entity(name.substr(0, n));
      if (e != nullptr && e->legacy) {
        out.append(e->utf8);
        i += n;
        found = true;
      }
    }
    if (!found) out += '&';
  }
  out.append(text.substr(i));
  return out;
}

}  // namespace orvo::html
