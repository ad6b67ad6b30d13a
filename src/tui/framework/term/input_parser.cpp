#include "tui/framework/term/input_parser.hpp"

#include <array>
#include <charconv>

#include "common/utf8.hpp"
#include "tui/framework/term/background.hpp"

namespace orvo::tui {

namespace {

constexpr unsigned char kEsc = 0x1b;
// A CSI sequence longer than this is no key or mouse report we know; it is skipped.
constexpr std::size_t kMaxSeq = 32;
// Bracketed paste end marker: CSI 201 ~.
constexpr std::string_view kPasteEnd = "\x1b[201~";

// Splits "1;5" into numbers; an empty field is 0. False on anything but digits and ';'.
bool parse_params(std::string_view s, std::array<int, 4>& out, int& count) {
  out.fill(0);
  count = 0;
  if (s.empty()) return true;
  std::size_t start = 0;
  while (true) {
    const std::size_t semi = s.find(';', start);
    const std::string_view field =
        s.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
    if (count == static_cast<int>(out.size())) return false;
    int v = 0;
    if (!field.empty()) {
      auto [p, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
      if (ec != std::errc() || p != field.data() + field.size() || v < 0) return false;
    }
    out[count++] = v;
    if (semi == std::string_view::npos) return true;
    start = semi + 1;
  }
}

// xterm's modifier parameter: 1 + (shift 1, alt 2, ctrl 4, meta 8).
std::uint8_t xterm_mods(int param) {
  if (param <= 1) return kModNone;
  const int bits = param - 1;
  std::uint8_t m = kModNone;
  if (bits & 1) m |= kModShift;
  if (bits & (2 | 8)) m |= kModAlt;
  if (bits & 4) m |= kModCtrl;
  return m;
}

// Keys sent as CSI n ~ (vt220 style).
const char* tilde_key(int n) {
  switch (n) {
    case 1:
      return "home";
    case 2:
      return "insert";
    case 3:
      return "delete";
    case 4:
      return "end";
    case 5:
      return "pageup";
    case 6:
      return "pagedown";
    case 7:
      return "home";
    case 8:
      return "end";
    case 11:
      return "f1";
    case 12:
      return "f2";
    case 13:
      return "f3";
    case 14:
      return "f4";
    case 15:
      return "f5";
    case 17:
      return "f6";
    case 18:
      return "f7";
    case 19:
      return "f8";
    case 20:
      return "f9";
    case 21:
      return "f10";
    case 23:
      return "f11";
    case 24:
      return "f12";
    default:
      return nullptr;
  }
}

// Keys sent as CSI [mods] letter or SS3 letter.
const char* letter_key(unsigned char c) {
  switch (c) {
    case 'A':
      return "up";
    case 'B':
      return "down";
    case 'C':
      return "right";
    case 'D':
      return "left";
    case 'H':
      return "home";
    case 'F':
      return "end";
    case 'P':
      return "f1";
    case 'Q':
      return "f2";
    case 'R':
      return "f3";
    case 'S':
      return "f4";
    default:
      return nullptr;
  }
}

// Text with invalid UTF-8 replaced by U+FFFD.
std::string valid_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t start = pos;
    const char32_t cp = text::decode(s, pos);
    if (cp == text::kReplacement && pos - start == 1)
      text::encode(cp, out);
    else
      out.append(s.substr(start, pos - start));
  }
  return out;
}

}  // namespace

void InputParser::feed(std::string_view bytes, std::vector<InputEvent>& out) {
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    switch (state_) {
      case State::Ground:
        ground_byte(b, out);
        break;
      case State::Esc:
        esc_byte(b, out);
        break;
      case State::Csi:
        csi_byte(b, out);
        break;
      case State::Ss3:
        ss3_byte(b, out);
        break;
      case State::X10:
        x10_byte(b, out);
        break;
      case State::Paste:
        paste_byte(b, out);
        break;
      case State::String:
        string_byte(b, out);
        break;
    }
  }
}

bool InputParser::pending_escape() const {
  return state_ == State::Esc || state_ == State::Csi || state_ == State::Ss3 ||
         state_ == State::X10 || state_ == State::String || utf8_need_ > 0;
}

void InputParser::flush(std::vector<InputEvent>& out) {
  switch (state_) {
    case State::Esc:
      // ESC alone is the Escape key; ESC ESC is Escape with the alt prefix.
      emit_key(out, "escape", alt_ ? kModAlt : kModNone);
      break;
    case State::Csi:
      // "ESC [" with nothing after it was alt+[ typed by hand; anything longer is a broken
      // sequence and is dropped.
      if (seq_.empty()) emit_key(out, "[", kModAlt, "[");
      break;
    case State::Ss3:
      if (seq_.empty()) emit_key(out, "O", kModAlt, "O");
      break;
    case State::X10:
      break;  // a truncated mouse report is dropped
    case State::String:
      // "ESC ]" with nothing after it was alt+] typed by hand (likewise P, _, ^, X); a string
      // that never ended is dropped.
      if (string_.empty() && !string_overflow_ && !string_esc_) {
        const std::string ch(1, static_cast<char>(string_kind_));
        emit_key(out, ch, kModAlt, ch);
      }
      string_.clear();
      string_overflow_ = false;
      string_esc_ = false;
      break;
    case State::Paste:
      return;  // the end marker may still come
    case State::Ground:
      flush_utf8(out);
      return;
  }
  state_ = State::Ground;
  alt_ = false;
  seq_.clear();
  seq_overflow_ = false;
}

std::vector<InputParser::ModeReport> InputParser::take_mode_reports() {
  std::vector<ModeReport> r;
  r.swap(mode_reports_);
  return r;
}

void InputParser::reset() {
  state_ = State::Ground;
  alt_ = false;
  seq_.clear();
  seq_overflow_ = false;
  utf8_.clear();
  utf8_need_ = 0;
  paste_.clear();
  paste_match_ = 0;
  string_.clear();
  string_overflow_ = false;
  string_esc_ = false;
}

void InputParser::emit_key(std::vector<InputEvent>& out, std::string name, std::uint8_t mods,
                           std::string character) {
  if (alt_) mods |= kModAlt;
  alt_ = false;
  KeyEvent k;
  k.modifiers = mods;
  const bool printable = !character.empty();
  if (printable) {
    // A printable key is named by its character; shift is part of the character. With ctrl or
    // alt it types nothing.
    const std::uint8_t named = mods & (kModCtrl | kModAlt);
    k.key = modifier_prefix(named) + name;
    if (named == kModNone) k.character = std::move(character);
  } else {
    k.key = modifier_prefix(mods) + name;
  }
  out.emplace_back(std::move(k));
}

void InputParser::flush_utf8(std::vector<InputEvent>& out) {
  if (utf8_need_ == 0) return;
  utf8_.clear();
  utf8_need_ = 0;
  emit_key(out, "\xEF\xBF\xBD", kModNone, "\xEF\xBF\xBD");
}

void InputParser::ground_byte(unsigned char b, std::vector<InputEvent>& out) {
  if (utf8_need_ > 0) {
    if ((b & 0xC0) == 0x80) {
      utf8_.push_back(static_cast<char>(b));
      if (utf8_.size() < utf8_need_) return;
      std::size_t pos = 0;
      const char32_t cp = text::decode(utf8_, pos);
      std::string ch;
      if (pos == utf8_.size()) {
        ch = std::move(utf8_);
      } else {
        text::encode(text::kReplacement, ch);  // overlong, surrogate or beyond U+10FFFF
      }
      utf8_.clear();
      utf8_need_ = 0;
      if (pos == ch.size() && cp >= 0x80 && cp <= 0x9F) {  // C1 controls type nothing
        alt_ = false;
        return;
      }
      emit_key(out, ch, kModNone, ch);
      return;
    }
    flush_utf8(out);  // truncated character; the byte starts something new
  }
  if (b == kEsc) {
    state_ = State::Esc;
    return;
  }
  if (b < 0x20) {
    switch (b) {
      case 0x00:
        emit_key(out, "space", kModCtrl);
        return;
      case 0x08:
        emit_key(out, "backspace", kModNone);
        return;
      case 0x09:
        emit_key(out, "tab", kModNone);
        return;
      case 0x0d:
        emit_key(out, "enter", kModNone);
        return;
      case 0x1c:
        emit_key(out, "\\", kModCtrl, "\\");
        return;
      case 0x1d:
        emit_key(out, "]", kModCtrl, "]");
        return;
      case 0x1e:
        emit_key(out, "^", kModCtrl, "^");
        return;
      case 0x1f:
        emit_key(out, "_", kModCtrl, "_");
        return;
      default: {
        const char letter = static_cast<char>('a' + b - 1);
        emit_key(out, std::string(1, letter), kModCtrl, std::string(1, letter));
        return;
      }
    }
  }
  if (b == 0x7f) {
    emit_key(out, "backspace", kModNone);
    return;
  }
  if (b == 0x20) {
    emit_key(out, "space", kModNone, " ");
    return;
  }
  if (b < 0x80) {
    const std::string ch(1, static_cast<char>(b));
    emit_key(out, ch, kModNone, ch);
    return;
  }
  std::size_t need = 0;
  if (b >= 0xC2 && b <= 0xDF)
    need = 2;
  else if (b >= 0xE0 && b <= 0xEF)
    need = 3;
  else if (b >= 0xF0 && b <= 0xF4)
    need = 4;
  if (need == 0) {
    emit_key(out, "\xEF\xBF\xBD", kModNone, "\xEF\xBF\xBD");
    return;
  }
  utf8_.assign(1, static_cast<char>(b));
  utf8_need_ = need;
}

void InputParser::esc_byte(unsigned char b, std::vector<InputEvent>& out) {
  switch (b) {
    case '[':
      state_ = State::Csi;
      seq_.clear();
      seq_overflow_ = false;
      return;
    case 'O':
      state_ = State::Ss3;
      seq_.clear();
      return;
    case ']':  // OSC
    case 'P':  // DCS
    case '_':  // APC
    case '^':  // PM
    case 'X':  // SOS
      state_ = State::String;
      string_kind_ = b;
      string_.clear();
      string_overflow_ = false;
      string_esc_ = false;
      return;
    case kEsc:
      if (alt_)
        emit_key(out, "escape", kModAlt);  // ESC ESC ESC: alt+escape, then a new ESC
      else
        alt_ = true;
      return;
    default:
      // ESC before a key is the alt (meta) prefix.
      state_ = State::Ground;
      alt_ = true;
      ground_byte(b, out);
      return;
  }
}

void InputParser::csi_byte(unsigned char b, std::vector<InputEvent>& out) {
  if (b < 0x20 || b > 0x7e) {
    // Not part of a CSI sequence: the sequence is broken. Drop it and start over with this byte.
    state_ = State::Ground;
    alt_ = false;
    seq_.clear();
    seq_overflow_ = false;
    ground_byte(b, out);
    return;
  }
  // Linux console function keys: CSI [ A .. CSI [ E.
  if (b == '[' && seq_.empty()) {
    seq_.push_back('[');
    return;
  }
  if (b >= 0x40) {
    state_ = State::Ground;  // finish_csi may switch to paste
    if (!seq_overflow_) finish_csi(b, out);
    alt_ = false;
    seq_.clear();
    seq_overflow_ = false;
    return;
  }
  if (seq_.size() >= kMaxSeq)
    seq_overflow_ = true;
  else
    seq_.push_back(static_cast<char>(b));
}

void InputParser::finish_csi(unsigned char final_byte, std::vector<InputEvent>& out) {
  std::string_view s = seq_;
  std::array<int, 4> p{};
  int n = 0;

  if (!s.empty() && s[0] == '[') {  // Linux console F1..F5
    if (s.size() == 1 && final_byte >= 'A' && final_byte <= 'E') {
      static constexpr const char* kFn[] = {"f1", "f2", "f3", "f4", "f5"};
      emit_key(out, kFn[final_byte - 'A'], kModNone);
    }
    return;
  }

  if (!s.empty() && s[0] == '<') {  // SGR mouse: CSI < b ; x ; y M (press) or m (release)
    if ((final_byte != 'M' && final_byte != 'm') || !parse_params(s.substr(1), p, n) || n != 3)
      return;
    const int code = p[0];
    MouseEvent m;
    m.x = p[1] > 0 ? p[1] - 1 : 0;
    m.y = p[2] > 0 ? p[2] - 1 : 0;
    if (code & 4) m.modifiers |= kModShift;
    if (code & 8) m.modifiers |= kModAlt;
    if (code & 16) m.modifiers |= kModCtrl;
    const int low = code & 3;
    if (code & 128) return;  // extra buttons 8-11
    if (code & 64) {
      if (final_byte == 'm') return;
      if (low == 0)
        m.kind = MouseKind::ScrollUp;
      else if (low == 1)
        m.kind = MouseKind::ScrollDown;
      else
        return;  // horizontal wheel
    } else {
      static constexpr MouseButton kButtons[] = {MouseButton::Left, MouseButton::Middle,
                                                 MouseButton::Right, MouseButton::None};
      m.button = kButtons[low];
      if (code & 32)
        m.kind = MouseKind::Move;
      else if (final_byte == 'M')
        m.kind = MouseKind::Down;
      else
        m.kind = MouseKind::Up;
      if (m.button == MouseButton::None && m.kind == MouseKind::Down) return;
    }
    alt_ = false;
    out.emplace_back(m);
    return;
  }

  if (!s.empty() && s[0] == '?' && final_byte == 'c') {  // DA1 answer: CSI ? 62 ; 22 c
    alt_ = false;
    out.emplace_back(DeviceAttributesEvent{});
    return;
  }
  if (!s.empty() && s[0] == '?') {  // DECRPM: CSI ? mode ; value $ y
    if (final_byte == 'y' && s.size() >= 2 && s.back() == '$' &&
        parse_params(s.substr(1, s.size() - 2), p, n) && n == 2)
      mode_reports_.push_back(ModeReport{p[0], p[1]});
    return;
  }

  if (!parse_params(s, p, n)) return;  // private markers or intermediates: not a key

  if (final_byte == 'M' && s.empty()) {
    // A legacy mouse report from a terminal without SGR reports: three raw bytes follow.
    state_ = State::X10;
    seq_.clear();
    return;
  }

  if (final_byte == '~') {
    if (n == 0) return;
    if (p[0] == 200 && n == 1) {  // bracketed paste starts
      state_ = State::Paste;
      paste_.clear();
      paste_match_ = 0;
      return;
    }
    const char* name = tilde_key(p[0]);
    if (name) emit_key(out, name, n >= 2 ? xterm_mods(p[1]) : kModNone);
    return;
  }
  if (final_byte == 'Z') {
    emit_key(out, "tab", kModShift | (n >= 2 ? xterm_mods(p[1]) : kModNone));
    return;
  }
  if (const char* name = letter_key(final_byte)) {
    // CSI A or CSI 1 ; mods A. A lone parameter other than 1 is no key we know.
    if (n >= 2 && p[0] != 1) return;
    if (n == 1 && p[0] > 1) return;
    emit_key(out, name, n >= 2 ? xterm_mods(p[1]) : kModNone);
  }
}

void InputParser::ss3_byte(unsigned char b, std::vector<InputEvent>& out) {
  if (b >= '0' && b <= '9' && seq_.size() < 2) {  // some terminals put the modifier here
    seq_.push_back(static_cast<char>(b));
    return;
  }
  state_ = State::Ground;
  std::uint8_t mods = kModNone;
  if (!seq_.empty()) mods = xterm_mods(std::atoi(seq_.c_str()));
  seq_.clear();
  if (b < 0x20 || b > 0x7e) {  // broken: drop it, the byte starts something new
    alt_ = false;
    ground_byte(b, out);
    return;
  }
  if (const char* name = letter_key(b)) {
    emit_key(out, name, mods);
  } else if (b == 'M') {  // keypad Enter in application mode
    emit_key(out, "enter", mods);
  } else {
    alt_ = false;  // unknown: dropped
  }
}

void InputParser::x10_byte(unsigned char b, std::vector<InputEvent>& out) {
  seq_.push_back(static_cast<char>(b));
  if (seq_.size() < 3) return;
  state_ = State::Ground;
  const int code = static_cast<unsigned char>(seq_[0]) - 32;
  const int x = static_cast<unsigned char>(seq_[1]) - 33;
  const int y = static_cast<unsigned char>(seq_[2]) - 33;
  seq_.clear();
  alt_ = false;
  if (code < 0 || x < 0 || y < 0 || (code & 128)) return;
  MouseEvent m;
  m.x = x;
  m.y = y;
  if (code & 4) m.modifiers |= kModShift;
  if (code & 8) m.modifiers |= kModAlt;
  if (code & 16) m.modifiers |= kModCtrl;
  const int low = code & 3;
  if (code & 64) {
    if (low > 1) return;
    m.kind = low == 0 ? MouseKind::ScrollUp : MouseKind::ScrollDown;
  } else if (code & 32) {
    if (low == 3) return;  // motion without a button
    m.kind = MouseKind::Move;
    m.button = static_cast<MouseButton>(low + 1);
  } else if (low == 3) {
    m.kind = MouseKind::Up;  // this encoding does not say which button was released
  } else {
    m.kind = MouseKind::Down;
    m.button = static_cast<MouseButton>(low + 1);
  }
  out.emplace_back(m);
}

void InputParser::paste_byte(unsigned char b, std::vector<InputEvent>& out) {
  if (b == static_cast<unsigned char>(kPasteEnd[paste_match_])) {
    if (++paste_match_ == kPasteEnd.size()) {
      out.emplace_back(PasteEvent{valid_utf8(paste_)});
      paste_.clear();
      paste_match_ = 0;
      state_ = State::Ground;
    }
    return;
  }
  if (paste_match_ > 0) {  // a partial end marker was paste content after all
    if (paste_.size() + paste_match_ <= kMaxPaste) paste_.append(kPasteEnd.substr(0, paste_match_));
    paste_match_ = 0;
    if (b == kEsc) {
      paste_match_ = 1;
      return;
    }
  }
  if (paste_.size() < kMaxPaste) paste_.push_back(static_cast<char>(b));
}

// The 8-bit terminator (0x9C) is not taken: this parser reads UTF-8, where that byte is part of a
// character, and terminals that answer in UTF-8 mode use BEL or ST (ESC backslash).
void InputParser::string_byte(unsigned char b, std::vector<InputEvent>& out) {
  if (string_esc_) {
    string_esc_ = false;
    if (b == '\\') {
      finish_string(out);
      return;
    }
    // ESC and anything else aborts the string; the ESC starts a new sequence.
    alt_ = false;
    string_.clear();
    string_overflow_ = false;
    state_ = State::Esc;
    esc_byte(b, out);
    return;
  }
  if (b == 0x07) {
    finish_string(out);
    return;
  }
  if (b == kEsc) {
    string_esc_ = true;
    return;
  }
  if (b == 0x18 || b == 0x1a) {  // CAN and SUB cancel the string
    state_ = State::Ground;
    alt_ = false;
    string_.clear();
    string_overflow_ = false;
    return;
  }
  if (string_.size() >= kMaxString) {
    string_overflow_ = true;
    string_.clear();
    string_.shrink_to_fit();
  }
  if (!string_overflow_) string_.push_back(static_cast<char>(b));
}

void InputParser::finish_string(std::vector<InputEvent>& out) {
  state_ = State::Ground;
  alt_ = false;
  if (string_kind_ == ']' && !string_overflow_) {
    if (auto color = parse_color_reply(string_)) out.emplace_back(*color);
  }
  string_.clear();
  string_overflow_ = false;
  string_esc_ = false;
}

}  // namespace orvo::tui
