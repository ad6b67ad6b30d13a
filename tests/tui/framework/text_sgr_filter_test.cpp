// Colours out of ANSI text as it streams (NO_COLOR in --plain): attributes stay, sequences split
// between writes are rewritten whole, everything else passes unchanged.
#include "tui/framework/text/sgr_filter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvo::tui {
namespace {

TEST(SgrColorFilter, TakesColoursOutAndKeepsTheRest) {
  const std::pair<const char*, const char*> cases[] = {
      {"\x1b[31m▪ Error\x1b[0m", "▪ Error\x1b[0m"},
      {"\x1b[1;32mok\x1b[m", "\x1b[1mok\x1b[m"},
      {"\x1b[38;5;196;4mu", "\x1b[4mu"},
      {"\x1b[48;2;1;2;3;7;38;2;9;9;9mr", "\x1b[7mr"},
      {"\x1b[0;91;2md", "\x1b[0;2md"},
      {"\x1b[39;49m", ""},
      // Not SGR: cursor moves, erasing, OSC and private modes pass as they are.
      {"\x1b[3A\r\x1b[K\x1b[?25l\x1b]52;c;eA==\x07", "\x1b[3A\r\x1b[K\x1b[?25l\x1b]52;c;eA==\x07"},
      {"plain text", "plain text"},
  };
  for (const auto& [in, want] : cases) {
    SgrColorFilter f;
    std::string out = f.feed(in);
    out += f.flush();
    EXPECT_EQ(out, want) << in;
  }
}

TEST(SgrColorFilter, ASequenceSplitBetweenWritesIsRewrittenWhole) {
  const std::string in = "a\x1b[1;31mb\x1b[0m";
  for (std::size_t cut = 0; cut <= in.size(); ++cut) {
    SgrColorFilter f;
    std::string out = f.feed(in.substr(0, cut));
    out += f.feed(in.substr(cut));
    out += f.flush();
    EXPECT_EQ(out, "a\x1b[1mb\x1b[0m") << cut;
  }
}

}  // namespace
}  // namespace orvo::tui
