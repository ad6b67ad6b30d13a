// UTF-8 shared by every module: decoding and encoding, line boundaries, grapheme clusters and
// their width in terminal cells. Invalid bytes are read as U+FFFD one byte at a time, so no input
// can cause an out-of-range read.
//
// Width has one rule everywhere: text is measured per grapheme cluster (utf8proc's segmentation);
// a cluster takes the widest cell count of its code points, or 2 when it carries the emoji
// presentation selector U+FE0F. East Asian wide/fullwidth characters, emoji and regional
// indicators take 2 cells, combining marks and other zero-width code points 0, control characters
// 0. An invalid byte reads as U+FFFD (1 cell). Printable ASCII takes a fast path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::text {

inline constexpr char32_t kReplacement = 0xFFFD;

// Decodes the code point at `pos` and advances `pos` past it (one byte for an invalid sequence).
char32_t decode(std::string_view s, std::size_t& pos) noexcept;

// Length of the well-formed sequence at `pos` (pos < s.size()): 1 for ASCII, 0 when the bytes there
// are no character (stray continuation byte, overlong form, surrogate, beyond U+10FFFF, truncated).
inline std::size_t sequence_length(std::string_view s, std::size_t pos) noexcept {
  const auto b = [&](std::size_t i) {
    return pos + i < s.size() ? static_cast<unsigned char>(s[pos + i]) : 0u;
  };
  const auto cont = [&](std::size_t i, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return b(i) >= lo && b(i) <= hi;
  };
  const unsigned c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
  if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return cont(1) && cont(2) ? 3 : 0;
  if (c == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
  if (c == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
  if (c >= 0xF1 && c <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
  if (c == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  return 0;
}

// Bytes at the end of `s` that start a character whose remaining bytes have not arrived yet
// (0 when the end is complete or the lead byte could never start one).
std::size_t incomplete_tail(std::string_view s) noexcept;

// The first position at or after `pos` that is not a continuation byte (s.size() at the most).
inline std::size_t char_start_from(std::string_view s, std::size_t pos) noexcept {
  while (pos < s.size() && (static_cast<unsigned char>(s[pos]) & 0xC0) == 0x80) ++pos;
  return pos;
}

// Appends the UTF-8 form of `cp` (U+FFFD for surrogates and values above U+10FFFF).
void encode(char32_t cp, std::string& out);

// Number of code points (each invalid byte counts as one).
std::size_t count_chars(std::string_view s) noexcept;

// The first `n` code points of `s`, as a view into `s` (bytes kept as they are).
std::string_view take_chars(std::string_view s, std::size_t n) noexcept;

// The line that starts at `pos` (which must be < s.size()); advances `pos` past its boundary.
// Boundaries as for split_lines.
std::string_view next_line(std::string_view s, std::size_t& pos) noexcept;

// Splits at LF, CR, CR LF (one boundary), VT, FF, U+001C..U+001E, U+0085, U+2028, U+2029.
// Boundaries are not part of the lines; a boundary at the end gives no empty last line.
std::vector<std::string_view> split_lines(std::string_view s);

// The first `limit` lines of split_lines(s).
std::vector<std::string_view> line_views(std::string_view s,
                                         std::size_t limit = std::string_view::npos);

// How many lines split_lines gives, without making them.
std::size_t count_lines(std::string_view s) noexcept;

// Length of the line boundary starting at byte `i` (i < s.size()), 0 when there is none.
std::size_t line_break_at(std::string_view s, std::size_t i) noexcept;

// The first byte at or after `i` that may start a line boundary (s.size() when none does). Scans
// eight bytes at a time: tool output runs to tens of kilobytes and every replay walks it.
std::size_t next_break_candidate(std::string_view s, std::size_t i) noexcept;

// True for the code points Python's str.isspace() accepts.
bool is_space(char32_t cp) noexcept;

// `s` without Unicode whitespace at both ends.
std::string_view strip(std::string_view s) noexcept;

// True when `s` holds at least one code point that is not whitespace.
bool has_visible(std::string_view s) noexcept;

// Text for a terminal: ESC, CR and every other C0/C1 control (and DEL) except LF and TAB become
// U+FFFD, one visible column each, so column counting is unchanged; invalid bytes become U+FFFD.
// A CR directly before LF is dropped. Returns `s` unchanged when nothing needs replacing.
std::string terminal_safe(std::string_view s);

// `s` without whole escape sequences: CSI (ESC [ or U+009B, with parameters and intermediates),
// control strings (OSC, DCS, SOS, PM, APC, as ESC sequences or C1 code points, up to BEL, ESC \ or
// U+009C; an unterminated one ends before the next line feed) and other ESC sequences (ESC, then
// intermediates, then a final byte). Lone controls are kept, for terminal_safe to neutralise.
std::string strip_escapes(std::string_view s);

// Text quoted in a message: as terminal_safe, and line feeds and tabs become U+FFFD as well, so
// input can neither drive the terminal nor forge message lines.
std::string message_safe(std::string_view s);

// Cells of one code point in isolation (0, 1 or 2). Text is measured with cell_len, which also
// knows the clusters (U+2600 alone is 1 cell, U+2600 U+FE0F is 2).
int char_width(char32_t cp) noexcept;

// Length of the run of printable ASCII (0x20..0x7E) at the start of `s`.
std::size_t printable_ascii_run(std::string_view s) noexcept;

// True when every byte is printable ASCII.
inline bool is_plain_ascii(std::string_view s) noexcept {
  return printable_ascii_run(s) == s.size();
}

// One grapheme cluster: bytes [begin, end) of the string, `cells` wide.
struct Grapheme {
  std::size_t begin;
  std::size_t end;
  int cells;
};

// The cluster starting at byte `pos` (pos < s.size()).
Grapheme next_grapheme(std::string_view s, std::size_t pos) noexcept;

// Calls fn(const Grapheme&) for every cluster of `s`, in order.
template <class F>
void for_each_grapheme(std::string_view s, F&& fn) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    const Grapheme g = next_grapheme(s, pos);
    fn(g);
    pos = g.end;
  }
}

// Terminal cells of `s`.
int cell_len(std::string_view s) noexcept;

// The longest prefix of `s` that fits in `max_cells` without splitting a cluster.
struct CellPrefix {
  std::size_t bytes;  // length of the prefix in bytes
  int cells;          // its width (<= max_cells; less when a wide cluster would straddle)
};
CellPrefix cell_prefix(std::string_view s, int max_cells) noexcept;

// The longest prefix of `s` that takes at most `max_cells` terminal cells (bytes kept).
inline std::string_view take_columns(std::string_view s, int max_cells) noexcept {
  return s.substr(0, cell_prefix(s, max_cells).bytes);
}

// True when `cp` must not reach a terminal as it is (see terminal_safe).
inline bool is_unsafe_control(char32_t cp) noexcept {
  return (cp < 0x20 && cp != '\n' && cp != '\t') || (cp >= 0x7F && cp <= 0x9F);
}

}  // namespace orvo::text
