// label: threaded
#include "tui/framework/markdown/highlight.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace orvo::tui {
namespace {

// The non-plain runs of one line as "kind:text", for readable expectations.
std::string describe(const CodeLine& line) {
  static const char* names[] = {"plain", "kw", "type", "fn",  "str", "esc", "num", "com",
                                "pre",   "op", "pun",  "var", "tag", "ins", "del", "head"};
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

// Tokens must tile each line exactly, or the renderer would drop or repeat text.
void expect_tiled(const HighlightedCode& code) {
  for (const CodeLine& line : code) {
    std::uint32_t at = 0;
    for (const CodeToken& t : line.tokens) {
      EXPECT_EQ(t.offset, at) << line.text;
      EXPECT_GT(t.length, 0u) << line.text;
      at += t.length;
    }
    EXPECT_EQ(at, line.text.size()) << line.text;
  }
}

struct Case {
  const char* fence;
  const char* code;
  std::vector<std::string> lines;  // describe() of each line
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.fence << ": " << c.code;
}

class Highlight : public ::testing::TestWithParam<Case> {};

TEST_P(Highlight, Tokens) {
  const Case& c = GetParam();
  const auto code = highlight_code(c.code, c.fence);
  expect_tiled(*code);
  std::vector<std::string> got;
  for (const CodeLine& line : *code) got.push_back(describe(line));
  EXPECT_EQ(got, c.lines) << c.fence;
}

const Case kCases[] = {
    {"python",
     "def f(x):\n    return \"a\" + 1  # hi\n",
     {"kw:def fn:f op:( op:):", "kw:return str:\"a\" op:+ num:1 com:# hi"}},
    // State carries from line to line.
    {"py",
     "s = \"\"\"doc\nstill doc\n\"\"\"\n",
     {"op:= str: \"\"\"doc", "str:still doc", "str:\"\"\""}},
    {"C++",
     "int main() { return 0; } // x",
     {"type:int fn:main op:() pun:{ kw:return num:0 op:; pun:} com:// x"}},
    {"c", "/* a\nb */ x", {"com:/* a", "com:b */"}},
    {"rust",
     "fn main() { let x: u32 = 5; }",
     {"kw:fn fn:main op:() pun:{ kw:let op:: type:u32 op:= num:5 op:; pun:}"}},
    {"ts", "const x: number = 'a';", {"kw:const op:: op:= str:'a' op:;"}},
    {"yaml",
     "key: value\n- item: 3\n  other: \"s\" # c\n---",
     {"tag:key op:: ", "op:- tag:item op::  num:3", "tag:other op::  str:\"s\" com:# c",
      "pre:---"}},
    {"toml",
     "[server]\nport = 8080\nname = \"x\" # c\nok = true",
     {"op:[ type:server op:]", "tag:port op: = num:8080", "tag:name op: = str:\"x\" com:# c",
      "tag:ok op: = kw:true"}},
    {"diff",
     "--- a/x\n+++ b/x\n@@ -1 +1 @@\n-old\n+new\n same",
     {"head:--- a/x", "head:+++ b/x", "head:@@ -1 +1 @@", "del:-old", "ins:+new", ""}},
    {"json",
     "{\"a\": 1, \"b\": [true]}",
     {"op:{ tag:\"a\" num:1 op:, tag:\"b\" op:[ kw:true op:]}"}},
    {"bash", "echo $HOME | grep x", {"var:$HOME op:|"}},
    {"cmake",
     "target_link_libraries(app PRIVATE ${LIBS}) # c",
     {"fn:target_link_libraries op:( kw:PRIVATE var:${LIBS} op:) com:# c"}},
    {"klingon", "int x = 1;", {""}},
    {"", "int x = 1;", {""}},
    {"python", "", {}},
    {"python", "a\n\nb\n", {"", "", ""}},
};

INSTANTIATE_TEST_SUITE_P(Languages, Highlight, ::testing::ValuesIn(kCases));

TEST(HighlightLines, SplitTabsAndLineEnds) {
  const auto code = highlight_code("\tx\r\n  \ty\n", "");
  ASSERT_EQ(code->size(), 2u);
  EXPECT_EQ((*code)[0].text, "    x");
  EXPECT_EQ((*code)[1].text, "    y");
}

TEST(HighlightLines, FenceNamesAndUnknownOnes) {
  for (const char* name : {"py",   "python",     "c",    "cpp",  "c++",  "js",   "javascript",
                           "ts",   "typescript", "rust", "rs",   "go",   "java", "sh",
                           "bash", "shell",      "json", "yaml", "toml", "diff"}) {
    EXPECT_FALSE(language_file(name).empty()) << name;
  }
  EXPECT_TRUE(language_file("klingon").empty());
  EXPECT_TRUE(language_file("").empty());
}

TEST(HighlightCache, SecondCallIsAHit) {
  clear_highlight_cache();
  const auto a = highlight_code("int x;", "c");
  const auto b = highlight_code("int x;", "c");
  EXPECT_EQ(a, b);  // the same shared result
  EXPECT_EQ(highlight_cache_stats().hits, 1u);
  EXPECT_NE(highlight_code("int x;", "python"), a);  // the language is part of the key
}

// The library is not thread-safe; concurrent callers must still get correct results.
TEST(HighlightThreads, ConcurrentCallersAgree) {
  clear_highlight_cache();
  std::vector<std::thread> threads;
  std::vector<std::string> results(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &results] {
      for (int i = 0; i < 50; ++i) {
        const std::string code = "def f" + std::to_string(i) + "(x):\n    return x  # c\n";
        const auto lines = highlight_code(code, t % 2 ? "python" : "py");
        results[t] += describe((*lines)[1]) + ";";
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 1; t < 4; ++t) EXPECT_EQ(results[t], results[0]);
}

}  // namespace
}  // namespace orvo::tui
