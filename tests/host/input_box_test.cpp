// The chat input box: editing rules by grapheme, line breaks, recall, paste, and how it looks.
#include <gtest/gtest.h>

#include "host/chat/input_box.hpp"
#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/framework/widgets/static.hpp"

namespace orvo::host {
namespace {

// Applies named operations to a buffer holding `text` with the cursor at the end.
std::string edit(std::string text, std::initializer_list<std::string_view> ops,
                 std::size_t* cursor = nullptr) {
  EditBuffer b;
  b.set_text(std::move(text));
  for (auto op : ops) {
    if (op == "bs") b.backspace();
    if (op == "del") b.delete_forward();
    if (op == "left") b.left();
    if (op == "right") b.right();
    if (op == "home") b.home();
    if (op == "end") b.end();
    if (op == "up") b.up();
    if (op == "down") b.down();
    if (op == "ctrl+u") b.kill_to_line_start();
    if (op == "ctrl+k") b.kill_to_line_end();
    if (op == "ctrl+w") b.delete_word_back();
    if (op == "nl") b.newline();
    if (op.substr(0, 4) == "ins:") b.insert(op.substr(4));
  }
  if (cursor) *cursor = b.cursor();
  return b.text();
}

TEST(EditBuffer, EditsWholeGraphemes) {
  struct Case {
    std::string text;
    std::initializer_list<std::string_view> ops;
    std::string expect;
  };
  const Case cases[] = {
      {"cafe\u0301", {"bs"}, "caf"},                                 // decomposed é goes as one
      {"a\U0001F468\u200D\U0001F469\u200D\U0001F467", {"bs"}, "a"},  // ZWJ family
      {"x\U0001F1E9\U0001F1EA", {"bs"}, "x"},                        // a flag
      {"日本", {"left", "bs"}, "本"},                                // wide CJK
      {"ab", {"home", "del"}, "b"},
      {"cafe\u0301!", {"left", "left", "del"}, "caf!"},
      {"one two  ", {"ctrl+w"}, "one "},
      {"one\ntwo", {"ctrl+u"}, "one\n"},
      {"one\ntwo", {"up", "home", "ctrl+k"}, "\ntwo"},
      {"one\ntwo", {"up", "end", "ctrl+k"}, "onetwo"},  // joins the lines at a line end
      {"", {"bs", "del", "left", "ctrl+w"}, ""},
      {"ab", {"home", "ins:é"}, "éab"},
  };
  for (const Case& c : cases) EXPECT_EQ(edit(c.text, c.ops), c.expect) << c.text;
}

TEST(EditBuffer, UpAndDownKeepTheColumn) {
  std::size_t cursor = 0;
  // From column 5 of "hello world" up to a short line (its end), then down again to column 2.
  edit("ab\nhello world", {"home", "right", "right", "right", "right", "right", "up"}, &cursor);
  EXPECT_EQ(cursor, 2u);
  EXPECT_EQ(edit("ab\nhello", {"up", "down", "ins:_"}), "ab\nhe_llo");
}

TEST(EditBuffer, InsertCleansControlsAndLineBreaks) {
  EXPECT_EQ(edit("", {"ins:a\r\nb\rc\td"}), "a\nb\nc    d");
  EXPECT_EQ(edit("", {"ins:x\x1b[31my\x07z"}), "x[31myz");
  EXPECT_EQ(edit("", {"ins:\xff!"}), "\uFFFD!");
}

// A buffer "ab" with a 6-line paste between a and b, the cursor after the token.
EditBuffer with_paste() {
  EditBuffer b;
  b.set_text("ab");
  b.left();
  b.paste("1\n2\n3\n4\n5\n6");
  return b;
}

TEST(EditBuffer, ALargePasteIsOneToken) {
  constexpr std::string_view kLabel = "[pasted 6 lines]";
  struct Case {
    const char* what;
    std::initializer_list<std::string_view> ops;
    std::string text;      // what the box shows
    std::string expanded;  // what is sent
  };
  const Case cases[] = {
      {"as pasted", {}, "a[pasted 6 lines]b", "a1\n2\n3\n4\n5\n6b"},
      {"backspace removes it whole", {"bs"}, "ab", "ab"},
      {"delete removes it whole", {"left", "del"}, "ab", "ab"},
      {"left steps over it", {"left", "ins:x"}, "ax[pasted 6 lines]b", "ax1\n2\n3\n4\n5\n6b"},
      {"right steps over it",
       {"home", "right", "right", "ins:x"},
       "a[pasted 6 lines]xb",
       "a1\n2\n3\n4\n5\n6xb"},
      {"typing before it moves it",
       {"home", "ins:zz"},
       "zza[pasted 6 lines]b",
       "zza1\n2\n3\n4\n5\n6b"},
      {"ctrl+w takes it alone", {"ctrl+w"}, "ab", "ab"},
      {"ctrl+k from before it", {"left", "ctrl+k"}, "a", "a"},
      {"ctrl+u from after it", {"ctrl+u"}, "b", "b"},
      {"delete before it keeps it", {"home", "del"}, "[pasted 6 lines]b", "1\n2\n3\n4\n5\n6b"},
  };
  for (const Case& c : cases) {
    EditBuffer b = with_paste();
    for (auto op : c.ops) {
      if (op == "bs") b.backspace();
      if (op == "del") b.delete_forward();
      if (op == "left") b.left();
      if (op == "right") b.right();
      if (op == "home") b.home();
      if (op == "ctrl+u") b.kill_to_line_start();
      if (op == "ctrl+k") b.kill_to_line_end();
      if (op == "ctrl+w") b.delete_word_back();
      if (op.substr(0, 4) == "ins:") b.insert(op.substr(4));
    }
    EXPECT_EQ(b.text(), c.text) << c.what;
    EXPECT_EQ(b.expanded(), c.expanded) << c.what;
  }
  EXPECT_EQ(with_paste().text().find(kLabel), 1u);
}

TEST(EditBuffer, TheCursorNeverRestsInsideAToken) {
  // Up and down by column land on the token's nearer end, never in its label.
  EditBuffer b;
  b.set_text("0123456789\n");
  b.paste(std::string(5000, 'x'));
  EXPECT_EQ(b.text(), "0123456789\n[pasted 5,000 characters]");
  b.up();  // column 25 of a 10-column line: its end
  b.home();
  for (int i = 0; i < 3; ++i) b.right();
  b.down();  // column 3 is inside the label: its start is nearer
  b.insert("|");
  EXPECT_EQ(b.text(), "0123456789\n|[pasted 5,000 characters]");
  EXPECT_EQ(b.expanded(), "0123456789\n|" + std::string(5000, 'x'));
}

TEST(EditBuffer, PasteSizesAndLabels) {
  struct Case {
    std::string paste;
    std::string shown;
  };
  const Case cases[] = {
      {"1\n2\n3\n4\n5\n", "1\n2\n3\n4\n5\n"},              // five lines stay text
      {"1\n2\n3\n4\n5\n6\n", "[pasted 6 lines]"},          // six do not
      {"a\r\nb\r\nc\r\nd\r\ne\r\nf", "[pasted 6 lines]"},  // CR LF counted once
      {std::string(4096, 'y'), std::string(4096, 'y')},    // up to the byte limit
      {std::string(4097, 'y'), "[pasted 4,097 characters]"},
      {std::string(2000, '\n'), "[pasted 2,000 lines]"},
  };
  for (const Case& c : cases) {
    EditBuffer b;
    b.paste(c.paste);
    EXPECT_EQ(b.text(), c.shown) << c.paste.size();
  }
  // The paste is cleaned as typed text is.
  EditBuffer b;
  b.paste("a\x1b[31m\n\n\n\n\n\tb");
  EXPECT_EQ(b.expanded(), "a[31m\n\n\n\n\n    b");
}

TEST(PromptHistory, RecallsOlderAndBackToTheDraft) {
  PromptHistory h;
  h.add("first");
  h.add("second");
  h.add("second");  // repeat skipped
  h.add("   ");     // blank skipped
  std::string out;
  ASSERT_TRUE(h.older("draft", out));
  EXPECT_EQ(out, "second");
  ASSERT_TRUE(h.older(out, out));
  EXPECT_EQ(out, "first");
  EXPECT_FALSE(h.older(out, out));
  ASSERT_TRUE(h.newer(out));
  EXPECT_EQ(out, "second");
  ASSERT_TRUE(h.newer(out));
  EXPECT_EQ(out, "draft");
  EXPECT_FALSE(h.newer(out));
}

// The screen without its empty bottom rows.
std::string shot(tui::Pilot& pilot) {
  std::string s = pilot.screenshot();
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

class BoxScreen : public tui::Screen {
 public:
  void compose(tui::ComposeResult& r) override {
    r.yield<tui::Static>("log", "log");
    auto& box = r.yield<InputBox>("input");
    box.set_max_rows(3);
    box.set_placeholder("Ask anything");
    box.on_submit = [this](const std::string& s) { submitted.push_back(s); };
  }
  void on_mount() override { query_one<InputBox>("#input").focus(); }
  std::vector<std::string> submitted;
};

TEST(InputBox, TypesGrowsScrollsAndSubmits) {
  tui::App app;
  auto screen = std::make_unique<BoxScreen>();
  BoxScreen* s = screen.get();
  app.install_screen("main", std::move(screen));
  app.switch_screen("main");
  tui::Pilot pilot(app, {20, 6});
  EXPECT_EQ(shot(pilot), "log\n›  Ask anything");
  pilot.type("hello");
  pilot.press("ctrl+j");
  pilot.type("world");
  EXPECT_EQ(shot(pilot), "log\n› hello\n  world");
  pilot.press({"ctrl+j", "x", "ctrl+j", "y"});  // four lines, three shown: the cursor's
  EXPECT_EQ(shot(pilot), "log\n  world\n  x\n  y");
  pilot.press("enter");
  ASSERT_EQ(s->submitted.size(), 1u);
  EXPECT_EQ(s->submitted[0], "hello\nworld\nx\ny");
  EXPECT_EQ(shot(pilot), "log\n›  Ask anything");
  pilot.press("enter");  // nothing to send
  EXPECT_EQ(s->submitted.size(), 1u);
  pilot.press("up");
  EXPECT_EQ(shot(pilot), "log\n  world\n  x\n  y");
}

TEST(InputBox, LongLinesWrapAndPasteKeepsLineBreaks) {
  tui::App app;
  app.install_screen("main", std::make_unique<BoxScreen>());
  app.switch_screen("main");
  tui::Pilot pilot(app, {12, 6});
  pilot.paste("abcdefghijklmn\r\nxy");
  EXPECT_EQ(shot(pilot), "log\n› abcdefghi\n  jklmn\n  xy");
}

// A large paste is one token on screen, sent in full, and comes back as a token on recall.
TEST(InputBox, ALargePasteShowsAsOneTokenAndIsSentInFull) {
  tui::App app;
  auto screen = std::make_unique<BoxScreen>();
  BoxScreen* s = screen.get();
  app.install_screen("main", std::move(screen));
  app.switch_screen("main");
  tui::Pilot pilot(app, {40, 6});
  std::string big;
  for (int i = 1; i <= 5000; ++i) big += "line " + std::to_string(i) + "\n";
  pilot.type("see ");
  pilot.paste(big);
  pilot.type(" now");
  EXPECT_EQ(shot(pilot), "log\n› see [pasted 5,000 lines] now");
  pilot.press("enter");
  ASSERT_EQ(s->submitted.size(), 1u);
  EXPECT_EQ(s->submitted[0], "see " + big + " now");
  pilot.press("up");
  EXPECT_EQ(shot(pilot), "log\n› see [pasted 5,000 lines] now");
  pilot.press({"ctrl+w", "ctrl+w", "backspace"});
  EXPECT_EQ(shot(pilot), "log\n› see");
  pilot.press("enter");
  EXPECT_EQ(s->submitted.back(), "see");
}

}  // namespace
}  // namespace orvo::host
