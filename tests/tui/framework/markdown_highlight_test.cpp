#include "tui/framework/markdown/highlight.hpp"

#include <gtest/gtest.h>

#include <string>

namespace orvo::tui {
namespace {

// The runs of one line as "kind:text" pieces, for readable expectations.
std::string describe(const CodeLine& line) {
  static const char* names[] = {"plain", "kw",  "type", "fn",  "str", "esc", "num", "com",
                                "pre",   "op",  "pun",  "var", "tag", "ins", "del", "head"};
  std::string out;
  for (const CodeToken& t : line.tokens) {
    if (t.kind == TokenKind::Plain) continue;
    if (!out.empty()) out += ' ';
    out += names[static_cast<int>(t.kind)];
    out += ':';
    out += line.text.substr(t.offset, t.length);
  }
  return out;
}

TEST(MarkdownHighlight, Debug) {
  for (auto [code, lang] : std::initializer_list<std::pair<const char*, const char*>>{
           {"def f(x):\n    return \"a\" + 1  # hi\n", "python"},
           {"int main() { return 0; } // x\n", "c++"},
           {"fn main() { let x: u32 = 5; }\n", "rust"},
           {"const x: number = 'a';\n", "ts"},
           {"key: value\n- item: 3\n  other: \"s\" # c\n", "yaml"},
           {"[server]\nport = 8080\nname = \"x\"\n", "toml"},
           {"@@ -1 +1 @@\n-old\n+new\n same\n", "diff"},
           {"{\"a\": 1, \"b\": [true]}\n", "json"},
           {"echo $HOME | grep x\n", "bash"},
       }) {
    auto code_lines = highlight_code(code, lang);
    for (const auto& l : *code_lines) printf("%s | %s\n", l.text.c_str(), describe(l).c_str());
  }
}

}  // namespace
}  // namespace orvo::tui
