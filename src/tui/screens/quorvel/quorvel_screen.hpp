// The start-up screen: pick Fast or Reasoning with one key. The choice is saved and the model
// server is checked before the application switches to its screen named "chat".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/cancel.hpp"
#include "config/config.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/framework/widgets/widget.hpp"

namespace orvo::tui {

// An application that carries the loaded configuration; the mode screen needs one.
class ConfiguredApp : public App {
 public:
  explicit ConfiguredApp(config::Config config) : orvo_config(std::move(config)) {}
  config::Config orvo_config;

  // Takes the look from `[ui] theme`: "dark" and "light" as they say; "auto" starts from the
  // hint of `colorfgbg` (the COLORFGBG variable; dark without one) and asks the terminal for its
  // background when the application starts. Under NO_COLOR nothing is asked: there are no
  // colours to choose.
  void apply_theme_setting(const char* colorfgbg, bool no_color);
};

// "Press 1 or 2 to select mode. No mouse needed."
class QuorvelScreen : public WidgetType<QuorvelScreen, Screen> {
 public:
  static constexpr std::string_view CSS_TYPE = "QuorvelScreen";
  static inline const std::vector<Binding> BINDINGS = {
      Binding("1", "select_fast", "Fast", false),
      Binding("2", "select_reasoning", "Reasoning", false),
      Binding("q", "quit", "Quit", false),
      // As everywhere else in a terminal: these end the program here too.
      Binding("ctrl+c,ctrl+d", "quit", "Quit", false),
  };
  static constexpr std::string_view DEFAULT_CSS =
      "\n    QuorvelScreen {\n        layout: vertical;\n    }\n    #picker-header {\n        "
      "dock: top;\n        height: 1;\n        padding: 0 1;\n        color: $brand;\n        "
      "background: $surface;\n    }\n    #picker-center {\n        height: 1fr;\n        align: "
      "center middle;\n    }\n    #picker-box {\n        width: 52;\n        height: auto;\n      "
      "  padding: 1 2;\n        border: round $brand;\n    }\n    ";
  static constexpr std::string_view MENU =
      "Select a mode:\n\n  [bold]1.[/] Fast — quick answers\n  [bold]2.[/] Reasoning — deep "
      "thinking\n\n[dim]Press 1 or 2 · q to quit[/]";
  static constexpr int kFallbackWidth = 80;
  static constexpr int kLeftCols = 14;
  static constexpr std::string_view kLeftText = "🏠 Kestravel";

  // (ok, details) of the runtime behind a runtime section.
  using HealthCheck = std::function<std::pair<bool, std::string>(const config::RuntimeSection&)>;

  // The same, told to stop through its Canceller (quitting, a new attempt).
  using CancellableHealthCheck =
      std::function<std::pair<bool, std::string>(const config::RuntimeSection&, Canceller&)>;

  // `health_check` defaults to OrvoRuntimeGateway(runtime).healthcheck(). It runs on a thread of
  // its own (the screen says that it is checking, and q still quits); the default one for the
  // builtin runtime, which has nothing to wait for, runs at once. A check still running when the
  // screen quits or is destroyed is cancelled and waited for (up to
  // CancellableTask::kStopLimit), so it never runs on while the process exits under it.
  explicit QuorvelScreen(HealthCheck health_check = {});
  explicit QuorvelScreen(CancellableHealthCheck health_check);
  ~QuorvelScreen() override;

  // The mode is already chosen (on the command line): on mount the server is checked at once,
  // without saving, and the chat opens when it is ready; otherwise the screen shows why.
  void check_at_start() { check_at_start_ = true; }
  // True while a health check runs.
  bool checking() const { return checking_; }

  void compose(ComposeResult& result) override;
  void on_mount() override;
  void on_resize() override { _update_header(); }

  void _update_header();
  void _save();
  void _select_mode(const std::string& mode);
  void action_select_fast() { _select_mode(config::kModeFast); }
  void action_select_reasoning() { _select_mode(config::kModeReasoning); }
  void action_quit();

  // The box text shown when the server is not ready: `details` on one line, cut to 80
  // characters, its markup kept only where it is balanced within itself.
  static std::string not_ready_text(std::string_view details);
  // The box text while the server is checked.
  static std::string checking_text(std::string_view endpoint);

 private:
  struct CheckDone;
  ConfiguredApp& configured_app() const;
  void show_error(std::string_view title, std::string_view details, std::string_view hint);
  void start_check();
  // The box's text; the screen's min_size() follows its height.
  void set_box(std::string markup);
  void fit_min_size();
  void check_done(bool ok, const std::string& details);
  // Back to the menu with nothing kept from earlier attempts (the screen is being left).
  void reset();

  CancellableHealthCheck health_check_;
  CancellableTask check_task_;
  bool default_check_ = false;
  bool check_at_start_ = false;
  bool handler_installed_ = false;
  bool checking_ = false;
  // Each check is numbered; a result that is not the latest one's is dropped.
  std::uint64_t attempt_ = 0;
  // A mode whose saving failed and was reported: picking it again goes on without saving.
  std::optional<std::string> unsaved_mode_;
};

// `details` prepared for a markup box: line breaks become spaces, cut to `max_chars` characters.
std::string one_line_details(std::string_view details, std::size_t max_chars);

// Markup that draws like `markup` parsed on its own: tags balanced within it keep their effect,
// and nothing in it can close or restyle text around it.
std::string contain_markup(std::string_view markup);

}  // namespace orvo::tui
