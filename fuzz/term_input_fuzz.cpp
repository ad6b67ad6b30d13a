// Feeds arbitrary bytes to the input parser in random-sized chunks, with flushes in between, and
// checks that every key's text is valid UTF-8 and that no event carries a raw control byte as
// typed text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "common/utf8.hpp"
#include "tui/framework/term/input_parser.hpp"

namespace {

void check_utf8(std::string_view s) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t start = pos;
    const char32_t cp = orvo::text::decode(s, pos);
    if (cp == orvo::text::kReplacement && pos - start == 1) std::abort();  // invalid byte leaked
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo::tui;
  InputParser parser;
  std::vector<InputEvent> events;
  std::size_t i = 0;
  while (i < size) {
    // The first byte of each chunk picks its length and whether the escape timeout fires after it.
    const std::uint8_t ctl = data[i++];
    const std::size_t len = std::min<std::size_t>(ctl & 0x3f, size - i);
    parser.feed(std::string_view(reinterpret_cast<const char*>(data + i), len), events);
    i += len;
    if (ctl & 0x40) parser.flush(events);
  }
  parser.flush(events);
  for (const auto& e : events) {
    if (const auto* k = std::get_if<KeyEvent>(&e)) {
      if (k->key.empty()) std::abort();
      check_utf8(k->key);
      check_utf8(k->character);
      for (const char c : k->character) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f) std::abort();  // control bytes never type text
      }
    } else if (const auto* p = std::get_if<PasteEvent>(&e)) {
      check_utf8(p->text);
    } else if (const auto* m = std::get_if<MouseEvent>(&e)) {
      if (m->x < 0 || m->y < 0) std::abort();
    }
  }
  describe(events.empty() ? InputEvent{RedrawEvent{}} : events.back());
  return 0;
}
