// A small block/inline model of a markdown document, built from md4c's events (GitHub dialect:
// tables, strikethrough, task lists, autolinks; entities decoded).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::tui::md {

// Inline attributes of a run; several can hold at once.
enum RunFlag : std::uint16_t {
  Em = 1 << 0,
  Strong = 1 << 1,
  Strike = 1 << 2,
  Code = 1 << 3,
  Link = 1 << 4,
  LinkUrl = 1 << 5,  // " (url)" after a link to an absolute target its text does not show;
                     // drawn only when the terminal shows no hyperlinks
  Image = 1 << 6,
  Html = 1 << 7,
  Underline = 1 << 8,
};
inline constexpr int kRunFlagBits = 9;

// A piece of inline text; "\n" alone is a hard line break.
struct Run {
  std::string text;
  std::uint16_t flags = 0;
  std::uint32_t link = 0;  // the hyperlink target (an id of intern_link); 0: none
};
using Inlines = std::vector<Run>;

enum class Align : std::uint8_t { Default, Left, Center, Right };

struct Block {
  enum class Kind : std::uint8_t {
    Document,
    Paragraph,
    Heading,
    Code,
    Html,
    Quote,
    BulletList,
    OrderedList,
    Item,
    Table,
    Rule,
  };
  Kind kind = Kind::Document;

  int level = 0;         // Heading: 1..6
  bool tight = false;    // lists
  unsigned start = 1;    // OrderedList: first number
  char delimiter = '.';  // OrderedList: '.' or ')'
  int task = 0;          // Item: 0 not a task, 1 open, 2 done

  Inlines inlines;       // Paragraph, Heading
  std::string code;      // Code (text with '\n' line ends), Html
  std::string language;  // Code: first word of the fence info

  std::vector<std::unique_ptr<Block>> children;  // Document, Quote, lists, Item

  // Table: rows of cells; the first `head_rows` rows are the header.
  std::vector<Align> aligns;
  std::vector<std::vector<Inlines>> rows;
  int head_rows = 0;
};

// Containers nested deeper than this are flattened into their parent, so that no input can
// drive the renderer's recursion arbitrarily deep.
inline constexpr int kMaxDepth = 48;

// Parses `text` (expected to be valid UTF-8 without terminal controls). Never throws for any
// input except when memory runs out.
std::unique_ptr<Block> parse(std::string_view text);

}  // namespace orvo::tui::md
