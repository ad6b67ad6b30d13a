#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tui/framework/term/input_parser.hpp"

namespace orvo::tui {
namespace {

// Feeds the bytes, then flushes (as the driver does after the escape timeout), and describes the
// events separated by spaces.
std::string parse(std::string_view bytes, bool flush = true) {
  InputParser p;
  std::vector<InputEvent> events;
  p.feed(bytes, events);
  if (flush) p.flush(events);
  std::string s;
  for (const auto& e : events) s += (s.empty() ? "" : " ") + describe(e);
  return s;
}

struct Case {
  const char* name;
  std::string bytes;
  const char* events;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class ParserTable : public ::testing::TestWithParam<Case> {};

TEST_P(ParserTable, BytesToEvents) {
  const Case& c = GetParam();
  EXPECT_EQ(parse(c.bytes), c.events) << c.name;
  // The same bytes fed one at a time give the same events.
  InputParser p;
  std::vector<InputEvent> events;
  for (const char b : c.bytes) p.feed(std::string_view(&b, 1), events);
  p.flush(events);
  std::string s;
  for (const auto& e : events) s += (s.empty() ? "" : " ") + describe(e);
  EXPECT_EQ(s, c.events) << c.name << " (byte by byte)";
}

using namespace std::string_literals;

const Case kTextAndControls[] = {
    {"letters", "aA1!", "key(a 'a') key(A 'A') key(1 '1') key(! '!')"},
    {"space", " ", "key(space ' ')"},
    {"utf8", "é界😀", "key(é 'é') key(界 '界') key(😀 '😀')"},
    {"enter tab backspace", "\r\t\x7f\x08", "key(enter) key(tab) key(backspace) key(backspace)"},
    {"ctrl letters", "\x01\x1a\x0a", "key(ctrl+a) key(ctrl+z) key(ctrl+j)"},
    {"ctrl space and symbols", "\0\x1c\x1d\x1f"s,
     "key(ctrl+space) key(ctrl+\\) key(ctrl+]) key(ctrl+_)"},
    {"lone escape after timeout", "\x1b", "key(escape)"},
    {"alt letter", "\x1bx\x1bX", "key(alt+x) key(alt+X)"},
    {"alt ctrl letter", "\x1b\x01", "key(ctrl+alt+a)"},
    {"alt enter and backspace", "\x1b\r\x1b\x7f", "key(alt+enter) key(alt+backspace)"},
    {"alt escape", "\x1b\x1b", "key(alt+escape)"},
    {"alt utf8", "\x1b\xc3\xa9", "key(alt+é)"},
    {"alt bracket typed by hand", "\x1b[", "key(alt+[)"},
};
INSTANTIATE_TEST_SUITE_P(Text, ParserTable, ::testing::ValuesIn(kTextAndControls));

const Case kInvalidUtf8[] = {
    {"stray continuation", "\x80z", "key(\xEF\xBF\xBD '\xEF\xBF\xBD') key(z 'z')"},
    {"bad lead", "\xff", "key(\xEF\xBF\xBD '\xEF\xBF\xBD')"},
    {"truncated then ascii", "\xe4\xb8z", "key(\xEF\xBF\xBD '\xEF\xBF\xBD') key(z 'z')"},
    {"truncated at end", "\xe4\xb8", "key(\xEF\xBF\xBD '\xEF\xBF\xBD')"},
    {"surrogate", "\xed\xa0\x80", "key(\xEF\xBF\xBD '\xEF\xBF\xBD')"},
    {"overlong", "\xe0\x80\xaf", "key(\xEF\xBF\xBD '\xEF\xBF\xBD')"},
    {"c1 control types nothing",
     "\xc2\x9b"
     "a",
     "key(a 'a')"},
    {"truncated before escape", "\xe4\x1b[A", "key(\xEF\xBF\xBD '\xEF\xBF\xBD') key(up)"},
};
INSTANTIATE_TEST_SUITE_P(InvalidUtf8, ParserTable, ::testing::ValuesIn(kInvalidUtf8));

const Case kKeys[] = {
    {"arrows csi", "\x1b[A\x1b[B\x1b[C\x1b[D", "key(up) key(down) key(right) key(left)"},
    {"arrows ss3", "\x1bOA\x1bOD", "key(up) key(left)"},
    {"home end", "\x1b[H\x1b[F\x1bOH\x1bOF\x1b[1~\x1b[4~\x1b[7~\x1b[8~",
     "key(home) key(end) key(home) key(end) key(home) key(end) key(home) key(end)"},
    {"insert delete pages", "\x1b[2~\x1b[3~\x1b[5~\x1b[6~",
     "key(insert) key(delete) key(pageup) key(pagedown)"},
    {"shift tab", "\x1b[Z", "key(shift+tab)"},
    {"f1-f4 ss3", "\x1bOP\x1bOQ\x1bOR\x1bOS", "key(f1) key(f2) key(f3) key(f4)"},
    {"f1-f12 csi",
     "\x1b[11~\x1b[12~\x1b[13~\x1b[14~\x1b[15~\x1b[17~\x1b[18~\x1b[19~\x1b[20~\x1b[21~\x1b[23~"
     "\x1b[24~",
     "key(f1) key(f2) key(f3) key(f4) key(f5) key(f6) key(f7) key(f8) key(f9) key(f10) key(f11) "
     "key(f12)"},
    {"linux console f1", "\x1b[[A\x1b[[E", "key(f1) key(f5)"},
    {"modified arrows", "\x1b[1;5A\x1b[1;2B\x1b[1;3C\x1b[1;8D",
     "key(ctrl+up) key(shift+down) key(alt+right) key(ctrl+alt+shift+left)"},
    {"modified tilde keys", "\x1b[5;5~\x1b[3;2~\x1b[15;6~",
     "key(ctrl+pageup) key(shift+delete) key(ctrl+shift+f5)"},
    {"modified f1 csi", "\x1b[1;2P", "key(shift+f1)"},
    {"alt prefix on a sequence", "\x1b\x1b[A", "key(alt+up)"},
    {"keypad enter", "\x1bOM", "key(enter)"},
};
INSTANTIATE_TEST_SUITE_P(Keys, ParserTable, ::testing::ValuesIn(kKeys));

const Case kMouse[] = {
    {"press release", "\x1b[<0;1;1M\x1b[<0;5;3m", "mouse(down left 0,0) mouse(up left 4,2)"},
    {"right and middle", "\x1b[<2;10;20M\x1b[<1;10;20M",
     "mouse(down right 9,19) mouse(down middle 9,19)"},
    {"drag", "\x1b[<32;7;8M", "mouse(move left 6,7)"},
    {"wheel", "\x1b[<64;3;4M\x1b[<65;3;4M", "mouse(scroll_up 2,3) mouse(scroll_down 2,3)"},
    {"modifiers", "\x1b[<20;2;2M\x1b[<8;2;2M",
     "mouse(down left 1,1 ctrl shift) mouse(down left 1,1 alt)"},
    {"big coordinates", "\x1b[<0;300;200M", "mouse(down left 299,199)"},
    {"horizontal wheel dropped", "\x1b[<66;1;1M", ""},
    {"missing field dropped", "\x1b[<0;1M", ""},
    {"legacy press release wheel", "\x1b[M #$\x1b[M#!!\x1b[M`!!\x1b[M@#$",
     "mouse(down left 2,3) mouse(up 0,0) mouse(scroll_up 0,0) mouse(move left 2,3)"},
    {"garbage field dropped", "\x1b[<0;1:;1M", ""},
};
INSTANTIATE_TEST_SUITE_P(Mouse, ParserTable, ::testing::ValuesIn(kMouse));

const Case kPaste[] = {
    {"plain", "\x1b[200~hello\rworld\x1b[201~", "paste(\"hello\\x0dworld\")"},
    {"keys inside are text", "\x1b[200~q\x1b[A\x03\x1b[201~x",
     "paste(\"q\\x1b[A\\x03\") key(x 'x')"},
    {"partial end marker inside", "\x1b[200~a\x1b[201b\x1b[201~", "paste(\"a\\x1b[201b\")"},
    {"escape right before end", "\x1b[200~\x1b\x1b[201~", "paste(\"\\x1b\")"},
    {"invalid utf8 replaced", "\x1b[200~\xff\x1b[201~", "paste(\"\xEF\xBF\xBD\")"},
    {"empty", "\x1b[200~\x1b[201~", "paste(\"\")"},
    {"stray end marker ignored", "\x1b[201~a", "key(a 'a')"},
};
INSTANTIATE_TEST_SUITE_P(Paste, ParserTable, ::testing::ValuesIn(kPaste));

const Case kBroken[] = {
    {"unknown csi final",
     "\x1b[99z"
     "a",
     "key(a 'a')"},
    {"unknown tilde number",
     "\x1b[99~"
     "a",
     "key(a 'a')"},
    {"focus report", "\x1b[I\x1b[O", ""},
    {"csi interrupted by escape", "\x1b[1;5\x1b[B", "key(down)"},
    {"csi interrupted by control", "\x1b[12\r", "key(enter)"},
    {"overlong csi", "\x1b[" + std::string(100, '1') + "~b", "key(b 'b')"},
    {"unknown ss3",
     "\x1bOz"
     "b",
     "key(b 'b')"},
    {"private csi",
     "\x1b[>1;2c"
     "b",
     "key(b 'b')"},
    {"mode report not an event", "\x1b[?2026;2$y", ""},
    {"incomplete csi dropped on flush", "\x1b[1;5", ""},
};
INSTANTIATE_TEST_SUITE_P(Broken, ParserTable, ::testing::ValuesIn(kBroken));

// Terminal strings (answers to queries) are consumed whole; an OSC 11 colour answer is an event.
const Case kStrings[] = {
    {"osc 11 st 4 digits", "\x1b]11;rgb:ffff/ffff/ffff\x1b\\", "color(11 ffff/ffff/ffff)"},
    {"osc 11 bel 2 digits", "\x1b]11;rgb:1e/1e/1e\x07", "color(11 1e1e/1e1e/1e1e)"},
    {"osc 11 one digit", "\x1b]11;rgb:f/0/8\x07", "color(11 ffff/0000/8888)"},
    {"osc 11 three digits", "\x1b]11;rgb:fff/000/800\x07", "color(11 ffff/0000/8008)"},
    {"osc 11 rgba", "\x1b]11;rgba:ffff/0000/0000/8000\x07", "color(11 ffff/0000/0000)"},
    {"osc 11 hash", "\x1b]11;#ff8000\x07", "color(11 ffff/8080/0000)"},
    {"osc 10 answer too", "\x1b]10;rgb:0/0/0\x07", "color(10 0000/0000/0000)"},
    {"text around a reply", "a\x1b]11;rgb:0/0/0\x1b\\b",
     "key(a 'a') color(11 0000/0000/0000) key(b 'b')"},
    {"unreadable colour dropped", "\x1b]11;rgb:zz/00/00\x07x", "key(x 'x')"},
    {"too many channels dropped", "\x1b]11;rgb:0/0/0/0\x07x", "key(x 'x')"},
    {"five digits dropped", "\x1b]11;rgb:fffff/0/0\x07x", "key(x 'x')"},
    {"title osc dropped", "\x1b]0;my title\x07x", "key(x 'x')"},
    {"dcs dropped", "\x1bP1$r0m\x1b\\x", "key(x 'x')"},
    {"apc dropped", "\x1b_Gi=1;OK\x1b\\x", "key(x 'x')"},
    {"pm and sos dropped", "\x1b^pm\x1b\\\x1bXsos\x07x", "key(x 'x')"},
    {"escape inside aborts, next sequence kept", "\x1b]11;rgb:0/0/0\x1b[A", "key(up)"},
    {"cancel aborts", "\x1b]11;rgb:0/0/0\x18x", "key(x 'x')"},
    {"utf-8 inside a string", "\x1b]2;\xe7\x95\x8c\x07x", "key(x 'x')"},
    {"over-long string dropped whole", "\x1b]11;" + std::string(5000, 'f') + "\x07x", "key(x 'x')"},
    {"over-long then a reply", "\x1bP" + std::string(9000, 'a') + "\x1b\\\x1b]11;#fff\x07",
     "color(11 ffff/ffff/ffff)"},
    {"unterminated dropped on flush", "\x1b]11;rgb:0/0/0", ""},
    {"alt+] typed alone", "\x1b]", "key(alt+])"},
    {"alt+P typed alone", "\x1bP", "key(alt+P)"},
    {"device attributes answer", "\x1b[?62;22c", "device-attributes"},
};
INSTANTIATE_TEST_SUITE_P(Strings, ParserTable, ::testing::ValuesIn(kStrings));

TEST(InputParser, ColourReplySplitAtEveryByte) {
  const std::string reply = "q\x1b]11;rgb:ffff/fafa/f0f0\x1b\\w";
  for (std::size_t cut = 0; cut <= reply.size(); ++cut) {
    InputParser p;
    std::vector<InputEvent> events;
    p.feed(std::string_view(reply).substr(0, cut), events);
    p.feed(std::string_view(reply).substr(cut), events);
    std::string s;
    for (const auto& e : events) s += (s.empty() ? "" : " ") + describe(e);
    EXPECT_EQ(s, "key(q 'q') color(11 ffff/fafa/f0f0) key(w 'w')") << "cut at " << cut;
  }
}

TEST(InputParser, StringIsPendingUntilItsTerminator) {
  InputParser p;
  std::vector<InputEvent> events;
  p.feed("\x1b]11;rgb:0/0", events);
  EXPECT_TRUE(p.pending_escape());
  p.feed("/0\x07", events);
  EXPECT_FALSE(p.pending_escape());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<ColorReplyEvent>(events[0]));
}

TEST(InputParser, LoneEscapeWaitsForTimeout) {
  InputParser p;
  std::vector<InputEvent> events;
  p.feed("\x1b", events);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(p.pending_escape());
  // The rest of the sequence arrives before the timeout: one key.
  p.feed("[A", events);
  EXPECT_FALSE(p.pending_escape());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(describe(events[0]), "key(up)");
}

TEST(InputParser, PasteIsNotPendingAndSurvivesFlush) {
  InputParser p;
  std::vector<InputEvent> events;
  p.feed("\x1b[200~abc", events);
  EXPECT_FALSE(p.pending_escape());
  p.flush(events);
  p.feed("def\x1b[201~", events);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(describe(events[0]), "paste(\"abcdef\")");
}

TEST(InputParser, ModeReports) {
  InputParser p;
  std::vector<InputEvent> events;
  p.feed("\x1b[?2026;2$yq", events);
  const auto reports = p.take_mode_reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].mode, 2026);
  EXPECT_EQ(reports[0].value, 2);
  EXPECT_TRUE(p.take_mode_reports().empty());
  ASSERT_EQ(events.size(), 1u);
}

TEST(InputParser, PrintableKeysCarryTheirText) {
  InputParser p;
  std::vector<InputEvent> events;
  p.feed(
      "a\x1b"
      "a\x01",
      events);
  ASSERT_EQ(events.size(), 3u);
  const auto& plain = std::get<KeyEvent>(events[0]);
  const auto& alt = std::get<KeyEvent>(events[1]);
  const auto& ctrl = std::get<KeyEvent>(events[2]);
  EXPECT_TRUE(plain.is_printable());
  EXPECT_EQ(plain.modifiers, kModNone);
  EXPECT_FALSE(alt.is_printable());
  EXPECT_EQ(alt.modifiers, kModAlt);
  EXPECT_FALSE(ctrl.is_printable());
  EXPECT_EQ(ctrl.modifiers, kModCtrl);
}

}  // namespace
}  // namespace orvo::tui

namespace orvo::tui {
namespace {

// Key names are written by the parser and read back by whoever matches keys (bindings, the
// pilot): both sides spell the modifiers from the same table.
TEST(ModifierNames, WhatTheParserWritesReadsBackToItsBits) {
  InputParser p;
  for (int param = 2; param <= 16; ++param) {  // xterm: 1 + shift 1, alt 2, ctrl 4, meta 8
    std::vector<InputEvent> events;
    p.feed("\x1b[1;" + std::to_string(param) + "A", events);
    ASSERT_EQ(events.size(), 1u) << param;
    const auto& k = std::get<KeyEvent>(events[0]);
    std::string_view rest = k.key;
    EXPECT_EQ(take_modifier_prefixes(rest), k.modifiers) << k.key;
    EXPECT_EQ(rest, "up") << k.key;
    EXPECT_EQ(modifier_prefix(k.modifiers) + "up", k.key);
  }
  struct Case {
    std::string_view key;
    std::uint8_t bits;
    std::string_view rest;
  };
  for (const Case& c : {Case{"shift+ctrl+x", kModCtrl | kModShift, "x"},
                        Case{"ctrl+", kModNone, "ctrl+"}, Case{"+", kModNone, "+"},
                        Case{"alt++", kModAlt, "+"}, Case{"control+x", kModNone, "control+x"}}) {
    std::string_view rest = c.key;
    EXPECT_EQ(take_modifier_prefixes(rest), c.bits) << c.key;
    EXPECT_EQ(rest, c.rest) << c.key;
  }
}

}  // namespace
}  // namespace orvo::tui
