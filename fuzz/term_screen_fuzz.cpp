// Draws fuzzer-chosen text at fuzzer-chosen places, renders the frames and replays the bytes on
// the virtual terminal: nothing may crash, a wide grapheme is always whole, and for text made of
// printable ASCII and CJK the replayed screen equals the frame. The raw input is also fed to the
// virtual terminal as terminal output.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tui/framework/headless/virtual_terminal.hpp"
#include "tui/framework/term/frame_diff.hpp"

namespace {

using namespace orvo::tui;

bool simple_text(std::string_view s) {
  // Printable ASCII or the three-byte CJK block U+4E00..U+9FFF, each its own grapheme.
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b >= 0x20 && b < 0x7f) {
      ++i;
    } else if (b >= 0xE4 && b <= 0xE9 && i + 2 < s.size() &&
               (static_cast<unsigned char>(s[i + 1]) & 0xC0) == 0x80 &&
               (static_cast<unsigned char>(s[i + 2]) & 0xC0) == 0x80) {
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

void check_pairs(const CellBuffer& buf) {
  for (int y = 0; y < buf.height(); ++y)
    for (int x = 0; x < buf.width(); ++x) {
      const Cell& c = buf.at(x, y);
      if (c.width == 2 && (x + 1 >= buf.width() || buf.at(x + 1, y).width != 0)) std::abort();
      if (c.width == 0 && (x == 0 || buf.at(x - 1, y).width != 2)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  {
    VirtualTerminal raw({20, 6});
    raw.feed(in);
    check_pairs(raw.screen());
  }
  const CellStyle styles[] = {CellStyle{}, to_cell_style(Style::parse("bold red")),
                              to_cell_style(Style::parse("#5f87ff on #2a2a2a"))};
  FrameDiffer comp({16, 5});
  VirtualTerminal vt({16, 5});
  bool simple = true;
  std::size_t i = 0;
  while (i + 4 <= size) {
    const int x = static_cast<int>(data[i] % 20) - 2;
    const int y = data[i + 1] % 6;
    const CellStyle& style = styles[data[i + 2] % 3];
    const std::size_t len = std::min<std::size_t>(data[i + 3] % 16, size - i - 4);
    const std::string_view text = in.substr(i + 4, len);
    i += 4 + len;
    if (y == 5) {
      vt.feed(comp.render());
      check_pairs(comp.frame());
      if (simple && vt.screenshot(false) != comp.frame().plain_text(false)) std::abort();
      continue;
    }
    simple = simple && simple_text(text);
    comp.frame().draw_text(x, y, text, style, Region{0, 0, 16, 5});
  }
  vt.feed(comp.render());
  check_pairs(comp.frame());
  check_pairs(vt.screen());
  if (simple && vt.screenshot(false) != comp.frame().plain_text(false)) std::abort();
  return 0;
}
