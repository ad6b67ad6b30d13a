// textwrap-style wrapping of plain strings by code points (Text::rich_wrap is the other kind:
// styled text by terminal cells). Greedy word wrapper with the rows of Python's textwrap.wrap(text,
// width, initial_indent=..., subsequent_indent=...) at its defaults:
//  - tabs expand to the next multiple of 8 columns (the column restarts after '\n' and '\r'),
//    every other ASCII whitespace character (LF, VT, FF, CR) becomes one space;
//  - rows break at runs of spaces and after the hyphen inside a hyphenated word (letters on both
//    sides), and between a word and an em-dash ("--") that follows it;
//  - whitespace at the end of each row is dropped, and at the start of every row but the first
//    (leading whitespace of the text is kept when a word follows it on the first row);
//  - a word longer than the row is broken: the first piece fills the rest of the row (broken
//    after its last hyphen when that fits), further pieces fill whole rows;
//  - lengths count code points (indents included); text without a word gives no rows.
// Width < 1 throws std::invalid_argument, as Python does. Invalid UTF-8 bytes count as one
// code point each and are kept as they are.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvo::tui {

std::vector<std::string> textwrap_wrap(std::string_view text, int width,
                                       std::string_view initial_indent = "",
                                       std::string_view subsequent_indent = "");

}  // namespace orvo::tui
