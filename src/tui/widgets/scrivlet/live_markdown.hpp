// Where an answer that is still arriving can be cut, line by line, so that its finished part is
// drawn as markdown without waiting for the rest.
//
// Two places matter, both byte offsets into the answer:
//   settled  the start of the last top-level block. Nothing that comes later can change how the
//            text before it renders: it follows a blank line (outside a fence or a raw HTML
//            block), starts in the first column, and neither continues a list nor is indented
//            code. Rendering the text before it and the text from it separately gives the rows of
//            rendering both at once, with one empty row between the two parts.
//   open     the start of the block still being written (>= settled). The text between settled
//            and open holds only finished blocks, but they may still change with what follows
//            (a list turning loose, its numbers growing a digit), so it is drawn again whenever
//            open moves.
// Link reference definitions apply to the whole answer: the scanner collects them, so that every
// part is rendered knowing them, and says when one arrives that an earlier part may have used.
//
// The rules lean safe: a line they cannot place keeps the block open, which costs drawing time,
// never a wrong row.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace orvo::tui::scrivlet {

class BlockScanner {
 public:
  // One complete line (without its line feed) that starts at byte `pos` of the answer.
  void line(std::string_view text, std::size_t pos);

  std::size_t settled() const { return settled_; }
  std::size_t open() const { return open_; }
  // The link reference definitions seen so far, one per line.
  const std::string& definitions() const { return definitions_; }
  // True once after a definition of a label not seen before.
  bool take_new_definition() { return std::exchange(new_definition_, false); }

 private:
  struct Fence {
    char ch;
    std::size_t len;
    bool nested;  // inside a list item or a quote
  };
  std::size_t settled_ = 0;
  std::size_t open_ = 0;
  bool first_ = true;
  bool after_blank_ = false;
  bool paragraph_ = false;  // the last line was paragraph text (a setext underline may follow)
  bool list_ = false;       // the current top-level block holds a list item
  std::optional<Fence> fence_;
  std::string html_end_;  // the end mark of a raw HTML block in progress
  std::string definitions_;
  std::set<std::string> labels_;
  bool new_definition_ = false;
};

}  // namespace orvo::tui::scrivlet
