#include "tui/screens/quorvel/quorvel_screen.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "common/utf8.hpp"
#include "runtime/gateway.hpp"
#include "tui/framework/text/text.hpp"
#include "tui/framework/widgets/container.hpp"
#include "tui/framework/widgets/static.hpp"

namespace orvo::tui {

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

QuorvelScreen::QuorvelScreen(HealthCheck health_check) : health_check_(std::move(health_check)) {
  register_action("select_fast", [this] { action_select_fast(); });
  register_action("select_reasoning", [this] { action_select_reasoning(); });
  register_action("quit", [this] { action_quit(); });
  if (!health_check_) {
    health_check_ = [](const config::RuntimeSection& runtime) {
      return runtime::OrvoRuntimeGateway(runtime).healthcheck();
    };
  }
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
         "[dim]Press 1 or 2 to retry.[/]";
}

void QuorvelScreen::show_error(std::string_view title, std::string_view details,
                               std::string_view hint) {
  query_one<Static>("#picker-box")
      .update("[bold red]" + std::string(title) + "[/]\n\n[dim]" +
              literal_run(one_line_details(details, 2 * kDetailChars)) + "[/]\n\n" +
              std::string(hint));
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
  bool ok = false;
  std::string details;
  try {
    std::tie(ok, details) = health_check_(a.orvo_config.runtime);
  } catch (const std::exception& e) {
    details = e.what();
  } catch (...) {
    details = "unknown error";
  }
  if (ok) {
    a.switch_screen("chat");
    return;
  }
  query_one<Static>("#picker-box").update(not_ready_text(details));
}

void QuorvelScreen::action_quit() {
  if (App* a = app()) a->exit();
}

}  // namespace orvo::tui
