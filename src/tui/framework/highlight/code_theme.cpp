#include "tui/framework/highlight/code_theme.hpp"

namespace orvo::tui {
namespace {

struct Palette {
  const char* base;
  const char* tokens[kTokenKindCount];
};

// Per TokenKind, in enum order: Plain, Keyword, Type, Function, String, Escape, Number, Comment,
// Preproc, Operator, Punctuation, Variable, Tag, Inserted, Deleted, Heading.
constexpr Palette kMonokai = {
    "#f8f8f2 on #272822",
    {"", "#f92672", "#66d9ef", "#a6e22e", "#e6db74", "#ae81ff", "#ae81ff", "#75715e", "#f92672",
     "#f92672", "", "#fd971f", "#f92672", "#a6e22e", "#f92672", "#75715e"},
};

// After GitHub's light theme: dark tokens on a pale grey block.
constexpr Palette kGithubLight = {
    "#1f2328 on #f6f8fa",
    {"", "#cf222e", "#953800", "#8250df", "#0a3069", "#0550ae", "#0550ae", "#6e7781", "#cf222e",
     "#cf222e", "", "#953800", "#116329", "#116329", "#82071e", "bold #0550ae"},
};

constexpr Palette kAnsi = {
    "",
    {"", "magenta", "cyan", "green", "yellow", "bright_magenta", "bright_magenta", "bright_black",
     "magenta", "magenta", "", "bright_yellow", "magenta", "green", "red", "bright_black"},
};

CodeTheme make(const Palette& p) {
  CodeTheme t;
  t.base = Style::parse(p.base);
  for (int i = 0; i < kTokenKindCount; ++i) t.tokens[i] = t.base + Style::parse(p.tokens[i]);
  return t;
}

}  // namespace

const CodeTheme& CodeTheme::named(std::string_view name) {
  static const CodeTheme monokai = make(kMonokai);
  static const CodeTheme ansi = make(kAnsi);
  static const CodeTheme github_light = make(kGithubLight);
  if (name == "ansi" || name == "ansi_dark") return ansi;
  if (name == "github-light") return github_light;
  return monokai;
}

}  // namespace orvo::tui
