// Colours for highlighted code: one style per token kind over a block background.
#pragma once

#include <string_view>

#include "tui/framework/highlight/highlight.hpp"
#include "tui/framework/text/style.hpp"

namespace orvo::tui {

struct CodeTheme {
  Style base;                     // default foreground and the block's background
  Style tokens[kTokenKindCount];  // laid over `base`

  const Style& style(TokenKind kind) const { return tokens[static_cast<int>(kind)]; }

  // "monokai" (the default, also used for any name we do not know), "github-light" (for light
  // terminals) or "ansi" (16 terminal colours on the terminal's own background).
  static const CodeTheme& named(std::string_view name);
};

}  // namespace orvo::tui
