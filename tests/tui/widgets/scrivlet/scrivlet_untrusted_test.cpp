// Text from a model or a program never reaches the terminal as a control: cursor moves, screen
// clears, OSC titles and clipboard writes and C1 controls are shown inert, through every append
// operation.
#include <gtest/gtest.h>

#include "fixture.hpp"

namespace orvo::tui::scrivlet {
namespace {

using testing::Harness;

// Cursor home and clear, OSC title (BEL and ST), OSC 52 clipboard, C1 CSI (UTF-8 and a raw byte),
// a bell, DEL.
const std::string kHostile =
    "A\x1b[2J\x1b[HB\x1b]0;t\x07"
    "C\x1b]52;c;aA==\x1b\\D\xc2\x9b"
    "1mE\x9b"
    "F\x7f";

bool has_control(const std::string& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x20 || b == 0x7f) return true;
    if (b == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(s[i + 1]) <= 0x9f)
      return true;
  }
  return false;
}

TEST(ScrivletUntrusted, EscapeSequencesNeverReachTheTerminal) {
  Harness h({60, 30});
  const std::string& x = kHostile;
  h.v.append_user(x);
  h.v.append_queued(x);
  h.v.append_info(x);
  h.v.append_error(x);
  h.v.append_tool("bash", x);
  h.v.append_tool_done(x, x, x);
  h.v.append_tool_result(x + "\n" + x);
  h.v.append_tool_result(x, true);
  h.v.append_tool_result("--- a\n+++ b\n@@ -1 +1 @@\n-" + x + "\n+" + x);
  h.v.append_assistant(x);
  h.v.append_assistant("**" + x + "** `" + x + "`");
  h.v.stream_token(x + "\n" + x);
  h.v.finish_stream(x);
  // Every sequence shows as inert text where it was written; the screen is not cleared, the
  // cursor not moved.
  EXPECT_EQ(h.pilot.screenshot(),
            "\n"
            " ❯ A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "\n"
            "   ↻ A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�  (queued)\n"
            "\n"
            "   A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "   ✗ A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "   ● Bash(A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�)\n"
            "   ✓ A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�(A�[2J�[HB�]0…\n"
            "     │ A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "     ⎿ A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "     ⎿ A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "     ⎿ Added 1 line, removed 1 line\n"
            "        1 - A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "        1 + A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "\n"
            "   A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "\n"
            "   A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "   A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "\n"
            "\n"
            // The streamed rows give way to the settled answer at the finish.
            "   A�[2J�[HB�]0;t�C�]52;c;aA==�\\D�1mE�F�\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "\n"
            "");
  // Thinking blocks, approval prompts and summaries: rows free of controls as well.
  h.v.append_thinking(x, true);
  h.v.append_approval(x, x);
  h.v.append_approval(x, x + "\n" + x + std::string(100, 'y'), x);  // reason and whole command
  h.v.append_turn_summary(1.0, {x});
  for (const auto& row : h.v.lines())
    for (const auto& seg : row.segments()) EXPECT_FALSE(has_control(seg.text)) << seg.text;
}

}  // namespace
}  // namespace orvo::tui::scrivlet
