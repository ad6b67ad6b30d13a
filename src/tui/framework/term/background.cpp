#include "tui/framework/term/background.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace orvo::tui {

namespace {

// A channel of 1 to 4 hex digits scaled to 16 bits: "f" and "ffff" are both full.
std::optional<std::uint16_t> channel(std::string_view digits) {
  if (digits.empty() || digits.size() > 4) return std::nullopt;
  unsigned v = 0;
  const auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
  if (ec != std::errc() || p != digits.data() + digits.size()) return std::nullopt;
  const unsigned max = (1u << (4 * digits.size())) - 1;
  return static_cast<std::uint16_t>((v * 65535u + max / 2) / max);
}

double linear(std::uint16_t c) {
  const double v = c / 65535.0;
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

}  // namespace

std::optional<ColorReplyEvent> parse_color_reply(std::string_view body) {
  const std::size_t semi = body.find(';');
  if (semi == std::string_view::npos || semi == 0 || semi > 3) return std::nullopt;
  ColorReplyEvent c;
  {
    const auto [p, ec] = std::from_chars(body.data(), body.data() + semi, c.slot);
    if (ec != std::errc() || p != body.data() + semi) return std::nullopt;
  }
  std::string_view colour = body.substr(semi + 1);
  // OSC 4 (a palette entry) carries the entry's number before the colour.
  if (c.slot == 4) {
    const std::size_t s2 = colour.find(';');
    if (s2 == std::string_view::npos) return std::nullopt;
    colour.remove_prefix(s2 + 1);
  }
  std::string_view parts[4];
  std::size_t count = 0;
  if (colour.starts_with("#")) {
    colour.remove_prefix(1);
    if (colour.empty() || colour.size() % 3 != 0 || colour.size() > 12) return std::nullopt;
    const std::size_t n = colour.size() / 3;
    for (std::size_t i = 0; i < 3; ++i) parts[i] = colour.substr(i * n, n);
    count = 3;
  } else {
    std::size_t want = 0;
    if (colour.starts_with("rgb:")) {
      colour.remove_prefix(4);
      want = 3;
    } else if (colour.starts_with("rgba:")) {
      colour.remove_prefix(5);
      want = 4;
    } else {
      return std::nullopt;
    }
    while (true) {
      if (count == want) return std::nullopt;
      const std::size_t slash = colour.find('/');
      parts[count++] = colour.substr(0, slash);
      if (slash == std::string_view::npos) break;
      colour.remove_prefix(slash + 1);
    }
    if (count != want) return std::nullopt;
  }
  std::uint16_t* fields[3] = {&c.red, &c.green, &c.blue};
  for (std::size_t i = 0; i < count; ++i) {
    const auto v = channel(parts[i]);
    if (!v) return std::nullopt;
    if (i < 3) *fields[i] = *v;  // alpha says nothing about lightness
  }
  return c;
}

double relative_luminance(const ColorReplyEvent& color) {
  return 0.2126 * linear(color.red) + 0.7152 * linear(color.green) + 0.0722 * linear(color.blue);
}

ThemeKind theme_for_background(const ColorReplyEvent& background) {
  return relative_luminance(background) > 0.5 ? ThemeKind::light : ThemeKind::dark;
}

std::optional<ThemeKind> theme_from_colorfgbg(const char* value) {
  if (value == nullptr) return std::nullopt;
  const std::string_view v(value);
  const std::size_t semi = v.rfind(';');
  if (semi == std::string_view::npos) return std::nullopt;
  const std::string_view bg = v.substr(semi + 1);
  int n = -1;
  const auto [p, ec] = std::from_chars(bg.data(), bg.data() + bg.size(), n);
  if (ec != std::errc() || p != bg.data() + bg.size() || bg.empty() || n < 0 || n > 15)
    return std::nullopt;
  return n == 7 || (n >= 9 && n <= 15) ? ThemeKind::light : ThemeKind::dark;
}

}  // namespace orvo::tui
