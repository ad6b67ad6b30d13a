// HTML as a reader sees it, in plain text. Fetched pages are real-world HTML, often malformed, so
// they go through an HTML5 parser (gumbo) that builds the tree a browser would.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace orvo::html {

// Plain text of an HTML page: script, style, noscript, template and head dropped; block elements
// end lines, a <p> is followed by an empty line, <br> breaks, list items start with "- " (nested
// ones indented), table cells are separated by " | ", <pre> keeps its whitespace; elsewhere
// whitespace runs are one space; at most one empty line in a row; entities decoded (no-break
// spaces as spaces) and controls other than LF and TAB shown as U+FFFD. Ends with one "\n" unless
// empty. Stops once the text is longer than `max_bytes`, leaving it longer, so a caller can tell it
// was cut.
std::string html_to_text(std::string_view html,
                         std::size_t max_bytes = std::numeric_limits<std::size_t>::max());

// Whether a browser starts a new line at the element `name` (lower case, "div", "li", "h2").
bool is_block_element(std::string_view name);

}  // namespace orvo::html
