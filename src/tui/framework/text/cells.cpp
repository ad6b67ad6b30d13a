#include "tui/framework/text/cells.hpp"

#include "common/utf8.hpp"

namespace orvo::tui {

bool is_sanitized(std::string_view s, bool keep_tabs) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    i += text::printable_ascii_run(s.substr(i));
    if (i == n) break;
    const unsigned char c = p[i];
    if (c < 0x80) {
      if (c < 0x20 ? !(c == '\n' || (keep_tabs && c == '\t')) : c == 0x7F) return false;
      ++i;
      continue;
    }
    std::size_t j = i;
    const char32_t cp = text::decode(s, j);
    if (cp == text::kReplacement && j == i + 1) return false;  // invalid byte
    if (cp >= 0x80 && cp <= 0x9F) return false;
    i = j;
  }
  return true;
}

std::string sanitize(std::string_view s, bool keep_tabs) {
  std::string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      if (c < 0x20 ? !(c == '\n' || (keep_tabs && c == '\t')) : c == 0x7F)
        text::encode(text::kReplacement, out);
      else
        out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    std::size_t j = i;
    const char32_t cp = text::decode(s, j);
    // C1 controls, and a byte that does not decode, become one replacement character.
    if ((cp >= 0x80 && cp <= 0x9F) || (cp == text::kReplacement && j == i + 1)) {
      text::encode(text::kReplacement, out);
    } else {
      out.append(s.data() + i, j - i);
    }
    i = j;
  }
  return out;
}

}  // namespace orvo::tui
