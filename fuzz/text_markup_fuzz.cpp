// Console markup on arbitrary bytes: never throws, never crashes; spans stay inside the text,
// and escaped text always reads back as itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/console.hpp"
#include "tui/framework/text/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::tui;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  static const Theme theme{{"warn", "bold yellow"}, {"markdown.code", "#d72b6b on #2a2a2a"}};
  const Text t = Text::from_markup(in, Style(), size % 2 ? &theme : nullptr);
  for (const Span& s : t.spans())
    if (s.start >= s.end || s.end > t.plain().size()) std::abort();
  if (!is_sanitized(t.plain())) std::abort();
  for (const Strip& row : t.rich_wrap(size > 0 ? 1 + data[0] % 30 : 5))
    if (row.cell_length() != cell_len(row.text())) std::abort();
  // Round trip of clean text through escape_markup.
  const std::string clean = sanitize(in);
  if (Text::from_markup(escape_markup(clean)).plain() != clean) std::abort();
  // Style definitions never crash either.
  (void)Style::try_parse(in);
  return 0;
}
