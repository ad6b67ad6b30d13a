// Markdown while an answer streams: finished blocks drawn as markdown at once, the block in
// progress plain, rows once settled never changing, and the rows at the finish those of the
// whole answer drawn at once (on the shared corpus and on constructs whose meaning depends on
// later text).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fixture.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::Harness;
using testing::rows;
using Rows = std::vector<std::string>;

// Streams `text` in pieces of 1 to 7 bytes. Whenever rows settle they must be those of the
// answer drawn whole; at the finish every row is. Returns the most rows settled before the
// finish.
// With `each_step` false the settled rows are compared only before the finish (a link definition
// that arrives late changes rows that were settled before it).
std::size_t stream_and_compare(const std::string& text, Size size, unsigned seed,
                               bool each_step = true) {
  Harness whole(size);
  whole.v.append_assistant(text);
  const std::vector<Strip>& expected = whole.v.lines();
  Harness h(size);
  std::size_t checked = 0;
  std::size_t most = 0;
  unsigned r = seed;
  for (std::size_t i = 0; i < text.size();) {
    r = r * 1103515245u + 12345u;
    const std::size_t n = std::min<std::size_t>(1 + (r >> 16) % 7, text.size() - i);
    h.v.stream_token(text.substr(i, n));
    i += n;
    const std::size_t settled = h.v._stream_settled_rows();
    EXPECT_LE(settled, h.v.lines().size());
    if (settled > expected.size()) {
      ADD_FAILURE() << "more rows settled than the answer has, after byte " << i;
      return most;
    }
    for (; each_step && checked < settled; ++checked) {
      if (!(h.v.lines()[checked] == expected[checked])) {
        ADD_FAILURE() << "settled row " << checked << " after byte " << i << ": \""
                      << h.v.lines()[checked].text() << "\" instead of \""
                      << expected[checked].text() << "\"";
        return most;
      }
    }
    most = std::max(most, settled);
  }
  for (std::size_t i = 0; i < h.v._stream_settled_rows(); ++i)
    EXPECT_TRUE(h.v.lines()[i] == expected[i]) << "settled row " << i << " before the finish";
  h.v.finish_stream(text);
  EXPECT_EQ(rows(h.v), rows(whole.v));
  EXPECT_TRUE(h.v.lines() == expected);
  EXPECT_EQ(h.v._line_counter, whole.v._line_counter);
  // The finished answer is an entry like any other: a replay draws the same rows.
  h.v._rerender();
  EXPECT_TRUE(h.v.lines() == expected);
  return most;
}

std::string slurp(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST(LiveMarkdown, StreamedRowsEqualTheWholeAnswerOnTheCorpus) {
  const std::filesystem::path dir = std::filesystem::path(KV_SOURCE_DIR) / "tests/data/corpus/md";
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  int files = 0;
  int settled_early = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string text = slurp(entry.path());
    // The large answers at one width: they add time, not cases.
    const bool large = text.size() > 50'000;
    for (const Size size : {Size{100, 10}, Size{80, 10}, Size{46, 10}, Size{30, 10}}) {
      if (large && size.width != 80) continue;
      SCOPED_TRACE(entry.path().filename().string() + " at " + std::to_string(size.width));
      const std::size_t most = stream_and_compare(text, size, static_cast<unsigned>(files));
      if (size.width == 80 && most > 1) ++settled_early;
    }
    ++files;
  }
  EXPECT_GT(files, 10);
  // Nearly every answer has blocks that settle long before its end.
  EXPECT_GE(settled_early, files - 3);
}

// Constructs whose meaning depends on later text: the rows settled early must still be right.
TEST(LiveMarkdown, LaterTextThatChangesEarlierBlocks) {
  const std::string cases[] = {
      // a list that turns loose after a blank line, and one continued after a blank line
      "Intro **x**\n\n- one\n- two\n\n- three\n\nAfter.\n",
      "- a\n\n  more of a\n\n- b\n\nend `c`\n",
      // numbers that grow a digit
      "**n**\n\n8. a\n9. b\n10. c\n\nend\n",
      // a setext heading and a rule
      "Title `t`\n=====\n\ntext\n---\n\n---\n\nlast\n",
      // lazy continuation of a quote and of a list item
      "> quoted **q**\nlazy line\n\n- item\nlazy too\n\nplain\n",
      // a link definition after its use, and one before
      "See [the docs] and [x][ref].\n\nMore text `m`.\n\n[the docs]: https://example.com\n\n"
      "[ref]: https://example.org \"T\"\n\nUse [ref] again.\n",
      // fences holding blank lines, an unclosed fence, a tilde fence, an indented fence
      "```py\nx = 1\n\n\ny = 2\n```\n\n~~~\na\n\n~~~\n\n- item\n\n  ```\n  in item\n\n  ```\n\n"
      "tail\n\n```\nnever closed\n\nstill code\n",
      // indented code with blank lines, and after a paragraph
      "para `p`\n\n    code 1\n\n    code 2\n\nnext\n",
      // raw HTML holding blank lines
      "a `b`\n\n<!-- note\n\nstill note -->\n\n<pre>\n\nkeep\n</pre>\n\nend\n",
      // a table whose last row ends at a blank line
      "| a | b |\n|---|---|\n| 1 | 2 |\n| 33333 | 4 |\n\nafter `t`\n",
      // CR LF line ends, tabs, wide characters
      "# 标题\r\n\r\n- 项目 **一**\r\n\t- nested\r\n\r\n中文段落。\r\n",
      // a heading directly under a paragraph, an item interrupting one
      "text `a`\n# Head\nmore\n- item\n2. not a list\n\nend\n",
  };
  int seed = 1;
  for (const std::string& text : cases) {
    for (const Size size : {Size{80, 10}, Size{30, 10}}) {
      SCOPED_TRACE(text + " at " + std::to_string(size.width));
      stream_and_compare(text, size, static_cast<unsigned>(seed++),
                         text.find("]: https") == std::string::npos);
      // One byte at a time as well.
      Harness whole(size);
      whole.v.append_assistant(text);
      Harness h(size);
      for (const char c : text) h.v.stream_token(std::string(1, c));
      h.v.finish_stream(text);
      EXPECT_TRUE(h.v.lines() == whole.v.lines());
    }
  }
}

// What the reader sees while the answer arrives: the finished blocks as markdown, the block in
// progress as it was typed.
TEST(LiveMarkdown, FinishedBlocksAreMarkdownAndTheBlockInProgressIsPlain) {
  Harness h({40, 14});
  h.v.append_user("plan it");
  h.v.stream_token("## Plan\n\nFirst **bold** idea,\nstill going\n");
  h.pilot.wait_idle();
  // The heading is finished; the paragraph is still being written.
  EXPECT_EQ(h.pilot.screenshot(),
            "\n"
            " ❯ plan it\n"
            "\n"
            "   Plan\n"
            "   ────\n"
            "\n"
            "   First **bold** idea,\n"
            "   still going\n"
            "\n\n\n\n\n");
  // A blank line ends the paragraph, the second item ends the first; the unfinished last line
  // waits for its line feed.
  h.v.stream_token("\n- one\n- two\n- thr");
  h.pilot.wait_idle();
  EXPECT_EQ(h.pilot.screenshot(),
            "\n"
            " ❯ plan it\n"
            "\n"
            "   Plan\n"
            "   ────\n"
            "\n"
            "   First bold idea, still going\n"
            "\n"
            "   • one\n"
            "   - two\n"
            "\n\n\n");
  h.v.stream_token("ee\n");
  h.v.finish_stream("## Plan\n\nFirst **bold** idea,\nstill going\n\n- one\n- two\n- three\n");
  h.pilot.wait_idle();
  EXPECT_EQ(h.pilot.screenshot(),
            "\n"
            " ❯ plan it\n"
            "\n"
            "   Plan\n"
            "   ────\n"
            "\n"
            "   First bold idea, still going\n"
            "\n"
            "   • one\n"
            "   • two\n"
            "   • three\n"
            "\n\n");
}

// A resize re-flows the answer in progress as markdown, and a late link definition redraws the
// parts that used it.
TEST(LiveMarkdown, ReplaysAndLateDefinitionsKeepTheRows) {
  const std::string text =
      "Intro with [link].\n\n- a `b`\n- c\n\nMiddle text.\n\n[link]: https://example.com\n\nEnd.\n";
  Harness h({80, 12});
  h.v.append_info("before");
  const std::size_t cut = text.find("Middle");
  h.v.stream_token(text.substr(0, cut));
  h.pilot.resize(30, 12);
  h.v._rerender();
  h.v.stream_token(text.substr(cut));
  Harness whole({30, 12});
  whole.v.append_info("before");
  whole.v.append_assistant(text);
  const std::size_t base = 2;  // the info entry's rows
  ASSERT_GT(h.v._stream_settled_rows(), 3u);
  for (std::size_t i = 0; i < base + h.v._stream_settled_rows(); ++i)
    EXPECT_TRUE(h.v.lines()[i] == whole.v.lines()[i]) << i << ": " << h.v.lines()[i].text();
  h.v.finish_stream(text);
  EXPECT_TRUE(h.v.lines() == whole.v.lines());
}

}  // namespace
}  // namespace orvo::tui::scrivlet
