// Syntax highlighting of code blocks. GNU Source-highlight finds the tokens; we keep them as
// (offset, length, kind) runs per line so that any palette can colour them later, and cache the
// result per (language, code) because the library is slow (about 1 MB/s).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tui/framework/markdown/lru_cache.hpp"

namespace orvo::tui {

enum class TokenKind : std::uint8_t {
  Plain,
  Keyword,
  Type,
  Function,
  String,
  Escape,
  Number,
  Comment,
  Preproc,
  Operator,
  Punctuation,
  Variable,
  Tag,       // keys of JSON, YAML and TOML
  Inserted,  // diff "+" lines
  Deleted,   // diff "-" lines
  Heading,   // diff file headers and "@@" hunk lines
};
inline constexpr int kTokenKindCount = 16;

struct CodeToken {
  std::uint32_t offset;  // byte offset in the line
  std::uint32_t length;  // bytes
  TokenKind kind;
};

struct CodeLine {
  std::string text;               // tabs expanded, no line break
  std::vector<CodeToken> tokens;  // cover `text` in order, without gaps
};

using HighlightedCode = std::vector<CodeLine>;

// The language file for a fence name ("py", "c++", "TypeScript", ...), or "" when the name is
// unknown and the code is shown plain.
std::string_view language_file(std::string_view fence_name);

// Splits `code` into lines (a final line break gives no extra line; tabs expanded to 4 columns)
// and tokenises each with the grammar for `fence_name`. An unknown language, a grammar that fails
// to load or any error inside the library gives plain lines; this never throws.
std::shared_ptr<const HighlightedCode> highlight_code(std::string_view code,
                                                      std::string_view fence_name);

// The cache behind highlight_code (for benchmarks and tests).
void clear_highlight_cache();
CacheStats highlight_cache_stats();

}  // namespace orvo::tui
