// label: threaded
#include "tui/framework/highlight/highlight.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
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
     {"op:= str:\"\"\"doc", "str:still doc", "str:\"\"\""}},
    {"C++",
     "int main() { return 0; } // x",
     {"type:int fn:main op:() pun:{ kw:return num:0 op:; pun:} com:// x"}},
    {"c", "/* a\nb */ x", {"com:/* a", "com:b */"}},
    {"rust",
     "fn main() { let x: u32 = 5; }",
     {"kw:fn fn:main op:() pun:{ kw:let op:: type:u32 op:= num:5 op:; pun:}"}},
    {"ts", "const x: number = 'a';", {"kw:const op:: type:number op:= str:'a' op:;"}},
    {"yaml",
     "key: value\n- item: 3\n  other: \"s\" # c\n---",
     {"tag:key op::", "op:- tag:item op:: num:3", "tag:other op:: str:\"s\" com:# c", "pre:---"}},
    {"toml",
     "[server]\nport = 8080\nname = \"x\" # c\nok = true",
     {"op:[ type:server op:]", "tag:port op:= num:8080", "tag:name op:= str:\"x\" com:# c",
      "tag:ok op:= kw:true"}},
    {"diff",
     "--- a/x\n+++ b/x\n@@ -1 +1 @@\n-old\n+new\n same",
     {"head:--- a/x", "head:+++ b/x", "head:@@ -1 +1 @@", "del:-old", "ins:+new", ""}},
    {"json",
     "{\"a\": 1, \"b\": [true]}",
     {"op:{ tag:\"a\" num:1 op:, tag:\"b\" op:[ kw:true op:]}"}},
    {"bash", "echo $HOME | grep x", {"fn:echo var:$HOME op:|"}},
    {"cmake",
     "target_link_libraries(app PRIVATE ${LIBS}) # c",
     {"fn:target_link_libraries op:( kw:PRIVATE var:${LIBS} op:) com:# c"}},
    // Without a lexer of ours: comments, strings and numbers.
    {"klingon", "x = 'a' + 1 # c", {"str:'a' num:1 com:# c"}},
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
    EXPECT_NE(language_of(name), "generic") << name;
    EXPECT_FALSE(language_of(name).empty()) << name;
  }
  EXPECT_EQ(language_of("klingon"), "generic");
  EXPECT_EQ(language_of(""), "");
  EXPECT_EQ(language_of("text"), "");
}

TEST(HighlightCache, SecondCallIsAHit) {
  clear_highlight_cache();
  const auto a = highlight_code("int x;", "c");
  const auto b = highlight_code("int x;", "c");
  EXPECT_EQ(a, b);  // the same shared result
  EXPECT_EQ(highlight_cache_stats().hits, 1u);
  EXPECT_NE(highlight_code("int x;", "python"), a);  // the language is part of the key
}

// Lexers and the cache are shared; concurrent callers must still get correct results.
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

namespace orvo::tui {
namespace {

// Today's lexers against a snapshot of what the previous highlighter (GNU Source-highlight) made
// of the corpus's code blocks and of samples in every language we lex (data/highlight_samples.md):
// for each language, the share of bytes it showed as a keyword, type, function, string, number or
// comment that we still show as the same kind. Our lexers may colour more (the old one knew no
// HTML or CSS, missed string prefixes and lifetimes), so only what it coloured is counted. The
// bytes we colour differently were read one by one when the lexers were written: variables and
// escapes inside shell strings, Rust attributes as a whole, the blank after a JSON or YAML colon,
// and the old highlighter's own mistakes ("on-failure" as a keyword, "gcc-12" as a number).
// KV_SHOW_DIFF=1 prints them.
struct Agreement {
  std::size_t total = 0;
  std::size_t same = 0;
};

constexpr char kKindChars[] = ".ktfsencpouvg+-h";

TEST(HighlightSnapshot, KeepsWhatThePreviousHighlighterColoured) {
  std::ifstream in(std::string(KV_SOURCE_DIR) + "/tests/tui/framework/data/highlight_before.txt");
  ASSERT_TRUE(in) << "snapshot missing";
  std::map<std::string, Agreement> by_lang;
  std::string row, lang, code;
  std::vector<std::string> kinds;
  auto flush = [&] {
    if (lang.empty()) return;
    const auto got = highlight_code(code, lang);
    expect_tiled(*got);
    ASSERT_EQ(got->size(), kinds.size()) << lang << "\n" << code;
    for (std::size_t l = 0; l < kinds.size(); ++l) {
      std::string mine((*got)[l].text.size(), '.');
      for (const CodeToken& t : (*got)[l].tokens) {
        for (std::uint32_t b = 0; b < t.length; ++b) {
          mine[t.offset + b] = kKindChars[static_cast<int>(t.kind)];
        }
      }
      ASSERT_EQ(mine.size(), kinds[l].size()) << lang << ": " << (*got)[l].text;
      if (std::getenv("KV_SHOW_DIFF") && mine != kinds[l]) {
        std::printf("%s\n  T %s\n  O %s\n  N %s\n", lang.c_str(), (*got)[l].text.c_str(),
                    kinds[l].c_str(), mine.c_str());
      }
      for (std::size_t b = 0; b < mine.size(); ++b) {
        if (std::string_view("ktfsncgvp+-h").find(kinds[l][b]) == std::string_view::npos) continue;
        ++by_lang[lang].total;
        by_lang[lang].same += mine[b] == kinds[l][b];
      }
    }
  };
  while (std::getline(in, row)) {
    if (row.starts_with("=== ")) {
      flush();
      lang = row.substr(4);
      code.clear();
      kinds.clear();
    } else if (row.starts_with("T ")) {
      code += row.substr(2) + "\n";
    } else if (row.starts_with("K ")) {
      kinds.push_back(row.substr(2));
    }
  }
  flush();
  ASSERT_GE(by_lang.size(), 15u);
  for (const auto& [name, a] : by_lang) {
    const double share = a.total ? static_cast<double>(a.same) / static_cast<double>(a.total) : 1;
    std::printf("  %-11s %5zu coloured bytes, %5.1f%% kept\n", name.c_str(), a.total, 100 * share);
    EXPECT_GE(share, 0.7) << name;
  }
}

}  // namespace
}  // namespace orvo::tui
