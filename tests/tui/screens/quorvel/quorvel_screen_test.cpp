// label: threaded
#include "tui/screens/quorvel/quorvel_screen.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>

#include "http_server.hpp"
#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/framework/widgets/static.hpp"

namespace fs = std::filesystem;
using namespace orvo::tui;
using orvo::testing::HttpServer;

namespace {

class ChatStub : public Screen {
 public:
  void compose(ComposeResult& r) override { r.yield<Static>("chat screen", "chat"); }
};

struct Fixture {
  explicit Fixture(const std::string& endpoint, std::string file_text = "",
                   QuorvelScreen::HealthCheck check = {})
      : dir(make_dir()), app(load(dir, endpoint, file_text)) {
    auto screen = std::make_unique<QuorvelScreen>(std::move(check));
    quorvel = screen.get();
    app.install_screen("quorvel", std::move(screen));
    app.install_screen("chat", std::make_unique<ChatStub>());
    app.switch_screen("quorvel");
  }
  ~Fixture() {
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, ec);
    fs::remove_all(dir, ec);
  }
  static fs::path make_dir() {
    char tmpl[] = "/tmp/kv_quorvel_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    return tmpl;
  }
  static orvo::config::Config load(const fs::path& dir, const std::string& endpoint,
                                   const std::string& text) {
    if (!text.empty()) std::ofstream(dir / "config.toml") << text;
    orvo::config::LoadOptions o;
    o.path = dir / "config.toml";
    o.endpoint = endpoint;  // as on the command line: used, not saved
    return orvo::config::load_config(o);
  }
  std::string saved() {
    std::ifstream in(dir / "config.toml");
    if (!in) return "<none>";
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path dir;
  ConfiguredApp app;
  QuorvelScreen* quorvel = nullptr;
};

std::string rules(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "─";
  return s;
}

std::string header(Fixture& f) {
  return f.app.query_one<Static>("#picker-header").text();
}

// Waits for the health check that a key started (it runs on a thread of its own).
void settle(Pilot& pilot, Fixture& f) {
  ASSERT_TRUE(pilot.wait_until([&] { return !f.quorvel->checking(); }));
  pilot.wait_idle();
}

// A health check that waits until the test lets it answer.
struct HeldCheck {
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<std::pair<bool, std::string>> answer;
    int calls = 0;
  };
  std::shared_ptr<State> state = std::make_shared<State>();
  QuorvelScreen::HealthCheck check() const {
    return [s = state](const orvo::config::RuntimeSection&) {
      std::unique_lock lock(s->mutex);
      ++s->calls;
      s->cv.wait(lock, [&] { return s->answer.has_value(); });
      auto a = *s->answer;
      s->answer.reset();
      return a;
    };
  }
  void answer(bool ok, std::string details) {
    std::lock_guard lock(state->mutex);
    state->answer.emplace(ok, std::move(details));
    state->cv.notify_all();
  }
};

const std::string kMenuBox =
    "    ╭──────────────────────────────────────────────────╮\n"
    "    │                                                  │\n"
    "    │  Select a mode:                                  │\n"
    "    │                                                  │\n"
    "    │    1. Fast — quick answers                       │\n"
    "    │    2. Reasoning — deep thinking                  │\n"
    "    │                                                  │\n"
    "    │  Press 1 or 2 · q to quit                        │\n"
    "    │                                                  │\n"
    "    ╰──────────────────────────────────────────────────╯\n";

TEST(QuorvelScreen, ChoosingAtStart) {
  Fixture f("builtin");
  Pilot pilot(f.app, {60, 16});
  EXPECT_EQ(pilot.screenshot(), " 🏠 Kestravel " + rules(44) + "\n\n\n" + kMenuBox + "\n\n");
  // The bindings stay out of any key legend.
  for (const Binding& b : f.quorvel->bindings()) EXPECT_FALSE(b.show) << b.key;
}

// The mode screen in each look: the screen's background, the box's border and the header's text.
TEST(QuorvelScreen, DrawsTheLookOfTheThemeSetting) {
  struct Case {
    const char* setting;
    const char* background;
    const char* border;
  };
  for (const Case& c : {Case{"dark", "#121212", "#5f87ff"}, Case{"light", "#ffffff", "#0969da"}}) {
    Fixture f("builtin", std::string("[ui]\ntheme = \"") + c.setting + "\"\n");
    f.app.apply_theme_setting(nullptr, false);
    Pilot pilot(f.app, {60, 16});
    pilot.driver().with_terminal([&](const VirtualTerminal& t) {
      EXPECT_EQ(t.screen().at(0, 8).style.bg, Color::parse(c.background)) << c.setting;
      // Row 3 is the box's top border; the header's text is drawn in the same colour.
      EXPECT_EQ(t.screen().at(4, 3).text, "╭") << c.setting;
      EXPECT_EQ(t.screen().at(4, 3).style.fg, Color::parse(c.border)) << c.setting;
      EXPECT_EQ(t.screen().at(3, 0).style.fg, Color::parse(c.border)) << c.setting;
    });
  }
}

TEST(QuorvelScreen, HeaderFollowsTheWidth) {
  const std::string left = "🏠 Kestravel ";
  Fixture f("builtin");
  {
    Pilot pilot(f.app, {100, 12});
    EXPECT_EQ(header(f), left + rules(84));
    EXPECT_EQ(pilot.screenshot().substr(0, pilot.screenshot().find('\n')), " " + left + rules(84));
    const std::pair<int, std::string> cases[] = {{40, left + rules(24)},
                                                 {17, left + rules(1)},
                                                 {16, left},
                                                 {10, left},
                                                 {100, left + rules(84)}};
    for (const auto& [width, expected] : cases) {
      pilot.resize(width, 12);
      EXPECT_EQ(header(f), expected) << width;
    }
  }
  // Without a readable width (the application stopped): 80 columns.
  f.quorvel->_update_header();
  EXPECT_EQ(header(f), left + rules(64));
}

TEST(QuorvelScreen, FastWithTheBuiltinRuntimeSavesAndOpensTheChat) {
  Fixture f("builtin");
  Pilot pilot(f.app, {60, 16});
  pilot.press("1");
  EXPECT_EQ(pilot.screenshot(), "chat screen" + std::string(15, '\n'));
  EXPECT_EQ(f.saved(), "[runtime]\nlaptop_26b_runtime_mode = 'turbo'\n");
}

TEST(QuorvelScreen, ServerDownShowsWhyAndRetriesWithEitherKey) {
  const std::string url = "http://127.0.0.1:" + std::to_string(HttpServer::closed_port()) + "/v1";
  Fixture f(url, "# mine\n[runtime]\nlaptop_26b_runtime_mode = 'turbo'\nkeep = 1\n");
  Pilot pilot(f.app, {60, 16});
  pilot.press("2");
  settle(pilot, f);
  // Saved before the server was asked.
  EXPECT_EQ(f.saved(), "[runtime]\nkeep = 1\nlaptop_26b_runtime_mode = 'turbo-think'\n");
  ASSERT_LE(url.size() + 7, 46u);
  EXPECT_EQ(pilot.screenshot(), " 🏠 Kestravel " + rules(44) +
                                    "\n"
                                    "\n"
                                    "\n"
                                    "    ╭──────────────────────────────────────────────────╮\n"
                                    "    │                                                  │\n"
                                    "    │  Server not ready                                │\n"
                                    "    │                                                  │\n"
                                    "    │  connection refused:                             │\n"
                                    "    │  " +
                                    url + "/models" + std::string(48 - url.size() - 7, ' ') +
                                    "│\n"
                                    "    │                                                  │\n"
                                    "    │  The server may still be starting up.            │\n"
                                    "    │  Press 1 or 2 to retry, q to quit.               │\n"
                                    "    │                                                  │\n"
                                    "    ╰──────────────────────────────────────────────────╯\n"
                                    "\n");
  // A retry may switch the mode: saved again, still down.
  pilot.press("1");
  settle(pilot, f);
  EXPECT_EQ(f.saved(), "[runtime]\nkeep = 1\nlaptop_26b_runtime_mode = 'turbo'\n");
  EXPECT_NE(pilot.screenshot().find("Server not ready"), std::string::npos);
  // The server comes up: the next press opens the chat.
  HttpServer server({200, "OK", R"({"data":[{"id":"m"}]})"});
  f.app.orvo_config.runtime.endpoint = server.url();
  pilot.press("2");
  settle(pilot, f);
  EXPECT_EQ(pilot.screenshot().substr(0, 11), "chat screen");
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(QuorvelScreen, QuitSavesNothing) {
  // q, and the keys that end a program anywhere else in a terminal.
  for (const char* key : {"q", "ctrl+c", "ctrl+d"}) {
    Fixture f("builtin");
    Pilot pilot(f.app, {60, 16});
    pilot.press(key);
    EXPECT_TRUE(pilot.exited()) << key;
    EXPECT_EQ(f.saved(), "<none>") << key;
  }
}

TEST(QuorvelScreen, SaysThatItIsCheckingAndStillQuits) {
  const std::string checking_box =
      "    ╭──────────────────────────────────────────────────╮\n"
      "    │                                                  │\n"
      "    │  Checking the server…                            │\n"
      "    │                                                  │\n"
      "    │  http://slow.invalid/v1                          │\n"
      "    │                                                  │\n"
      "    │  q quits                                         │\n"
      "    │                                                  │\n"
      "    ╰──────────────────────────────────────────────────╯\n";
  HeldCheck held;
  {
    Fixture f("http://slow.invalid/v1", "", held.check());
    Pilot pilot(f.app, {60, 14});
    pilot.press("1");
    EXPECT_EQ(pilot.screenshot(), " 🏠 Kestravel " + rules(44) + "\n\n\n" + checking_box + "\n");
    EXPECT_TRUE(f.quorvel->checking());
    // The check has not answered, and the screen still takes keys.
    pilot.press("q");
    EXPECT_TRUE(pilot.exited());
    held.answer(true, "late");
  }
  {
    Fixture f("http://slow.invalid/v1", "", held.check());
    Pilot pilot(f.app, {60, 14});
    pilot.press("2");
    ASSERT_TRUE(
        pilot.wait_until([&] { return pilot.screenshot().find("Checking") != std::string::npos; }));
    held.answer(true, "ready");
    settle(pilot, f);
    EXPECT_EQ(pilot.screenshot().substr(0, 11), "chat screen");
  }
}

// Quitting while the real health check waits inside the HTTP library for a server that holds its
// answer: the transfer is cancelled and its thread joined, within moments, not at the check's
// 30 s deadline (nor left running while the process exits).
TEST(QuorvelScreen, QuitDuringAHeldCheckReturnsQuickly) {
  HttpServer server(
      HttpServer::Answer{200, "OK", R"({"data":[{"id":"m"}]})", std::chrono::seconds(60)});
  const auto started = std::chrono::steady_clock::now();
  {
    Fixture f(server.endpoint(), "[runtime]\nhealthcheck_timeout = 30.0\n");
    Pilot pilot(f.app, {60, 14});
    pilot.press("1");
    ASSERT_TRUE(server.wait_for_requests(1, std::chrono::seconds(10)));
    EXPECT_TRUE(f.quorvel->checking());
    pilot.press("q");
    EXPECT_TRUE(pilot.exited());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(QuorvelScreen, ComingBackShowsTheMenuAfresh) {
  // A failed attempt, then a good one: back on the screen (/mode), the error is gone.
  int calls = 0;
  Fixture f("http://x.invalid/v1", "",
            [&](const orvo::config::RuntimeSection&) -> std::pair<bool, std::string> {
              return {++calls > 1, "connection refused"};
            });
  Pilot pilot(f.app, {60, 16});
  pilot.press("1");
  settle(pilot, f);
  EXPECT_NE(pilot.screenshot().find("Server not ready"), std::string::npos);
  pilot.press("1");
  settle(pilot, f);
  EXPECT_EQ(pilot.screenshot().substr(0, 11), "chat screen");
  f.app.switch_screen("quorvel");
  pilot.wait_idle();
  EXPECT_EQ(pilot.screenshot(), " 🏠 Kestravel " + rules(44) + "\n\n\n" + kMenuBox + "\n\n");
}

TEST(QuorvelScreen, ComingBackForgetsAModeThatWasNotSaved) {
  Fixture f("builtin");
  std::ofstream(f.dir / "sub") << "x";
  f.app.orvo_config.path = f.dir / "sub" / "config.toml";
  Pilot pilot(f.app, {60, 16});
  pilot.press({"2", "2"});
  EXPECT_EQ(pilot.screenshot().substr(0, 11), "chat screen");
  f.app.switch_screen("quorvel");
  pilot.wait_idle();
  // The settings still cannot be saved: the next attempt says so again instead of going on.
  pilot.press("2");
  EXPECT_NE(pilot.screenshot().find("Settings not saved"), std::string::npos) << pilot.screenshot();
}

TEST(QuorvelScreen, ModeFromTheCommandLineChecksAtOnceWithoutSaving) {
  {
    Fixture f("http://x.invalid/v1", "", [](const orvo::config::RuntimeSection&) {
      return std::make_pair(false, std::string("connection refused"));
    });
    f.quorvel->check_at_start();
    Pilot pilot(f.app, {60, 16});
    settle(pilot, f);
    EXPECT_NE(pilot.screenshot().find("Server not ready"), std::string::npos) << pilot.screenshot();
    EXPECT_NE(pilot.screenshot().find("connection refused"), std::string::npos);
    EXPECT_EQ(f.saved(), "<none>");
  }
  {
    Fixture f("builtin");
    f.quorvel->check_at_start();
    Pilot pilot(f.app, {60, 16});
    ASSERT_TRUE(
        pilot.wait_until([&] { return pilot.screenshot().substr(0, 11) == "chat screen"; }));
    EXPECT_EQ(f.saved(), "<none>");
  }
}

TEST(QuorvelScreen, TooSmallATerminalSaysSo) {
  Fixture f("builtin");
  Pilot pilot(f.app, {40, 10});
  EXPECT_EQ(pilot.screenshot(), "\n\n\n\n\n       terminal too small (40×10)\n\n\n\n");
  // Keys still work; a larger terminal shows the menu again.
  pilot.resize(60, 14);
  EXPECT_EQ(pilot.screenshot(), " 🏠 Kestravel " + rules(44) + "\n\n" + kMenuBox + "\n");
}

// A 404 said "may still be starting up" under a reason that asks for another address.
TEST(QuorvelScreen, NotReadyTextHintsAtWaitingOnlyWhenWaitingHelps) {
  const std::pair<std::string, bool> cases[] = {
      {"HTTP 503: Loading model", true},
      {"connection refused: http://127.0.0.1:8080/v1/models", true},
      {"HTTP 404: the endpoint is probably missing /v1 (try http://h:8080/v1)", false},
      {"not ready: the server lists no models at http://h/v1/models", false},
      {"not ready: the server does not list the model \"qwen\"; it offers \"llama3\"", false},
  };
  for (const auto& [details, hint] : cases) {
    SCOPED_TRACE(details);
    const std::string text = QuorvelScreen::not_ready_text(details);
    EXPECT_EQ(text.find("may still be starting up") != std::string::npos, hint);
    EXPECT_NE(text.find("Press 1 or 2 to retry, q to quit."), std::string::npos);
  }
}

TEST(QuorvelScreen, NotReadyTextKeepsTheBoxWhole) {
  const std::string head = "[bold red]Server not ready[/]\n\n[dim]";
  const std::string tail =
      "[/]\n\nThe server may still be starting up.\n[dim]Press 1 or 2 to retry, q to quit.[/]";
  const std::pair<std::string, std::string> cases[] = {
      {"two\nlines\r\nthree", "two lines three"},
      {std::string(100, 'x'), std::string(80, 'x')},
      {"é" + std::string(100, 'y'), "é" + std::string(79, 'y')},
      // Balanced markup of the server keeps its effect, and only inside.
      {"a [bold]b[/] c", "a [bold]b[/] c"},
      // A closing tag cannot end the box's own style; an open one ends with the details.
      {"[/]x", "\\[/]x"},
      {"[/dim]x [red]y", "\\[/dim]x [red]y[/]"},
      {"path\\", "path\\\\"},
      {"[not a style] [", "\\[not a style] \\["},
  };
  for (const auto& [details, inner] : cases)
    EXPECT_EQ(QuorvelScreen::not_ready_text(details), head + inner + tail) << details;
}

TEST(QuorvelScreen, UntrustedDetailsNeverReachTheTerminalRaw) {
  Fixture f("builtin", "", [](const orvo::config::RuntimeSection&) {
    return std::make_pair(false,
                          std::string("\x1b[31mred\x1b]0;title\x07 [/][/][reverse]rev\tx\x9b"));
  });
  Pilot pilot(f.app, {60, 16});
  pilot.press("1");
  settle(pilot, f);
  const std::string ansi = pilot.screenshot_ansi();
  EXPECT_EQ(ansi.find("\x1b[31m"), std::string::npos);
  EXPECT_EQ(ansi.find("\x1b]"), std::string::npos);
  EXPECT_EQ(ansi.find('\x07'), std::string::npos);
  // The details' own open tag ends with them: no reverse video on the rows below.
  const std::string below = ansi.substr(ansi.find("The server may"));
  EXPECT_FALSE(std::regex_search(below, std::regex("\x1b\\[([0-9;]*;)?7[;m]"))) << below;
  const std::string shot = pilot.screenshot();
  EXPECT_NE(shot.find("[/][/]"), std::string::npos) << shot;
  // Every row of the box still has its border.
  EXPECT_NE(shot.find("│  The server may still be starting up.            │"), std::string::npos)
      << shot;
}

TEST(QuorvelScreen, HealthCheckErrorIsShownAndTheScreenStaysUsable) {
  int calls = 0;
  Fixture f("builtin", "",
            [&](const orvo::config::RuntimeSection&) -> std::pair<bool, std::string> {
              if (++calls == 1) throw std::runtime_error("resolver exploded");
              return {true, "ok"};
            });
  Pilot pilot(f.app, {60, 16});
  pilot.press("2");
  settle(pilot, f);
  const std::string shot = pilot.screenshot();
  EXPECT_NE(shot.find("Server not ready"), std::string::npos);
  EXPECT_NE(shot.find("resolver exploded"), std::string::npos);
  pilot.press("2");
  settle(pilot, f);
  EXPECT_EQ(pilot.screenshot().substr(0, 11), "chat screen");
}

TEST(QuorvelScreen, SaveErrorIsShownThenTheSameKeyGoesOn) {
  Fixture f("builtin");
  // A file where the directory should be: no saving, not even for root.
  std::ofstream(f.dir / "sub") << "x";
  f.app.orvo_config.path = f.dir / "sub" / "config.toml";
  Pilot pilot(f.app, {60, 16});
  pilot.press("2");
  std::string shot = pilot.screenshot();
  EXPECT_NE(shot.find("Settings not saved"), std::string::npos) << shot;
  EXPECT_NE(shot.find("Press 2 again to go on"), std::string::npos) << shot;
  EXPECT_EQ(f.app.orvo_config.runtime.laptop_26b_runtime_mode, "turbo-think");
  pilot.press("2");
  EXPECT_EQ(pilot.screenshot().substr(0, 11), "chat screen");
}

TEST(QuorvelScreen, UnknownModeIsReportedAndReplacedOnlyWhenPicked) {
  Fixture f("builtin", "[runtime]\nlaptop_26b_runtime_mode = 'warp[bold]'\n");
  {
    Pilot pilot(f.app, {60, 16});
    const std::string shot = pilot.screenshot();
    EXPECT_NE(shot.find("Unknown mode in the settings:"), std::string::npos) << shot;
    EXPECT_NE(shot.find("\"warp[bold]\""), std::string::npos) << shot;
    EXPECT_EQ(f.saved(), "[runtime]\nlaptop_26b_runtime_mode = 'warp[bold]'\n");
    pilot.press("1");
  }
  EXPECT_EQ(f.saved(), "[runtime]\nlaptop_26b_runtime_mode = 'turbo'\n");
}

}  // namespace
