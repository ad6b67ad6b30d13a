// Text::from_ansi on arbitrary bytes: never crashes, never lets a control through, and every
// laid-out row fits its width; a row rendered back to ANSI parses to the same row.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::tui;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  Text t = Text::from_ansi(in);
  for (unsigned char c : t.plain())
    if ((c < 0x20 && c != '\n') || c == 0x7F) std::abort();
  if (!is_sanitized(t.plain())) std::abort();
  for (const Span& s : t.spans())
    if (s.start >= s.end || s.end > t.plain().size()) std::abort();
  // Rendering a line back to SGR and parsing it again gives the same row.
  for (const Text& line : t.split_lines()) {
    const Strip row = line.to_strip().simplify();
    const Text back = Text::from_ansi(row.render(ColorSystem::TrueColor));
    if (back.plain() != line.plain()) std::abort();
    if (!(back.to_strip().simplify() == row)) std::abort();
  }
  const int width = size > 0 ? 1 + data[0] % 40 : 10;
  t.overflow = size > 1 ? static_cast<Overflow>(data[1] % 3) : Overflow::Fold;
  t.no_wrap = size > 2 && (data[2] & 1);
  for (const Strip& row : t.rich_wrap(width)) {
    if (row.cell_length() > width) std::abort();
    if (row.cell_length() != cell_len(row.text())) std::abort();
    const Strip part = row.crop(1, width - 1);
    if (part.cell_length() != cell_len(part.text())) std::abort();
    (void)row.render(orvo::tui::ColorSystem::EightBit);
  }
  return 0;
}
