// Syntax highlighting of code blocks. Our lexers (lexers.hpp) find the tokens; we keep them as
// (offset, length, kind) runs per line so that any palette can colour them later, and cache the
// result per (language, code) so that a block redrawn while an answer streams costs nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tui/framework/text/lru_cache.hpp"

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

// The lexer for a fence name ("py", "c++", "TypeScript", ...): "python", "cpp", ...; "generic"
// (comments, strings, numbers) for a name we have no lexer for; "" for no name or "text".
std::string_view language_of(std::string_view fence_name);

// Splits `code` into lines (a final line break gives no extra line; tabs expanded to 4 columns)
// and tokenises them with the lexer for `fence_name` (no lexer: plain lines). Any bytes, valid
// UTF-8 or not, give tokens that tile every line.
std::shared_ptr<const HighlightedCode> highlight_code(std::string_view code,
                                                      std::string_view fence_name);

// The cache behind highlight_code (for benchmarks and tests).
void clear_highlight_cache();
CacheStats highlight_cache_stats();

}  // namespace orvo::tui
