// Renders arbitrary bytes as markdown at a few widths; every row must fit its width.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tui/framework/highlight/highlight.hpp"
#include "tui/framework/markdown/markdown.hpp"

using namespace orvo::tui;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks a narrow width; the rest is the document.
  const int narrow = 1 + data[0] % 24;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  ConsoleOptions o;
  o.color_system = ColorSystem::TrueColor;
  o.force_terminal = true;
  o.no_color = false;
  const Console console(o);
  const Markdown md(text, data[0] & 0x80 ? "ansi" : "monokai");
  for (int width : {narrow, 40, 72}) {
    const auto rows = md.render_lines(console, width);
    for (const Strip& row : rows) {
      if (row.cell_length() > width) std::abort();
    }
    // The second render comes from the cache and must match.
    if (md.render_lines(console, width) != rows) std::abort();
  }
  // Keep memory flat over a long run.
  Markdown::clear_cache();
  clear_highlight_cache();
  return 0;
}
