// Markdown as a renderable: Console::print(Markdown(text, "monokai")) or a log widget's write.
//
// Layout at a width (every row fits it, counted in display cells):
//   headings     styled "markdown.h1".."markdown.h6"; h1 centred over a full-width rule of "━"
//                ("markdown.h1.border"), h2 over a rule of "─" as wide as its text
//   paragraphs   wrapped at spaces; emphasis, strong, strikethrough, inline code
//                ("markdown.code_inline"), links as their text plus " (url)" when the target
//                differs from the text, images as their alt text (else the file name)
//   code         fenced and indented blocks on the code theme's background, one cell of padding
//                on both sides, syntax-highlighted by fence name; lines longer than the block are
//                folded (continued on the next row) so no code is hidden
//   lists        "•" bullets (then "◦", "▪" when nested), numbers right-aligned; continuation
//                rows hang under the item's text; task items show "☐" / "☑"
//   quotes       each row behind a "▌ " bar
//   tables       box-drawn; columns fitted to the width (cells wrap; alignment honoured)
//   rules        a row of "─"
// Blocks are separated by one empty row (none inside tight lists).
//
// Rendered rows are cached per (text, width, code theme, resolved styles), and highlighted code
// per (language, code), both bounded LRU caches, so rendering the same answers again costs a copy.
// The parsed documents are kept per text as well (bounded), so a new width costs only the layout.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tui/framework/text/console.hpp"
#include "tui/framework/text/lru_cache.hpp"
#include "tui/framework/text/renderable.hpp"

namespace orvo::tui {

class Markdown : public Renderable {
 public:
  explicit Markdown(std::string text, std::string code_theme = "monokai");

  const std::string& text() const { return text_; }
  const std::string& code_theme() const { return code_theme_; }

  // Styles come from the console's theme (markdown.* names), with defaults for missing ones.
  std::vector<Strip> render_lines(const Console& console, int width) const override;
  // The same rows as the cache holds them, shared: for a caller that copies them anyway (into a
  // log, behind an indent), which saves render_lines' copy of every row.
  std::shared_ptr<const std::vector<Strip>> render_shared(const Console& console, int width) const;
  // The rows of render_lines, but a layout the cache does not hold is made for the caller alone
  // and not kept: for a caller that keeps the rows itself (a log), where keeping them here too
  // would cost a copy of every row and, in a long log, an eviction for each new one.
  std::vector<Strip> render_unkept(const Console& console, int width) const;
  std::unique_ptr<Renderable> clone() const override { return std::make_unique<Markdown>(*this); }

  // The style this renderer uses for a markdown.* name when the console's theme has none.
  static Style default_style(std::string_view name);

  // The rendered-rows and parsed-document caches (the code highlighting cache is in
  // highlight.hpp).
  static void clear_cache();
  // Only the rendered rows: what a new width finds (the documents stay parsed).
  static void clear_layout_cache();
  static CacheStats cache_stats();

 private:
  std::string text_;
  std::string code_theme_;
};

}  // namespace orvo::tui
