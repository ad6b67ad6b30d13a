// Turns arbitrary bytes into page text and checks the shape html_to_text promises: blank runs
// collapsed, no trailing spaces, and valid UTF-8 in gives valid UTF-8 out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/tools.hpp"

namespace {

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  const auto b = [&](std::size_t k) {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  const auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return b(k) >= lo && b(k) <= hi;
  };
  while (i < s.size()) {
    const unsigned c = b(0);
    std::size_t n = 0;
    if (c < 0x80) {
      n = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = cont(1) ? 2 : 0;
    } else if (c == 0xE0) {
      n = cont(1, 0xA0) && cont(2) ? 3 : 0;
    } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
      n = cont(1) && cont(2) ? 3 : 0;
    } else if (c == 0xED) {
      n = cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
    } else if (c == 0xF0) {
      n = cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
    } else if (c >= 0xF1 && c <= 0xF3) {
      n = cont(1) && cont(2) && cont(3) ? 4 : 0;
    } else if (c == 0xF4) {
      n = cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
    }
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view html(reinterpret_cast<const char*>(data), size);
  const std::string text = orvo::agent::html_to_text(html);
  if (text.empty()) return 0;
  if (text.front() == '\n' || text.back() != '\n') std::abort();
  if (text.size() >= 2 && text[text.size() - 2] == '\n') std::abort();
  for (const char* bad : {"\n\n\n", " \n", "  ", "\t", "\r", "\n "}) {
    if (text.find(bad) != std::string::npos) std::abort();
  }
  if (valid_utf8(html) && !valid_utf8(text)) std::abort();
  return 0;
}
