#include "common/utf8.hpp"

#include <cstring>

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

std::size_t incomplete_tail(std::string_view s) noexcept {
  for (std::size_t back = 1; back <= 3 && back <= s.size(); ++back) {
    const auto b = static_cast<unsigned char>(s[s.size() - back]);
    if ((b & 0xC0) == 0x80) continue;
    const std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return need > back ? back : 0;
  }
  return 0;
}

std::size_t line_break_at(std::string_view s, std::size_t i) noexcept {
  // Byte patterns suffice: in UTF-8 these lead bytes never occur inside another character.
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x20) {
    if (b == '\r') return i + 1 < s.size() && s[i + 1] == '\n' ? 2 : 1;
    return (b == '\n' || b == 0x0B || b == 0x0C || b == 0x1C || b == 0x1D || b == 0x1E) ? 1 : 0;
  }
  if (b == 0xC2) return i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85 ? 2 : 0;
  if (b == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80) {
    const auto c = static_cast<unsigned char>(s[i + 2]);
    return c == 0xA8 || c == 0xA9 ? 3 : 0;
  }
  return 0;
}

namespace {

// Bytes that may start a line boundary; everything else is skipped at table speed.
struct BreakLeads {
  bool lead[256] = {};
  constexpr BreakLeads() {
    for (int b = 0; b < 0x20; ++b) lead[b] = true;
    lead[0xC2] = lead[0xE2] = true;
  }
};
constexpr BreakLeads kBreakLeads;

}  // namespace

std::size_t next_break_candidate(std::string_view s, std::size_t i) noexcept {
  const char* p = s.data();
  const std::size_t n = s.size();
  // Eight bytes at a time while none of them is below 0x20, 0xC2 or 0xE2: the bit tricks tell
  // whether a word holds such a byte (never wrongly that it does not), and the byte loop below
  // finds which.
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
  while (i + 8 <= n) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    const std::uint64_t c2 = w ^ (kOnes * 0xC2), e2 = w ^ (kOnes * 0xE2);
    const std::uint64_t below_space = (w - kOnes * 0x20) & ~w;
    const std::uint64_t zero_c2 = (c2 - kOnes) & ~c2, zero_e2 = (e2 - kOnes) & ~e2;
    if ((below_space | zero_c2 | zero_e2) & kHighs) break;
    i += 8;
  }
  while (i < n && !kBreakLeads.lead[static_cast<unsigned char>(p[i])]) ++i;
  return i;
}

std::string_view next_line(std::string_view s, std::size_t& pos) noexcept {
  const std::size_t start = pos;
  std::size_t i = pos;
  while ((i = next_break_candidate(s, i)) < s.size()) {
    const std::size_t len = line_break_at(s, i);
    if (len != 0) {
      pos = i + len;
      return s.substr(start, i - start);
    }
    ++i;
  }
  pos = s.size();
  return s.substr(start);
}

std::vector<std::string_view> line_views(std::string_view s, std::size_t limit) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < s.size() && lines.size() < limit) lines.push_back(next_line(s, pos));
  return lines;
}

std::vector<std::string_view> split_lines(std::string_view s) {
  return line_views(s);
}

std::size_t count_lines(std::string_view s) noexcept {
  std::size_t n = 0, start = 0, i = 0;
  while ((i = next_break_candidate(s, i)) < s.size()) {
    const std::size_t len = line_break_at(s, i);
    if (len == 0) {
      ++i;
      continue;
    }
    ++n;
    i += len;
    start = i;
  }
  return n + (start < s.size() ? 1 : 0);
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
