// HTML entities as markdown text carries them ("&amp;", "&#233;", "&#x1F600;").
#pragma once

#include <string>
#include <string_view>

namespace orvo::tui {

// The UTF-8 text of a named reference without "&" and ";" ("amp" -> "&"), or "" if unknown.
std::string_view named_entity(std::string_view name);

// Appends the decoded form of one entity `ref` ("&amp;", "&#65;", "&#x41;") to `out`. Unknown
// names are kept as written; numeric references to NUL, surrogates or beyond U+10FFFF give U+FFFD.
void decode_entity(std::string_view ref, std::string& out);

}  // namespace orvo::tui
