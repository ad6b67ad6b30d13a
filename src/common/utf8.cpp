#include "common/utf8.hpp"

#include <utf8proc.h>

namespace orvo::text {

char32_t decode(std::string_view s, std::size_t& pos) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  const unsigned char b0 = p[pos];
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  int len;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + len > n) {
    ++pos;
    return kReplacement;
  }
  for (int i = 1; i < len; ++i) {
    const unsigned char b = p[pos + i];
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += len;
  return cp;
}

void encode(char32_t cp, std::string& out) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::size_t count_chars(std::string_view s) noexcept {
  std::size_t count = 0;
  std::size_t pos = 0;
  while (pos < s.size()) {
    // Fast path: ASCII bytes are one code point each.
    if (static_cast<unsigned char>(s[pos]) < 0x80) {
      ++pos;
    } else {
      decode(s, pos);
    }
    ++count;
  }
  return count;
}

std::string_view take_chars(std::string_view s, std::size_t n) noexcept {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < n && pos < s.size(); ++i) {
    if (static_cast<unsigned char>(s[pos]) < 0x80) {
      ++pos;
    } else {
      decode(s, pos);
    }
  }
  return s.substr(0, pos);
}

std::string_view next_line(std::string_view s, std::size_t& pos) noexcept {
  const std::size_t start = pos;
  while (pos < s.size()) {
    const unsigned char b = static_cast<unsigned char>(s[pos]);
    if (b >= 0x20 && b < 0x80) {
      ++pos;
      continue;
    }
    const std::size_t line_end = pos;
    if (b == '\n' || b == '\v' || b == '\f' || (b >= 0x1C && b <= 0x1E)) {
      ++pos;
      return s.substr(start, line_end - start);
    }
    if (b == '\r') {
      pos += (pos + 1 < s.size() && s[pos + 1] == '\n') ? 2 : 1;
      return s.substr(start, line_end - start);
    }
    if (b < 0x80) {
      ++pos;
      continue;
    }
    const char32_t cp = decode(s, pos);
    if (cp == 0x85 || cp == 0x2028 || cp == 0x2029) return s.substr(start, line_end - start);
  }
  return s.substr(start);
}

std::vector<std::string_view> split_lines(std::string_view s) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < s.size()) lines.push_back(next_line(s, pos));
  return lines;
}

int columns(char32_t cp) noexcept {
  if (cp >= 0x20 && cp < 0x7F) return 1;
  const int w = utf8proc_charwidth(static_cast<utf8proc_int32_t>(cp));
  return w < 0 ? 1 : w;
}

std::string_view take_columns(std::string_view s, int max_columns) noexcept {
  int used = 0;
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t next = pos;
    const int w = columns(decode(s, next));
    if (used + w > max_columns) break;
    used += w;
    pos = next;
  }
  return s.substr(0, pos);
}

bool is_space(char32_t cp) noexcept {
  if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::string_view strip(std::string_view s) noexcept {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t next = begin;
    if (!is_space(decode(s, next))) break;
    begin = next;
  }
  // From the end: back up to the lead byte of the last code point and decode it forwards, so a
  // long text costs only its trailing whitespace.
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t lead = end - 1;
    while (lead > begin && end - lead < 4 && (static_cast<unsigned char>(s[lead]) & 0xC0) == 0x80) {
      --lead;
    }
    std::size_t next = lead;
    const char32_t cp = decode(s, next);
    if (next != end) break;  // a stray continuation byte: not whitespace
    if (!is_space(cp)) break;
    end = lead;
  }
  return s.substr(begin, end - begin);
}

bool has_visible(std::string_view s) noexcept {
  std::size_t pos = 0;
  while (pos < s.size()) {
    if (!is_space(decode(s, pos))) return true;
  }
  return false;
}

std::string terminal_safe(std::string_view s) {
  // Most text is clean: scan once and return it untouched.
  std::size_t pos = 0;
  bool clean = true;
  while (pos < s.size()) {
    const unsigned char b = static_cast<unsigned char>(s[pos]);
    if (b >= 0x20 && b < 0x7F) {
      ++pos;
      continue;
    }
    const std::size_t before = pos;
    const char32_t cp = decode(s, pos);
    if (is_unsafe_control(cp) || (cp == kReplacement && pos - before == 1)) {
      clean = false;
      break;
    }
  }
  if (clean) return std::string(s);

  std::string out;
  out.reserve(s.size() + 16);
  pos = 0;
  while (pos < s.size()) {
    const unsigned char b = static_cast<unsigned char>(s[pos]);
    if (b >= 0x20 && b < 0x7F) {
      out.push_back(static_cast<char>(b));
      ++pos;
      continue;
    }
    const std::size_t before = pos;
    const char32_t cp = decode(s, pos);
    if (cp == '\r' && pos < s.size() && s[pos] == '\n') continue;
    if (is_unsafe_control(cp) || (cp == kReplacement && pos - before == 1)) {
      encode(kReplacement, out);
    } else {
      out.append(s.substr(before, pos - before));
    }
  }
  return out;
}

namespace {

// Position after a control sequence whose parameters start at `p` (CSI): parameter bytes, then
// intermediate bytes, then one final byte. A byte that cannot belong to it ends it early (what
// was read is dropped; that byte is kept); the end of the text ends it too.
std::size_t skip_csi(std::string_view s, std::size_t p) noexcept {
  while (p < s.size() && s[p] >= 0x30 && s[p] <= 0x3F) ++p;
  while (p < s.size() && s[p] >= 0x20 && s[p] <= 0x2F) ++p;
  if (p < s.size() && s[p] >= 0x40 && s[p] <= 0x7E) ++p;
  return p;
}

// Position after a control string whose content starts at `p` (OSC, DCS, SOS, PM, APC): up to BEL,
// ESC \ or the C1 string terminator. An unterminated one ends before the next line feed.
std::size_t skip_string(std::string_view s, std::size_t p) noexcept {
  while (p < s.size()) {
    const unsigned char b = static_cast<unsigned char>(s[p]);
    if (b == 0x07) return p + 1;
    if (b == '\n') return p;
    if (b == 0x1B && p + 1 < s.size() && s[p + 1] == '\\') return p + 2;
    if (b == 0xC2 && p + 1 < s.size() && static_cast<unsigned char>(s[p + 1]) == 0x9C) return p + 2;
    ++p;
  }
  return p;
}

bool is_c1_introducer(unsigned char b) noexcept {
  return b == 0x9B || b == 0x9D || b == 0x90 || b == 0x98 || b == 0x9E || b == 0x9F;
}

}  // namespace

std::string strip_escapes(std::string_view s) {
  bool any = false;
  for (std::size_t i = 0; i < s.size() && !any; ++i) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    any = b == 0x1B ||
          (b == 0xC2 && i + 1 < s.size() && is_c1_introducer(static_cast<unsigned char>(s[i + 1])));
  }
  if (!any) return std::string(s);

  std::string out;
  out.reserve(s.size());
  std::size_t p = 0;
  while (p < s.size()) {
    const unsigned char b = static_cast<unsigned char>(s[p]);
    if (b == 0x1B && p + 1 < s.size()) {
      const unsigned char c = static_cast<unsigned char>(s[p + 1]);
      if (c == '[') {
        p = skip_csi(s, p + 2);
        continue;
      }
      if (c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_') {
        p = skip_string(s, p + 2);
        continue;
      }
      // Other escape sequences: intermediate bytes, then one final byte (ESC ( B, ESC 7, ESC =).
      std::size_t q = p + 1;
      while (q < s.size() && s[q] >= 0x20 && s[q] <= 0x2F) ++q;
      if (q < s.size() && s[q] >= 0x30 && s[q] <= 0x7E) {
        p = q + 1;
        continue;
      }
    } else if (b == 0xC2 && p + 1 < s.size()) {
      const unsigned char c = static_cast<unsigned char>(s[p + 1]);
      if (c == 0x9B) {
        p = skip_csi(s, p + 2);
        continue;
      }
      if (is_c1_introducer(c)) {
        p = skip_string(s, p + 2);
        continue;
      }
    }
    out.push_back(static_cast<char>(b));  // a lone ESC stays, for terminal_safe to neutralise
    ++p;
  }
  return out;
}

std::string message_safe(std::string_view s) {
  std::string safe = terminal_safe(s);
  if (safe.find_first_of("\n\t") == std::string::npos) return safe;
  std::string out;
  out.reserve(safe.size() + 8);
  for (char c : safe) {
    if (c == '\n' || c == '\t') {
      encode(kReplacement, out);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace orvo::text
