// Grapheme clusters and their width in terminal cells (the rule is described in utf8.hpp).
#include <utf8proc.h>

#include <algorithm>
#include <cstring>

#include "common/utf8.hpp"

namespace orvo::text {
namespace {

inline bool ascii_printable(unsigned char c) {
  return c >= 0x20 && c < 0x7F;
}

inline bool is_regional_indicator(char32_t cp) {
  return cp >= 0x1F1E6 && cp <= 0x1F1FF;
}

// Length of the run of printable ASCII at the start of p[0, n), eight bytes at a time.
inline std::size_t ascii_run(const unsigned char* p, std::size_t n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::size_t i = 0;
  while (i + 8 <= n) {
    std::uint64_t x;
    std::memcpy(&x, p + i, 8);
    const std::uint64_t below_space = (x - kOnes * 0x20) & ~x;
    const std::uint64_t y = x ^ (kOnes * 0x7F);
    const std::uint64_t del = (y - kOnes) & ~y;
    if ((below_space | del | x) & kHigh) break;
    i += 8;
  }
  while (i < n && ascii_printable(p[i])) ++i;
  return i;
}

}  // namespace

int char_width(char32_t cp) noexcept {
  if (cp < 0x7F) return cp >= 0x20 ? 1 : 0;
  if (cp < 0xA0) return 0;
  if (is_regional_indicator(cp)) return 2;  // flags are drawn two cells wide
  const int w = utf8proc_charwidth(static_cast<utf8proc_int32_t>(cp));
  return w < 0 ? 0 : (w > 2 ? 2 : w);
}

std::size_t printable_ascii_run(std::string_view s) noexcept {
  return ascii_run(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

Grapheme next_grapheme(std::string_view s, std::size_t pos) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  // ASCII followed by ASCII (or the end) is a cluster of its own, except CR LF.
  if (p[pos] < 0x80 &&
      (pos + 1 == n || (p[pos + 1] < 0x80 && !(p[pos] == '\r' && p[pos + 1] == '\n'))))
    return {pos, pos + 1, ascii_printable(p[pos]) ? 1 : 0};
  std::size_t i = pos;
  char32_t cp = decode(s, i);
  int width = char_width(cp);
  utf8proc_int32_t state = 0;
  utf8proc_int32_t prev = static_cast<utf8proc_int32_t>(cp);
  while (i < n) {
    std::size_t j = i;
    const char32_t next = decode(s, j);
    if (utf8proc_grapheme_break_stateful(prev, static_cast<utf8proc_int32_t>(next), &state)) break;
    if (next == 0xFE0F) {
      width = 2;  // emoji presentation
    } else {
      const int w = char_width(next);
      if (w > width) width = w;
    }
    prev = static_cast<utf8proc_int32_t>(next);
    i = j;
  }
  return {pos, i, width};
}

int cell_len(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = ascii_run(p, n);
  if (i == n) return static_cast<int>(n);
  // The last ASCII character may start a cluster with what follows (e + U+0301).
  if (i > 0) --i;
  int cells = static_cast<int>(i);
  while (i < n) {
    const Grapheme g = next_grapheme(s, i);
    cells += g.cells;
    i = g.end;
  }
  return cells;
}

CellPrefix cell_prefix(std::string_view s, int max_cells) noexcept {
  if (max_cells <= 0) return {0, 0};
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  const std::size_t limit = static_cast<std::size_t>(max_cells);
  std::size_t i = ascii_run(p, std::min(n, limit));
  if (i == n) return {n, static_cast<int>(n)};
  if (i == limit) {
    // Full; unless the next byte extends the last ASCII character's cluster.
    if (p[i] < 0x80) return {i, max_cells};
  }
  if (i > 0) --i;
  int cells = static_cast<int>(i);
  while (i < n) {
    const Grapheme g = next_grapheme(s, i);
    if (cells + g.cells > max_cells) break;
    cells += g.cells;
    i = g.end;
  }
  return {i, cells};
}

}  // namespace orvo::text
