#include "tui/framework/markdown/markdown.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tui/framework/highlight/highlight.hpp"
#include "tui/framework/text/cells.hpp"

namespace orvo::tui {
namespace {

using ::testing::ElementsAreArray;

Console truecolor_console(int width = 80) {
  ConsoleOptions o;
  o.width = width;
  o.color_system = ColorSystem::TrueColor;
  o.force_terminal = true;
  o.no_color = false;
  return Console(o);
}

// Rows as a terminal shows them, trailing blanks dropped (code blocks are padded to the width).
std::vector<std::string> shown(const std::vector<Strip>& rows) {
  std::vector<std::string> out;
  for (const Strip& row : rows) {
    std::string s = row.text();
    while (!s.empty() && s.back() == ' ') s.pop_back();
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> render(std::string_view text, int width) {
  const Console console = truecolor_console(width);
  return shown(Markdown(std::string(text)).render_lines(console, width));
}

struct Case {
  const char* name;
  const char* markdown;
  int width;
  std::vector<std::string> rows;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class MarkdownLayout : public ::testing::TestWithParam<Case> {};

TEST_P(MarkdownLayout, RowsAsShown) {
  const Case& c = GetParam();
  EXPECT_THAT(render(c.markdown, c.width), ElementsAreArray(c.rows)) << c.markdown;
}

const Case kCases[] = {
    {"paragraph_narrow",
     "The quick brown fox jumps over the lazy dog.",
     20,
     {"The quick brown fox", "jumps over the lazy", "dog."}},
    {"paragraph_wide",
     "The quick brown fox\njumps over the lazy dog.",
     80,
     {"The quick brown fox jumps over the lazy dog."}},
    {"hard_break", "one  \ntwo", 80, {"one", "two"}},
    {"two_paragraphs", "one\n\ntwo", 80, {"one", "", "two"}},
    {"inline_styles", "*em* **strong** ~~gone~~ `code` <u>x</u>", 80, {"em strong gone code x"}},
    {"h1_centred_with_rule", "# Title", 20, {"       Title", "━━━━━━━━━━━━━━━━━━━━"}},
    {"h2_rule_as_wide_as_text", "## Sub title", 80, {"Sub title", "─────────"}},
    {"h3_plain", "### Three\ntext", 80, {"Three", "", "text"}},
    {"heading_wraps",
     "## A heading that is long",
     12,
     {"A heading", "that is long", "────────────"}},
    {"fenced_code", "```\nx = 1\n```", 20, {"", " x = 1", ""}},
    {"indented_code", "    int x;\n    y;", 20, {"", " int x;", " y;", ""}},
    {"code_folds_long_lines",
     "```\n0123456789abcdefghijKLMN\n```",
     12,
     {"", " 0123456789", " abcdefghij", " KLMN", ""}},
    {"code_tabs", "```\n\tx\n```", 20, {"", "     x", ""}},
    {"code_wide_chars_fold_whole",
     "```\n日本語のテキスト\n```",
     9,
     {"", " 日本語", " のテキ", " スト", ""}},
    {"empty_code_block", "```\n```", 10, {"", "", ""}},
    {"code_between_paragraphs", "a\n\n```\nx\n```\n\nb", 10, {"a", "", "", " x", "", "", "b"}},
    {"bullets_nested",
     "- one\n- two\n  - nested item wraps here\n- three",
     20,
     {"• one", "• two", "  ◦ nested item", "    wraps here", "• three"}},
    {"bullets_hanging_indent",
     "- a long item that wraps",
     12,
     {"• a long", "  item that", "  wraps"}},
    {"loose_list", "- a\n\n- b", 80, {"• a", "", "• b"}},
    {"ordered_right_aligned", "9. nine\n10. ten", 80, {" 9. nine", "10. ten"}},
    {"ordered_paren", "1) a\n2) b", 80, {"1) a", "2) b"}},
    {"tasks", "- [ ] todo\n- [x] done\n- plain", 80, {"☐ todo", "☑ done", "• plain"}},
    {"ordered_tasks", "1. [x] done", 80, {"1. ☑ done"}},
    {"quote", "> quoted text that wraps", 12, {"▌ quoted", "▌ text that", "▌ wraps"}},
    {"quote_two_paragraphs", "> a\n>\n> b", 80, {"▌ a", "▌", "▌ b"}},
    {"nested_quote_in_list", "- item\n\n  > q", 80, {"• item", "", "  ▌ q"}},
    {"table",
     "| a | b |\n|---|--:|\n| 1 | 22 |",
     80,
     {"┌───┬────┐", "│ a │  b │", "├───┼────┤", "│ 1 │ 22 │", "└───┴────┘"}},
    {"table_centre",
     "| name |\n|:----:|\n| x |",
     80,
     {"┌──────┐", "│ name │", "├──────┤", "│  x   │", "└──────┘"}},
    {"table_cells_wrap",
     "| key | value |\n|---|---|\n| k | a long value here |",
     20,
     {"┌─────┬────────────┐", "│ key │ value      │", "├─────┼────────────┤",
      "│ k   │ a long     │", "│     │ value here │", "└─────┴────────────┘"}},
    {"rule", "a\n\n***\n\nb", 10, {"a", "", "──────────", "", "b"}},
    {"link_with_url", "see [docs](https://x.org/d) now", 80, {"see docs (https://x.org/d) now"}},
    {"autolink_once",
     "go to https://x.org/d or <https://y.org>",
     80,
     {"go to https://x.org/d or https://y.org"}},
    {"mail_and_www_autolinks", "<me@x.org> www.x.org", 80, {"me@x.org www.x.org"}},
    {"image_alt", "![a cat](cat.png) and ![](img/dog.png)", 80, {"a cat and dog.png"}},
    {"entities",
     "&amp; &lt;b&gt; &copy; &#65; &#x263A; &bogus; &#0;",
     80,
     {"& <b> © A ☺ &bogus; \xEF\xBF\xBD"}},
    {"html_block", "<div>\nhi\n</div>", 80, {"hi"}},
    {"html_block_text_and_entities",
     "<div align=\"center\">\n  <b>Title</b> &amp;\n  more<br/>next\n</div>",
     80,
     {"Title & more", "next"}},
    {"html_inline_tags_hidden", "Press <kbd>Ctrl</kbd>+<kbd>C</kbd>.", 80, {"Press Ctrl+C."}},
    {"html_br", "one<br>two<BR />three", 80, {"one", "two", "three"}},
    {"html_inline_comment", "a <!-- note --> b <!-- multi\nline --> c", 80, {"a b c"}},
    {"html_comment_block_front_matter",
     "<!--\ntitle: x\ntags: [a]\n-->\n\ntext\n\n<!-- end -->",
     80,
     {"text"}},
    {"html_toc_comment",
     "<!-- TOC -->\n- one\n- two\n<!-- /TOC -->\n\nafter",
     80,
     {"• one", "• two", "", "after"}},
    {"html_pre_code_block",
     "<pre><code class=\"language-py\">x = 1 &lt; 2\n\ny</code></pre>",
     20,
     {"", " x = 1 < 2", "", " y", ""}},
    {"html_details",
     "<details>\n<summary>More</summary>\n\nInner text\n\n</details>",
     80,
     {"More", "", "Inner text"}},
    {"html_script_hidden", "<script>\nalert(1)\n</script>\n\nok", 80, {"ok"}},
    {"html_img_alt", "<img src=\"a.png\" alt=\"A &amp; B\">", 80, {"A & B"}},
    {"html_unclosed_tags", "<div>\n<b>bold <i\n\nnext", 80, {"bold <i", "", "next"}},
    {"wide_paragraph", "日本語のテキストです", 7, {"日本語", "のテキ", "ストで", "す"}},
    {"controls_made_visible", "a\x1b[31mb\x07", 80, {"a\xEF\xBF\xBD[31mb\xEF\xBF\xBD"}},
    {"empty", "", 80, {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, MarkdownLayout, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Inputs chosen to break layout arithmetic: every row must still fit, at every width.
TEST(MarkdownLayout, RowsNeverExceedWidth) {
  const char* inputs[] = {
      "",
      "```\n```",
      ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>> deep",
      "- a\n  - b\n    - c\n      - d\n        - e\n          - f\n            - g deep list",
      "| a | b | c | d | e | f | g | h | i | j |\n|---|---|---|---|---|---|---|---|---|---|\n"
      "| 1 | 2 | 3 | 4 | 5 | 6 | 7 | 8 | 9 | 10 |",
      "| 日本語のテキスト | 😀😀😀 |\n|:-:|--:|\n| wide 字 | x |",
      "# 日本語のテキストです 😀",
      "```python\ndef f():\n    return '日本語のテキストです😀😀😀😀 and a long tail of text'\n```",
      "1. ```\n   code in a list\n   ```\n2. > quote in a list\n   > more",
      "9999999999. huge number",
      "\xff\xfe invalid \xc3 utf8 \xe2\x82",
      "a\tb\tc\n\n\tcode with tab",
      "e\xCC\x81\xCC\x81\xCC\x81 combining marks",
  };
  for (const char* input : inputs) {
    for (int width : {1, 2, 3, 5, 8, 13, 20, 38, 80}) {
      const Console console = truecolor_console(width);
      for (const Strip& row : Markdown(input).render_lines(console, width)) {
        EXPECT_LE(row.cell_length(), width) << input << " @" << width << ": " << row.text();
        EXPECT_EQ(row.cell_length(), cell_len(row.text())) << input << " @" << width;
      }
    }
  }
}

TEST(MarkdownLayout, DeepNestingIsFlattenedNotRecursed) {
  const std::string quotes(100000, '>');
  const std::string lists = [] {
    std::string s;
    for (int i = 0; i < 2000; ++i) s += std::string(static_cast<std::size_t>(i) * 2, ' ') + "- x\n";
    return s;
  }();
  for (const std::string& input : {quotes + " q", lists}) {
    const Console console = truecolor_console(40);
    for (const Strip& row : Markdown(input).render_lines(console, 40)) {
      EXPECT_LE(row.cell_length(), 40);
    }
  }
}

// ---- styles

// The style of the first segment whose text contains `needle`.
Style style_of(const std::vector<Strip>& rows, std::string_view needle) {
  for (const Strip& row : rows) {
    for (const Segment& seg : row.segments()) {
      if (seg.text.find(needle) != std::string::npos) return seg.style;
    }
  }
  ADD_FAILURE() << "no segment with " << needle;
  return {};
}

TEST(MarkdownStyle, InlineAndHeadingStylesComeFromTheTheme) {
  Console console = truecolor_console();
  const Markdown md("# Head\n\n*em* **strong** ~~del~~ `code`");
  const auto rows = md.render_lines(console, 80);
  EXPECT_TRUE(style_of(rows, "Head").bold());
  EXPECT_TRUE(style_of(rows, "em").italic());
  EXPECT_TRUE(style_of(rows, "strong").bold());
  EXPECT_TRUE(style_of(rows, "del").strike());
  EXPECT_EQ(
      style_of(rows, "code"),
      console.get_style("markdown.code_inline", Markdown::default_style("markdown.code_inline")));

  // A pushed theme wins, and the cache does not hand out rows rendered under the old one.
  console.push_theme(Theme({{"markdown.h1", "#ff0000"}, {"markdown.code_inline", "green"}}));
  const auto themed = md.render_lines(console, 80);
  EXPECT_EQ(style_of(themed, "Head").color(), Color::parse("#ff0000"));
  EXPECT_EQ(style_of(themed, "code").color(), Color::parse("green"));
}

TEST(MarkdownStyle, InlineHtmlTagsStyleTheirText) {
  const Console console = truecolor_console();
  const auto rows =
      Markdown("<b>bold</b> <i>it</i> <kbd>Ctrl</kbd> <del>gone</del> <span>plain</span>")
          .render_lines(console, 80);
  EXPECT_TRUE(style_of(rows, "bold").bold());
  EXPECT_TRUE(style_of(rows, "it").italic());
  EXPECT_TRUE(style_of(rows, "gone").strike());
  EXPECT_EQ(
      style_of(rows, "Ctrl"),
      console.get_style("markdown.code_inline", Markdown::default_style("markdown.code_inline")));
  EXPECT_FALSE(style_of(rows, "plain").bold());
}

TEST(MarkdownStyle, CodeIsHighlightedOnTheThemeBackground) {
  const Console console = truecolor_console();
  const auto rows =
      Markdown("```python\ndef f():\n    return 'x'  # note\n```").render_lines(console, 30);
  ASSERT_EQ(rows.size(), 4u);  // with a blank row above and below
  const Color bg = Color::parse("#272822");
  for (const Strip& row : rows) {
    EXPECT_EQ(row.cell_length(), 30);
    for (const Segment& seg : row.segments()) EXPECT_EQ(seg.style.bgcolor(), bg) << seg.text;
  }
  EXPECT_EQ(style_of(rows, "def").color(), Color::parse("#f92672"));
  EXPECT_EQ(style_of(rows, "'x'").color(), Color::parse("#e6db74"));
  EXPECT_EQ(style_of(rows, "# note").color(), Color::parse("#75715e"));
}

TEST(MarkdownStyle, UnknownLanguageGetsCommentsStringsAndNumbers) {
  const Console console = truecolor_console();
  const auto rows = Markdown("```klingon\nqapla' 42 \"x\" # c\n```").render_lines(console, 30);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(style_of(rows, "qapla'").color(), Color::parse("#f8f8f2"));
  EXPECT_EQ(style_of(rows, "42").color(), Color::parse("#ae81ff"));
  EXPECT_EQ(style_of(rows, "\"x\"").color(), Color::parse("#e6db74"));
  EXPECT_EQ(style_of(rows, "# c").color(), Color::parse("#75715e"));
}

TEST(MarkdownStyle, TextFenceIsPlain) {
  const Console console = truecolor_console();
  const auto rows = Markdown("```text\nqapla' 42 \"x\"\n```").render_lines(console, 30);
  ASSERT_EQ(rows.size(), 3u);
  for (const Segment& seg : rows[1].segments()) {
    EXPECT_EQ(seg.style.color(), Color::parse("#f8f8f2")) << seg.text;
  }
}

// ---- caching

TEST(MarkdownCache, RepeatedRenderIsAHitWithIdenticalRows) {
  Markdown::clear_cache();
  const Console console = truecolor_console();
  const Markdown md("# T\n\n- a\n- b\n\n```cpp\nint x = 1;\n```\n");
  const auto first = md.render_lines(console, 72);
  const CacheStats before = Markdown::cache_stats();
  const auto second = md.render_lines(console, 72);
  EXPECT_EQ(Markdown::cache_stats().hits, before.hits + 1);
  EXPECT_EQ(first, second);
  EXPECT_EQ(console.render(md, 72), console.render(md, 72));
  // Another width is another entry.
  EXPECT_NE(shown(md.render_lines(console, 20)), shown(first));
}

// A log keeps an answer's rows itself: render_unkept gives the same rows, takes a kept layout
// when there is one, and keeps none of its own (a re-flow of a long log would otherwise evict
// every entry it adds).
TEST(MarkdownCache, UnkeptRenderEqualsCachedAndKeepsNothing) {
  Markdown::clear_cache();
  const Console console = truecolor_console();
  const Markdown md("# T\n\n| a | b |\n|---|---|\n| 1 | 2 |\n\n```cpp\nint x = 1;\n```\n");
  const auto unkept = md.render_unkept(console, 40);
  EXPECT_EQ(Markdown::cache_stats().entries, 0u);
  const auto kept = md.render_lines(console, 40);
  EXPECT_EQ(unkept, kept);
  const CacheStats before = Markdown::cache_stats();
  EXPECT_EQ(md.render_unkept(console, 40), kept);
  EXPECT_EQ(Markdown::cache_stats().hits, before.hits + 1);
  EXPECT_EQ(Markdown::cache_stats().entries, before.entries);
}

}  // namespace
}  // namespace orvo::tui

namespace orvo::tui {
namespace {

std::string render_ansi(std::string_view text, bool hyperlinks) {
  ConsoleOptions o;
  o.width = 80;
  o.color_system = ColorSystem::None;
  o.force_terminal = true;
  o.hyperlinks = hyperlinks;
  return Console(o).render(Markdown(std::string(text)), 80);
}

struct LinkCase {
  const char* markdown;
  bool hyperlinks;
  const char* shown;  // "\x1b" as "^"
};

TEST(MarkdownLinks, UrlTextAndHyperlinks) {
  const LinkCase cases[] = {
      {"see [docs](https://x.org/d) now", false, "see docs (https://x.org/d) now\n"},
      {"see [docs](https://x.org/d) now", true, "see ^]8;;https://x.org/d^\\docs^]8;;^\\ now\n"},
      {"[Socket](#x)s here", false, "Sockets here\n"},
      {"[Socket](https://x.org)s here", false, "Sockets (https://x.org) here\n"},
      {"[rel](docs/a.md) x", false, "rel x\n"},
      {"[bad](javascript:alert(1)) x", true, "bad x\n"},
      {"<https://y.org>", true, "^]8;;https://y.org^\\https://y.org^]8;;^\\\n"},
  };
  for (const LinkCase& c : cases) {
    std::string got = render_ansi(c.markdown, c.hyperlinks);
    for (char& ch : got) {
      if (ch == '\x1b') ch = '^';
    }
    EXPECT_EQ(got, c.shown) << c.markdown << " hyperlinks=" << c.hyperlinks;
  }
}

TEST(StyleLinks, TargetsAreCleanedAndRefused) {
  EXPECT_EQ(clean_link("https://a.org/\x1b]x\x07y"), "https://a.org/]xy");
  EXPECT_EQ(clean_link("javascript:alert(1)"), "");
  EXPECT_EQ(clean_link("#anchor"), "");
  EXPECT_EQ(clean_link("MAILTO:me@x.org"), "MAILTO:me@x.org");
  EXPECT_EQ(Style().with_link("ftp://x").link_id(), 0u);
}

TEST(StyleLinks, FromAnsiKeepsOsc8) {
  const Text t = Text::from_ansi("a \x1b]8;;https://x.org\x1b\\link\x1b]8;;\x1b\\ b");
  EXPECT_EQ(t.plain(), "a link b");
  bool found = false;
  for (const Strip& row : t.rich_wrap(80)) {
    for (const Segment& s : row.segments()) {
      if (s.text == "link") found = s.style.link() == "https://x.org";
    }
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace orvo::tui
