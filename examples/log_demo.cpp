// A header and a scrolling log fed by a worker thread through post_message; "q" quits.
//
//   example_log_demo [rows [milliseconds between rows]]
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <thread>

#include "tui/framework/text/text.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/rich_log.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/framework/widgets/static.hpp"

using namespace orvo::tui;

namespace {

// One row for the log, made on the worker thread.
struct LogLine : Message {
  explicit LogLine(std::string t) : text(std::move(t)) {}
  std::string text;
};

class DemoScreen : public Screen {
 public:
  static constexpr std::string_view DEFAULT_CSS =
      "#header { dock: top; height: 1; padding: 0 1; color: #ffffff; background: $primary; }";

  DemoScreen() { declare_css_type("DemoScreen", DEFAULT_CSS); }

  void compose(ComposeResult& r) override {
    r.yield<Static>("[bold]Log demo[/]  q quits · PageUp/PageDown or the wheel scroll", "header");
    RichLogOptions options;
    options.id = "log";
    options.wrap = true;
    options.stay_when_scrolled_up = true;  // reading back while rows keep arriving
    r.yield<RichLog>(options);
  }
};

class DemoApp : public App {
 public:
  DemoApp() {
    install_screen("main", std::make_unique<DemoScreen>());
    switch_screen("main");
    set_bindings({Binding("q", "quit", "Quit", true)});
    on<LogLine>([this](LogLine& m) {
      auto& log = screen().query_one<RichLog>("#log");
      Text row;
      row.append("● ", "#32cd32");
      row.append(m.text);
      log.write(row);
    });
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 500;
  const int pause_ms = argc > 2 ? std::atoi(argv[2]) : 5;
  DemoApp app;
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    for (int i = 0; i < rows && !stop.load(); ++i) {
      app.post_message(
          std::make_shared<LogLine>("row " + std::to_string(i) + ": the worker thread says hello"));
      if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
    if (!stop.load()) app.post_message(std::make_shared<LogLine>("all rows written"));
  });
  int code = 0;
  try {
    code = app.run();
  } catch (const std::exception& e) {
    stop = true;
    worker.join();
    std::cerr << "log_demo: " << e.what() << "\n";
    return 1;
  }
  stop = true;
  worker.join();
  return code;
}
