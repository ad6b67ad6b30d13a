// Takes the colours out of ANSI text as it streams past (for NO_COLOR): every SGR sequence loses
// its foreground, background and underline colours and keeps the attributes (bold, dim, italic,
// underline, reverse, ...). Other bytes pass unchanged.
//
//   SgrColorFilter f;
//   out << f.feed("\x1b[1;31mError\x1b[0m");   // "\x1b[1mError\x1b[0m"
//
// A sequence split across feed() calls is held until it is complete; flush() gives back what is
// held.
#pragma once

#include <string>
#include <string_view>

namespace orvo::tui {

// NO_COLOR is set and not empty: the user asks for no colour at all.
bool no_color_requested();

class SgrColorFilter {
 public:
  std::string feed(std::string_view bytes);
  std::string flush();

  // One complete SGR parameter list ("1;38;5;196") without its colours ("1"); "" when nothing is
  // left.
  static std::string strip_params(std::string_view params);

 private:
  // A CSI sequence longer than this is no SGR we would rewrite: it is passed on as it is.
  static constexpr std::size_t kMaxHeld = 256;
  std::string held_;  // an escape sequence begun and not finished
};

}  // namespace orvo::tui
