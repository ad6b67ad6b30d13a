// Display width of text in terminal cells, as the text layer names it. Decoding, clusters and the
// width rule belong to common/utf8.hpp (one rule for every module); this header brings them into
// the text layer and adds the form every Text holds:
//
//   cell_len(s)               cells of a string
//   for_each_grapheme(s, fn)  fn(begin, end, cells) per cluster (byte offsets)
//   cell_prefix(s, n)         longest prefix within n cells that splits no cluster
//   sanitize(s)               controls other than '\n' (and '\t' when keep_tabs) become U+FFFD,
//                             invalid bytes become U+FFFD
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf8.hpp"

namespace orvo::tui {

using text::cell_len;
using text::cell_prefix;
using text::CellPrefix;
using text::char_width;
using text::for_each_grapheme;
using text::Grapheme;
using text::is_plain_ascii;
using text::next_grapheme;

// `s` made safe to hold in a Text (see above). Returns a copy even when nothing changes.
std::string sanitize(std::string_view s, bool keep_tabs = false);
// True when sanitize(s) would change nothing.
bool is_sanitized(std::string_view s, bool keep_tabs = false) noexcept;

}  // namespace orvo::tui
