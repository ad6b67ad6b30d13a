#include "tui/framework/markdown/entities.hpp"

#include "common/utf8.hpp"

namespace orvo::tui {

void decode_entity(std::string_view ref, std::string& out) {
  if (ref.size() < 3 || ref.front() != '&' || ref.back() != ';') {
    out.append(ref);
    return;
  }
  const std::string_view body = ref.substr(1, ref.size() - 2);
  if (body.front() != '#') {
    const std::string_view text = named_entity(body);
    out.append(text.empty() ? ref : text);
    return;
  }
  const bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
  const std::string_view digits = body.substr(hex ? 2 : 1);
  if (digits.empty()) {
    out.append(ref);
    return;
  }
  char32_t cp = 0;
  for (char c : digits) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      out.append(ref);
      return;
    }
    cp = cp * (hex ? 16 : 10) + static_cast<char32_t>(v);
    if (cp > 0x10FFFF) cp = 0x110000;  // stays out of range without overflowing
  }
  if (cp == 0 || text::is_unsafe_control(cp)) cp = text::kReplacement;
  text::encode(cp, out);  // surrogates and out-of-range values become U+FFFD
}

}  // namespace orvo::tui
