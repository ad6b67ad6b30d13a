#include "tui/screens/quorvel/quorvel_screen.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/utf8.hpp"
#include "runtime/gateway.hpp"
#include "tui/framework/term/background.hpp"
#include "tui/framework/text/text.hpp"
#include "tui/framework/widgets/container.hpp"
#include "tui/framework/widgets/static.hpp"

namespace orvo::tui {

void ConfiguredApp::apply_theme_setting(const char* colorfgbg, bool no_color) {
  const std::string& setting = orvo_config.ui.theme;
  set_detect_theme(false);
  if (setting == "light") {
    set_theme(ThemeKind::light);
  } else if (setting == "dark" || no_color) {
    set_theme(ThemeKind::dark);
  } else {
    set_theme(theme_from_colorfgbg(colorfgbg).value_or(ThemeKind::dark));
    set_detect_theme(true);
  }
}

namespace {

constexpr std::size_t kDetailChars = 80;

// A run of literal text for markup: brackets escaped, and backslashes at its end doubled so
// that they cannot escape the tag that follows.
std::string literal_run(std::string_view text) {
  std::string out = escape_markup(text);
  std::size_t trailing = 0;
  while (trailing < out.size() && out[out.size() - 1 - trailing] == '\\') ++trailing;
  out.append(trailing, '\\');
  return out;
}

}  // namespace

std::string one_line_details(std::string_view details, std::size_t max_chars) {
  std::string out;
  out.reserve(details.size());
  for (std::size_t i = 0; i < details.size(); ++i) {
    const char c = details[i];
    if (c == '\r' && i + 1 < details.size() && details[i + 1] == '\n') continue;  // CR LF: one
    out += (c == '\n' || c == '\r') ? ' ' : c;
  }
  return std::string(text::take_chars(out, max_chars));
}

std::string contain_markup(std::string_view markup) {
  const Text t = Text::from_markup(markup);
  const std::string& plain = t.plain();
  std::vector<std::size_t> cuts{0, plain.size()};
  for (const Span& s : t.spans()) {
    cuts.push_back(std::min(s.start, plain.size()));
    cuts.push_back(std::min(s.end, plain.size()));
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::string out;
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    const std::size_t a = cuts[i];
    const std::size_t b = cuts[i + 1];
    Style style = t.style();
    for (const Span& s : t.spans())
      if (s.start <= a && s.end >= b) style += s.style;
    const std::string run = literal_run(std::string_view(plain).substr(a, b - a));
    if (style.empty())
      out += run;
    else
      out += "[" + style.to_string() + "]" + run + "[/]";
  }
  return out;
}

// A health check's result, posted by its thread.
struct QuorvelScreen::CheckDone : Message {
  CheckDone(const QuorvelScreen* s, std::uint64_t n, bool good, std::string why)
      : screen(s), attempt(n), ok(good), details(std::move(why)) {}
  const QuorvelScreen* screen;
  std::uint64_t attempt;
  bool ok;
  std::string details;
};

QuorvelScreen::QuorvelScreen(HealthCheck health_check)
    : QuorvelScreen(health_check
                        ? CancellableHealthCheck([check = std::move(health_check)](
                                                     const config::RuntimeSection& runtime,
                                                     Canceller&) { return check(runtime); })
                        : CancellableHealthCheck()) {}

QuorvelScreen::QuorvelScreen(CancellableHealthCheck health_check)
    : health_check_(std::move(health_check)) {
  register_action("select_fast", [this] { action_select_fast(); });
  register_action("select_reasoning", [this] { action_select_reasoning(); });
  register_action("quit", [this] { action_quit(); });
  if (!health_check_) {
    default_check_ = true;
    health_check_ = [](const config::RuntimeSection& runtime, Canceller& cancel) {
      return runtime::OrvoRuntimeGateway(runtime).healthcheck(&cancel);
    };
  }
}

QuorvelScreen::~QuorvelScreen() {
  check_task_.stop();
}

ConfiguredApp& QuorvelScreen::configured_app() const {
  auto* a = dynamic_cast<ConfiguredApp*>(app());
  if (a == nullptr) throw std::logic_error("QuorvelScreen needs a ConfiguredApp");
  return *a;
}

void QuorvelScreen::compose(ComposeResult& result) {
  result.yield<Static>("", "picker-header");
  auto center = result.open<Container>("picker-center");
  std::string box(MENU);
  // A mode this program does not know stays in the file until the user picks one: say so.
  if (auto* a = dynamic_cast<ConfiguredApp*>(app())) {
    const std::string& mode = a->orvo_config.runtime.laptop_26b_runtime_mode;
    if (!config::is_known_mode(mode))
      box += "\n\n[yellow]Unknown mode in the settings: \"" +
             literal_run(one_line_details(mode, 24)) + "\"[/]";
  }
  result.yield<Static>(box, "picker-box");
}

void QuorvelScreen::on_mount() {
  _update_header();
  fit_min_size();
  if (!handler_installed_ && app() != nullptr) {
    handler_installed_ = true;
    app()->on<CheckDone>([this](CheckDone& m) {
      if (m.screen == this && m.attempt == attempt_) check_done(m.ok, m.details);
    });
  }
  if (check_at_start_ && app() != nullptr) {
    check_at_start_ = false;
    // After the mount has finished: the check may switch screens at once.
    app()->set_timer(std::chrono::milliseconds(0), [this] { start_check(); });
  }
}

void QuorvelScreen::set_box(std::string markup) {
  auto& box = query_one<Static>("#picker-box");
  box.update(std::move(markup));
  fit_min_size();
}

void QuorvelScreen::fit_min_size() {
  // The box (52 columns: its text 46 wide inside padding and border) and the header above it.
  const int text_rows = query_one<Static>("#picker-box").content_height(46);
  set_min_size({54, 1 + text_rows + 4});
}

void QuorvelScreen::_update_header() {
  int width = 0;
  try {
    width = app() != nullptr ? app()->size().width : 0;
  } catch (const std::exception&) {
    width = 0;
  }
  if (width <= 0) width = kFallbackWidth;
  const int usable = width - 2;
  const int remaining = std::max(0, usable - kLeftCols);
  std::string line(kLeftText);
  line += ' ';
  for (int i = 0; i < remaining; ++i) line += "─";
  query_one<Static>("#picker-header").update(line);
}

void QuorvelScreen::_save() {
  config::save_config(configured_app().orvo_config);
}

std::string QuorvelScreen::not_ready_text(std::string_view details) {
  // A wrong address or a missing model is no server still starting up: the details say what to
  // change, and a hint that waiting helps would mislead.
  const bool waiting_helps =
      details.rfind("HTTP 404", 0) != 0 && details.rfind("not ready:", 0) != 0;
  return "[bold red]Server not ready[/]\n\n[dim]" +
         contain_markup(one_line_details(details, kDetailChars)) + "[/]\n\n" +
         (waiting_helps ? "The server may still be starting up.\n" : "") +
         "[dim]Press 1 or 2 to retry, q to quit.[/]";
}

std::string QuorvelScreen::checking_text(std::string_view endpoint) {
  return "[bold]Checking the server…[/]\n\n[dim]" +
         literal_run(one_line_details(endpoint, kDetailChars)) + "[/]\n\n[dim]q quits[/]";
}

void QuorvelScreen::show_error(std::string_view title, std::string_view details,
                               std::string_view hint) {
  set_box("[bold red]" + std::string(title) + "[/]\n\n[dim]" +
          literal_run(one_line_details(details, 2 * kDetailChars)) + "[/]\n\n" + std::string(hint));
}

void QuorvelScreen::_select_mode(const std::string& mode) {
  ConfiguredApp& a = configured_app();
  a.orvo_config.runtime.laptop_26b_runtime_mode = mode;
  // Errors are shown in the box rather than ending the program: the terminal stays usable and
  // the next key press tries again.
  try {
    _save();
    unsaved_mode_.reset();
  } catch (const std::exception& e) {
    if (unsaved_mode_ != mode) {
      unsaved_mode_ = mode;
      show_error("Settings not saved", e.what(),
                 "The mode can still be used for this session.\n[dim]Press " +
                     std::string(mode == config::kModeFast ? "1" : "2") +
                     " again to go on, or q to quit.[/]");
      return;
    }
  }
  start_check();
}

void QuorvelScreen::start_check() {
  ConfiguredApp& a = configured_app();
  const std::uint64_t attempt = ++attempt_;
  const config::RuntimeSection runtime = a.orvo_config.runtime;
  auto run = [check = health_check_, runtime](Canceller& cancel) -> std::pair<bool, std::string> {
    try {
      return check(runtime, cancel);
    } catch (const std::exception& e) {
      return {false, e.what()};
    } catch (...) {
      return {false, "unknown error"};
    }
  };
  // The builtin runtime has nothing to wait for.
  if (default_check_ && runtime::OrvoRuntimeGateway(runtime).is_builtin()) {
    Canceller never;
    const auto [ok, details] = run(never);
    check_done(ok, details);
    return;
  }
  checking_ = true;
  set_box(checking_text(runtime.endpoint));
  // A server that takes its time must not freeze the screen: the check runs on its own thread
  // and posts its result, which only the latest attempt takes (starting one stops the one before).
  // The thread holds nothing of the screen's, so one that ignores its cancel may outlive it.
  check_task_.start([post = a.post_handle(), run = std::move(run), screen = this,
                     attempt](Canceller& cancel) mutable {
    auto [ok, details] = run(cancel);
    if (cancel.cancelled()) return;  // nobody waits for it any more
    post.post_message(std::make_shared<CheckDone>(screen, attempt, ok, std::move(details)));
  });
}

void QuorvelScreen::check_done(bool ok, const std::string& details) {
  checking_ = false;
  if (ok) {
    reset();
    configured_app().switch_screen("chat");
    return;
  }
  set_box(not_ready_text(details));
}

void QuorvelScreen::reset() {
  checking_ = false;
  ++attempt_;
  unsaved_mode_.reset();
  set_box(std::string(MENU));
}

void QuorvelScreen::action_quit() {
  // The check in flight is abandoned: the transfer is cancelled now, not at process exit.
  check_task_.stop();
  checking_ = false;
  if (App* a = app()) a->exit();
}

}  // namespace orvo::tui
