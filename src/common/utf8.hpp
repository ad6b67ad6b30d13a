// UTF-8 helpers shared by every module. Text is handled as code points; invalid bytes are read as
// U+FFFD one byte at a time, so no input can cause an out-of-range read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::text {

inline constexpr char32_t kReplacement = 0xFFFD;

// Decodes the code point at `pos` and advances `pos` past it (one byte for an invalid sequence).
char32_t decode(std::string_view s, std::size_t& pos) noexcept;

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

// Terminal columns of one code point: 2 for wide East Asian characters and emoji, 0 for combining
// marks and other zero-width characters, else 1.
int columns(char32_t cp) noexcept;

// The longest prefix of `s` that takes at most `max_columns` terminal columns (bytes kept).
std::string_view take_columns(std::string_view s, int max_columns) noexcept;

// True when `cp` must not reach a terminal as it is (see terminal_safe).
inline bool is_unsafe_control(char32_t cp) noexcept {
  return (cp < 0x20 && cp != '\n' && cp != '\t') || (cp >= 0x7F && cp <= 0x9F);
}

}  // namespace orvo::text
