// Our syntax lexers: one hand-written scanner per family of languages, driven by constant tables
// of words and flags, so a new C-like language is a table and not a grammar file. They run in a
// single pass over the bytes (tens of MB/s), keep state from line to line (block comments,
// multi-line strings) and never split a UTF-8 sequence between two tokens.
#pragma once

#include <string_view>
#include <vector>

#include "tui/framework/highlight/highlight.hpp"

namespace orvo::tui::lex {

// The lexer for a lower-case fence name ("py", "c++", "typescript", ...): its canonical name
// ("python", "cpp", ...), "generic" for a name we have no lexer for, or "" for no name at all
// (and for "text", "plain", "txt", which ask for no highlighting).
std::string_view lexer_for(std::string_view lower_fence_name);

// Fills the tokens of every line for the lexer named `name` (as returned by lexer_for). Tokens
// tile each line; lines longer than the scanner's limit are still tokenised (it is linear).
void tokenize(std::string_view name, std::vector<CodeLine>& lines);

}  // namespace orvo::tui::lex
