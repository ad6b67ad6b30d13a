// The mode screen from nothing to its first full frame: configuration read, application and screen
// built, laid out and drawn (headless). Target: at most 15 ms, and a small resident set.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "config/config.hpp"
#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/screens/quorvel/quorvel_screen.hpp"

namespace {

using namespace orvo::tui;

void BM_ModeScreenColdStartToFirstFrame(benchmark::State& state) {
  char tmpl[] = "/tmp/kv_quorvel_bench_XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(tmpl);
  for (auto _ : state) {
    orvo::config::LoadOptions options;
    options.path = dir / "config.toml";  // missing: the defaults
    ConfiguredApp app(orvo::config::load_config(options));
    app.install_screen("quorvel", std::make_unique<QuorvelScreen>());
    app.install_screen("chat", std::make_unique<Screen>());
    app.switch_screen("quorvel");
    Pilot pilot(app, {120, 40});  // returns once the first frame is drawn
    benchmark::DoNotOptimize(app.frames());
  }
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  state.counters["max_rss_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ModeScreenColdStartToFirstFrame)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
