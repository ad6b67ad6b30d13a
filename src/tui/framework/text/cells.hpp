// Display width of text in terminal cells.
//
// Text is measured per grapheme cluster (utf8proc's segmentation): a cluster takes the widest
// cell count of its code points, or 2 when it carries the emoji presentation selector U+FE0F;
// East Asian wide/fullwidth characters and emoji take 2 cells, combining marks and other
// zero-width code points 0, control characters 0. Invalid UTF-8 bytes read as U+FFFD (1 cell).
// Pure printable ASCII takes a fast path (one cell per byte).
//
//   cell_len(s)               cells of a string
//   for_each_grapheme(s, fn)  fn(begin, end, cells) per cluster (byte offsets)
//   cell_prefix(s, n)         longest prefix within n cells that splits no cluster
//   sanitize(s)               the form every Text holds: controls other than '\n' (and '\t' when
//                             keep_tabs) become U+FFFD, invalid bytes become U+FFFD
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvo::tui {

// Cells of one code point in isolation (0, 1 or 2).
int char_width(char32_t cp) noexcept;

// True when every byte is printable ASCII (0x20..0x7E).
bool is_plain_ascii(std::string_view s) noexcept;

// Display cells of `s`.
int cell_len(std::string_view s) noexcept;

// One grapheme cluster: bytes [begin, end) of the string, `cells` wide.
struct Grapheme {
  std::size_t begin;
  std::size_t end;
  int cells;
};

// Finds the cluster starting at byte `pos` (pos < s.size()).
Grapheme next_grapheme(std::string_view s, std::size_t pos) noexcept;

// Calls fn(const Grapheme&) for every cluster of `s`, in order.
template <class F>
void for_each_grapheme(std::string_view s, F&& fn) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    Grapheme g = next_grapheme(s, pos);
    fn(g);
    pos = g.end;
  }
}

// The longest prefix of `s` that fits in `max_cells` without splitting a cluster.
struct CellPrefix {
  std::size_t bytes;  // length of the prefix in bytes
  int cells;          // its width (<= max_cells; less when a wide cluster would straddle)
};
CellPrefix cell_prefix(std::string_view s, int max_cells) noexcept;

// `s` made safe to hold in a Text (see above). Returns a copy even when nothing changes.
std::string sanitize(std::string_view s, bool keep_tabs = false);
// True when sanitize(s) would change nothing.
bool is_sanitized(std::string_view s, bool keep_tabs = false) noexcept;

}  // namespace orvo::tui
