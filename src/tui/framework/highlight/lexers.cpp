#include "tui/framework/highlight/lexers.hpp"

#include "tui/framework/highlight/lex_families.hpp"

namespace orvo::tui::lex {
namespace {

// ---- names

struct Alias {
  std::string_view fence;
  std::string_view lexer;
};

constexpr Alias kAliases[] = {
    {"py", "python"},
    {"python", "python"},
    {"python3", "python"},
    {"py3", "python"},
    {"pyi", "python"},
    {"c", "c"},
    {"h", "c"},
    {"cpp", "cpp"},
    {"c++", "cpp"},
    {"cxx", "cpp"},
    {"cc", "cpp"},
    {"hpp", "cpp"},
    {"hxx", "cpp"},
    {"js", "javascript"},
    {"javascript", "javascript"},
    {"jsx", "javascript"},
    {"mjs", "javascript"},
    {"cjs", "javascript"},
    {"node", "javascript"},
    {"ts", "typescript"},
    {"typescript", "typescript"},
    {"tsx", "typescript"},
    {"mts", "typescript"},
    {"rust", "rust"},
    {"rs", "rust"},
    {"go", "go"},
    {"golang", "go"},
    {"java", "java"},
    {"sh", "sh"},
    {"bash", "sh"},
    {"shell", "sh"},
    {"zsh", "sh"},
    {"console", "sh"},
    {"shellscript", "sh"},
    {"ksh", "sh"},
    {"json", "json"},
    {"jsonc", "json"},
    {"json5", "json"},
    {"yaml", "yaml"},
    {"yml", "yaml"},
    {"toml", "toml"},
    {"diff", "diff"},
    {"patch", "diff"},
    {"udiff", "diff"},
    {"sql", "sql"},
    {"postgresql", "sql"},
    {"postgres", "sql"},
    {"mysql", "sql"},
    {"sqlite", "sql"},
    {"plsql", "sql"},
    {"cmake", "cmake"},
    {"html", "html"},
    {"htm", "html"},
    {"xml", "html"},
    {"xhtml", "html"},
    {"svg", "html"},
    {"vue", "html"},
    {"css", "css"},
    {"scss", "css"},
    {"less", "css"},
    {"text", ""},
    {"txt", ""},
    {"plain", ""},
    {"plaintext", ""},
    {"output", ""},
};

}  // namespace

std::string_view lexer_for(std::string_view lower_fence_name) {
  if (lower_fence_name.empty()) return {};
  for (const Alias& a : kAliases) {
    if (a.fence == lower_fence_name) return a.lexer;
  }
  return "generic";
}

void tokenize(std::string_view name, std::vector<CodeLine>& lines) {
  if (c_like(name, lines)) {
    return;
  }
  if (name == "sh") {
    shell(lines);
  } else if (name == "json") {
    json(lines);
  } else if (name == "yaml") {
    yaml(lines);
  } else if (name == "toml") {
    toml(lines);
  } else if (name == "diff") {
    diff(lines);
  } else if (name == "cmake") {
    cmake(lines);
  } else if (name == "html") {
    html(lines);
  } else if (name == "css") {
    css(lines);
  } else if (name == "generic") {
    generic(lines);
  }
}

}  // namespace orvo::tui::lex
