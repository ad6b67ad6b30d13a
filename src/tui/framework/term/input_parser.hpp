// Incremental parser of the bytes a terminal sends: keys, SGR mouse reports, bracketed pastes,
// and the string replies of queries (OSC, DCS, APC, PM, SOS): an OSC colour reply becomes a
// ColorReplyEvent, every other string is dropped whole.
//
// Bytes may arrive split anywhere; an incomplete sequence is held until the rest arrives. A lone
// ESC byte is ambiguous (the Escape key, or the start of a sequence whose rest is still on its
// way): the parser then reports pending_escape() and the caller calls flush() when no more bytes
// came within kEscapeTimeout, which turns the held ESC into the "escape" key. Unknown or broken
// sequences are dropped whole; their bytes never show up as typed text. Invalid UTF-8 becomes
// U+FFFD.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tui/framework/term/events.hpp"

namespace orvo::tui {

class InputParser {
 public:
  // How long a lone ESC waits for the rest of a sequence before it counts as the Escape key.
  static constexpr std::chrono::milliseconds kEscapeTimeout{50};
  // A paste longer than this is cut (the rest up to the end marker is dropped).
  static constexpr std::size_t kMaxPaste = 16u << 20;
  // A terminal string (OSC, DCS ...) longer than this is no reply we read: it is skipped up to
  // its terminator without being kept.
  static constexpr std::size_t kMaxString = 4096;

  // Parses `bytes` and appends the complete events to `out`.
  void feed(std::string_view bytes, std::vector<InputEvent>& out);

  // True when held bytes could be the Escape key (alone or with alt) or the start of a sequence;
  // call flush() once kEscapeTimeout passed without new input.
  bool pending_escape() const;

  // Gives up waiting: a held ESC becomes "escape" (ESC ESC: "alt+escape"), a held incomplete
  // sequence is dropped, a held incomplete UTF-8 character becomes U+FFFD. An unfinished paste is
  // kept (its end marker may still come).
  void flush(std::vector<InputEvent>& out);

  // Replies to a DECRQM query (CSI ? mode ; value $ y) seen in the input, oldest first; they are
  // not reported as events. value: 0 unknown mode, 1 set, 2 reset, 3 always set, 4 always reset.
  struct ModeReport {
    int mode = 0;
    int value = 0;
  };
  std::vector<ModeReport> take_mode_reports();

  // Forgets all held bytes (after a suspend, say).
  void reset();

 private:
  enum class State : std::uint8_t {
    Ground,  // between events
    Esc,     // after ESC
    Csi,     // inside CSI (ESC [)
    Ss3,     // after ESC O
    X10,     // the three bytes of a legacy mouse report (CSI M Cb Cx Cy)
    Paste,   // inside a bracketed paste
    String,  // inside a terminal string (ESC ] / P / _ / ^ / X), up to BEL or ST (ESC backslash)
  };

  void ground_byte(unsigned char b, std::vector<InputEvent>& out);
  void esc_byte(unsigned char b, std::vector<InputEvent>& out);
  void csi_byte(unsigned char b, std::vector<InputEvent>& out);
  void ss3_byte(unsigned char b, std::vector<InputEvent>& out);
  void paste_byte(unsigned char b, std::vector<InputEvent>& out);
  void x10_byte(unsigned char b, std::vector<InputEvent>& out);
  void string_byte(unsigned char b, std::vector<InputEvent>& out);
  void finish_string(std::vector<InputEvent>& out);
  void finish_csi(unsigned char final_byte, std::vector<InputEvent>& out);
  void emit_key(std::vector<InputEvent>& out, std::string name, std::uint8_t mods,
                std::string character = {});
  void flush_utf8(std::vector<InputEvent>& out);

  State state_ = State::Ground;
  bool alt_ = false;             // an ESC prefix was seen before this key
  std::string seq_;              // bytes of the CSI/SS3 sequence being read
  bool seq_overflow_ = false;    // too long: skipped up to its final byte
  std::string utf8_;             // bytes of an incomplete UTF-8 character
  std::size_t utf8_need_ = 0;    // total length of that character
  std::string paste_;            // the paste being read
  std::size_t paste_match_ = 0;  // how many bytes of the end marker matched so far
  std::vector<ModeReport> mode_reports_;
  unsigned char string_kind_ = 0;  // the byte after ESC that opened the string (']' for OSC)
  std::string string_;             // its body so far
  bool string_overflow_ = false;   // longer than kMaxString: skipped to its terminator
  bool string_esc_ = false;        // an ESC inside the string: ST if a backslash follows
};

}  // namespace orvo::tui
