// The chat in the light and the dark look: the look comes from [ui] theme or, for "auto", from the
// terminal's answer to the background query, and the log's colours that carry meaning (the
// background, code, added lines, the selection) are drawn in it.
// label: threaded
#include <gtest/gtest.h>

#include "host/chat/chat_app.hpp"
#include "tui/framework/headless/pilot.hpp"

namespace orvo::host {
namespace {

using namespace std::chrono_literals;
using tui::Color;
using tui::ThemeKind;

// Every turn edits a file (a diff result) and answers with inline code and a code block.
class DiffRunner : public agent::TurnRunner {
 public:
  void run_turn(const std::string&, OutputManager& out) override {
    const int idx = out.log_tool("edit_file", "a.txt");
    out.tool_result("--- a/a.txt\n+++ b/a.txt\n@@ -1 +1 @@\n-old line\n+new line\n", false, idx);
    out.stream("Run `make` now.\n\n```\nint code = 1;\n```\n");
    out.done();
  }
  void cancel() override {}
  void set_mode(const std::string&) override {}
};

struct ThemeChat {
  explicit ThemeChat(const std::string& theme, const char* colorfgbg = nullptr,
                     bool no_color = false, std::chrono::milliseconds wait = 10s,
                     std::chrono::milliseconds hold = 10s) {
    config::Config cfg;
    cfg.ui.theme = theme;
    cfg.runtime.laptop_26b_runtime_mode = "turbo-think";  // the status row says "Reasoning"
    app = std::make_unique<KestravelTUI>(cfg, std::make_shared<DiffRunner>());
    app->install_chat();
    app->switch_screen("chat");
    app->apply_theme_setting(colorfgbg, no_color);
    // The answer comes from the test, after the pilot started: it must not miss the wait.
    if (theme == "auto" && !no_color) app->set_detect_theme(true, wait, hold);
    pilot = std::make_unique<tui::Pilot>(*app, tui::Size{60, 24});
  }
  ~ThemeChat() {
    pilot.reset();
    app->shutdown();
  }
  void turn() {
    pilot->type("go");
    pilot->press("enter");
    ASSERT_TRUE(pilot->wait_until([&] { return !app->turn_running(); }, 10s));
    pilot->wait_idle();
  }
  // The cell where `text` starts on the screen (-1, -1 when it is not shown).
  std::pair<int, int> find(const std::string& text) {
    const std::string shot = pilot->screenshot(false);
    int y = 0;
    std::size_t start = 0;
    while (start <= shot.size()) {
      const std::size_t end = std::min(shot.find('\n', start), shot.size());
      const std::string row = shot.substr(start, end - start);
      if (const std::size_t at = row.find(text); at != std::string::npos) {
        int x = 0;  // columns in cells: every character before it here is one cell wide
        for (std::size_t i = 0; i < at; ++i) x += (row[i] & 0xC0) != 0x80;
        return {x, y};
      }
      start = end + 1;
      ++y;
    }
    return {-1, -1};
  }
  tui::CellStyle style_at(int x, int y) {
    return pilot->driver().with_terminal(
        [&](const tui::VirtualTerminal& t) { return t.screen().at(x, y).style; });
  }
  std::unique_ptr<KestravelTUI> app;
  std::unique_ptr<tui::Pilot> pilot;
};

TEST(ChatTheme, EachLookDrawsTheLogInItsColours) {
  struct Case {
    const char* setting;
    const char* surface;    // the log's background
    const char* added;      // an added line of a diff
    const char* code_bg;    // a code block
    const char* inline_bg;  // inline code in an answer
    const char* selection;  // selected text's background
  };
  const Case cases[] = {
      {"dark", "#1e1e1e", "#32cd32", "#272822", "black", "#264f78"},
      {"light", "#f6f8fa", "#1a7f37", "#f6f8fa", "#eff1f3", "#add6ff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    ThemeChat chat(c.setting);
    chat.turn();
    const auto [lx, ly] = chat.find("1 + new line");
    ASSERT_GE(ly, 0) << chat.pilot->screenshot();
    EXPECT_EQ(chat.style_at(lx + 4, ly).fg, Color::parse(c.added));
    EXPECT_EQ(chat.style_at(0, ly).bg, Color::parse(c.surface));
    const auto [cx, cy] = chat.find("int code");
    ASSERT_GE(cy, 0) << chat.pilot->screenshot();
    EXPECT_EQ(chat.style_at(cx, cy).bg, Color::parse(c.code_bg));
    const auto [ix, iy] = chat.find("make");
    ASSERT_GE(iy, 0);
    EXPECT_EQ(chat.style_at(ix, iy).bg, Color::parse(c.inline_bg));
    // Selecting the answer's first words paints them with the selection's background.
    const auto [ax, ay] = chat.find("Run");
    chat.pilot->drag(ax, ay, ax + 6, ay);
    chat.pilot->wait_idle();
    EXPECT_EQ(chat.style_at(ax + 1, ay).bg, Color::parse(c.selection));
  }
}

TEST(ChatTheme, AutoTakesTheTerminalsAnswer) {
  struct Case {
    const char* name;
    const char* colorfgbg;
    const char* answer;  // what the terminal sends back
    ThemeKind theme;
  };
  const Case cases[] = {
      {"white background", nullptr, "\x1b]11;rgb:ffff/ffff/ffff\x1b\\", ThemeKind::light},
      {"black background, bel", nullptr, "\x1b]11;rgb:0000/0000/0000\x07", ThemeKind::dark},
      // A terminal without OSC 11 answers only the device attributes: the hint stands.
      {"no colour answer, light hint", "0;15", "\x1b[?62;22c", ThemeKind::light},
      {"no colour answer, no hint", nullptr, "\x1b[?62;22c", ThemeKind::dark},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ThemeChat chat("auto", c.colorfgbg);
    EXPECT_NE(chat.pilot->driver().written().find("\x1b]11;?\x1b\\"), std::string::npos);
    chat.pilot->send_bytes(c.answer);
    chat.pilot->wait_idle();
    EXPECT_EQ(chat.app->theme(), c.theme);
    EXPECT_FALSE(chat.app->awaiting_background());
    // Nothing of the answer reached the box.
    EXPECT_EQ(chat.app->query_one<InputBox>("#input").text(), "");
    const auto [sx, sy] = chat.find("Reasoning");
    ASSERT_GE(sy, 0) << chat.pilot->screenshot();
    EXPECT_EQ(chat.style_at(sx, sy).fg,
              Color::parse(c.theme == ThemeKind::light ? "#0969da" : "#5f87ff"));
  }
}

TEST(ChatTheme, AnAnswerAfterTheFirstFrameRestylesIt) {
  ThemeChat chat("auto", nullptr, false, 10s, 1ms);
  ASSERT_TRUE(
      chat.pilot->wait_until([&] { return chat.pilot->driver().frames_written() > 0; }, 5s));
  const auto [sx, sy] = chat.find("Reasoning");
  ASSERT_GE(sy, 0) << chat.pilot->screenshot();
  EXPECT_EQ(chat.style_at(sx, sy).fg, Color::parse("#5f87ff"));
  chat.pilot->send_bytes("\x1b]11;rgb:ffff/ffff/ffff\x1b\\");
  chat.pilot->wait_idle();
  EXPECT_EQ(chat.app->theme(), ThemeKind::light);
  EXPECT_EQ(chat.style_at(sx, sy).fg, Color::parse("#0969da"));
}

TEST(ChatTheme, ALateAnswerIsDroppedAndNeverTyped) {
  ThemeChat chat("auto", nullptr, false, 1ms, 1ms);
  // No answer within the wait: the first frame is drawn dark.
  ASSERT_TRUE(chat.pilot->wait_until([&] { return !chat.app->awaiting_background(); }, 5s));
  chat.pilot->wait_idle();
  chat.pilot->send_bytes("\x1b]11;rgb:ffff/ffff/ffff\x1b\\");
  chat.pilot->type("hi");
  EXPECT_EQ(chat.app->theme(), ThemeKind::dark);
  EXPECT_EQ(chat.app->query_one<InputBox>("#input").text(), "hi");
}

TEST(ChatTheme, FixedSettingsAndNoColorAskNothing) {
  struct Case {
    const char* setting;
    bool no_color;
    ThemeKind theme;
  };
  for (const Case& c :
       {Case{"light", false, ThemeKind::light}, Case{"dark", false, ThemeKind::dark},
        Case{"auto", true, ThemeKind::dark}}) {
    SCOPED_TRACE(c.setting);
    ThemeChat chat(c.setting, "0;15", c.no_color);
    EXPECT_EQ(chat.app->theme(), c.theme);
    EXPECT_EQ(chat.pilot->driver().written().find("\x1b]11;?"), std::string::npos);
  }
}

}  // namespace
}  // namespace orvo::host
