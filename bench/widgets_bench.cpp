// Widget layer throughput: messages from a worker to the UI thread, and the cost of a frame of
// a RichLog as a function of its length (it must not depend on it).
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "tui/framework/headless/headless_driver.hpp"
#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/text/text.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/rich_log.hpp"
#include "tui/framework/widgets/screen.hpp"

namespace orvo::tui {
namespace {

struct Tick : Message {
  explicit Tick(int n) : n(n) {}
  int n;
};

class BareApp : public App {
 public:
  BareApp() {
    install_screen("main", std::make_unique<Screen>());
    switch_screen("main");
  }
};

// post_message calls per second from one worker thread, counted when delivered on the UI thread.
void BM_PostMessageToUiThread(benchmark::State& state) {
  const int batch = static_cast<int>(state.range(0));
  BareApp app;
  HeadlessDriver driver({80, 24});
  app.start(driver);
  long long delivered = 0;
  app.on<Tick>([&](Tick&) { ++delivered; });
  for (auto _ : state) {
    const long long target = delivered + batch;
    std::thread worker([&] {
      for (int i = 0; i < batch; ++i) app.post_message(std::make_shared<Tick>(i));
    });
    while (delivered < target) app.step(std::chrono::milliseconds(100));
    worker.join();
  }
  app.finish();
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_PostMessageToUiThread)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

class LogApp : public App {
 public:
  LogApp() {
    auto screen = std::make_unique<Screen>();
    RichLogOptions o;
    o.id = "log";
    log = &screen->mount_new<RichLog>(o);
    install_screen("main", std::move(screen));
    switch_screen("main");
  }
  RichLog* log;
};

// One frame of a 200x60 screen showing a RichLog of range(0) rows, scrolled by one row each
// time between the two last positions (so every frame redraws every visible row).
void BM_RichLogFrame(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  LogApp app;
  for (int i = 0; i < rows; ++i) {
    Text t("row " + std::to_string(i) + " ");
    t.append("of the log, with some styled words in it", "bold #5f87ff");
    app.log->write(t, 100);
  }
  Pilot pilot(app, {200, 60});
  // Two positions that both exist in the short log too, so every frame changes every row.
  const int a = rows - 60, b = rows - 61;
  int y = a;
  for (auto _ : state) {
    y = y == a ? b : a;
    app.log->scroll_to(y);
    app.step(std::chrono::milliseconds(0), true);
  }
  state.counters["rows"] = rows;
}
BENCHMARK(BM_RichLogFrame)->Arg(100)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace orvo::tui

BENCHMARK_MAIN();
