// Character references of HTML ("&amp;", "&#233;", "&#x1F600;", "&copy"), decoded as a browser
// decodes them in text. The one decoder of the program: fetched pages and the markdown renderer
// both use it, so the same text reads the same everywhere.
#pragma once

#include <string>
#include <string_view>

namespace orvo::html {

struct NamedEntity {
  std::string_view name;  // without "&" and ";"
  std::string_view utf8;
  bool legacy;  // also recognised without the ";" ("&amp", "&copy"), as browsers do in text
};

// The entry of the named reference `name` (without "&" and ";"), or nullptr.
const NamedEntity* find_named_entity(std::string_view name);

// The UTF-8 text of a named reference without "&" and ";" ("amp" -> "&"), or "" if unknown.
std::string_view named_entity(std::string_view name);

// The UTF-8 text a numeric reference to `cp` stands for: U+FFFD for 0, surrogates and values
// past U+10FFFF; the Windows-1252 characters for 0x80..0x9F as browsers map them; U+FFFD for the
// other controls but LF and TAB, which must not reach a terminal.
void append_numeric(unsigned long cp, std::string& out);

// Appends the decoded form of one whole reference `ref` ("&amp;", "&#65;", "&#x41;") to `out`.
// Unknown names and anything that is not one reference are kept as written.
void decode_entity(std::string_view ref, std::string& out);

// `text` with every reference decoded as in HTML text: numeric ones with or without ";", named
// ones from the full list, the legacy names also without ";" ("&copy2024" -> "©2024"); unknown
// names are kept.
std::string decode_entities(std::string_view text);

}  // namespace orvo::html
