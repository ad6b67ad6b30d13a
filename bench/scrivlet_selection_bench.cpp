// Selection and thinking blocks in a long conversation: one move of a drag across a full
// 200x60 screen (the view's work and the repaint), and a thinking-block toggle (a full replay)
// with and without the rows the log keeps, and the first replay with every cache cold.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/highlight/highlight.hpp"
#include "tui/framework/markdown/markdown.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/widgets/scrivlet/scrivlet.hpp"

namespace orvo::tui::scrivlet {
namespace {

class ViewApp : public App {
 public:
  ViewApp() {
    auto screen = std::make_unique<Screen>();
    view = &screen->mount_new<Scrivlet>();
    install_screen("main", std::move(screen));
    switch_screen("main");
  }
  Scrivlet* view;
};

std::string slurp(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// 10,000 entries as 2,000 turns: prompt, thinking block, tool call and result, markdown answer
// (8 distinct answers from the shared corpus, so markdown caches stay warm like a real session's).
std::vector<HistoryEntry> history_10k() {
  const std::filesystem::path corpus = KV_CORPUS_DIR;
  std::vector<std::string> answers;
  for (const char* name :
       {"10-flaky-test-1k.md", "11-cmake-link-1k.md", "12-utf8-decode-1k.md", "13-ansi-sgr-1k.md"})
    answers.push_back(slurp(corpus / "md" / name));
  const std::string grep = slurp(corpus / "tool" / "grep-rn.txt");
  std::vector<HistoryEntry> h;
  for (int i = 0; i < 2000; ++i) {
    const std::string n = std::to_string(i);
    h.emplace_back("user", std::vector<std::string>{"Please look at issue " + n});
    h.emplace_back("thinking",
                   std::vector<std::string>{"About " + n + ".\nCheck the code.\nDone."});
    h.emplace_back("tool", std::vector<std::string>{"grep", "-rn flaky src/"});
    h.emplace_back("tool_result", std::vector<std::string>{grep, "false"});
    h.emplace_back("assistant", std::vector<std::string>{answers[i % answers.size()]});
  }
  return h;
}

// One move of a drag that covers the whole visible screen, with its repaint.
void BM_DragMoveFullScreen(benchmark::State& state) {
  ViewApp app;
  Pilot pilot(app, {200, 60});
  Scrivlet& v = *app.view;
  v._history = history_10k();
  v._rerender();
  v.scroll_end(false);
  pilot.wait_idle();
  MouseEvent e;
  e.x = 0;
  e.y = 0;
  v.on_mouse_down(e);
  int step = 0;
  for (auto _ : state) {
    // Alternate between two far corners so every move changes the whole range.
    e.x = step % 2 ? 190 : 180;
    e.y = 59 - (step % 2);
    ++step;
    v.on_mouse_move(e);
    pilot.wait_idle();
  }
  state.counters["rows"] = static_cast<double>(v.lines().size());
}
BENCHMARK(BM_DragMoveFullScreen)->Unit(benchmark::kMicrosecond);

// A thinking-block toggle in the 10,000-entry log.
//   /0  caches warm: the log reuses the rows of every entry but the toggled block (a cache hit).
//   /1  the log's kept rows dropped first, as for the first toggle after a history was loaded
//       without being drawn: every entry is laid out again (markdown caches warm).
void BM_ThinkingToggle10k(benchmark::State& state) {
  const bool drop_rows = state.range(0) != 0;
  ViewApp app;
  Pilot pilot(app, {200, 60});
  Scrivlet& v = *app.view;
  v._history = history_10k();
  v._rerender();
  pilot.wait_idle();
  for (auto _ : state) {
    if (drop_rows) {
      state.PauseTiming();
      v._drop_row_cache();
      state.ResumeTiming();
    }
    const int header = v._thinking_line_map.rbegin()->first;
    v._handle_thinking_click(header);
    pilot.wait_idle();
  }
  state.counters["rows"] = static_cast<double>(v.lines().size());
}
BENCHMARK(BM_ThinkingToggle10k)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The first replay of the 10,000-entry log with every cache cold: no kept rows, no rendered
// markdown, no highlighted code.
void BM_FirstReplay10kCold(benchmark::State& state) {
  ViewApp app;
  Pilot pilot(app, {200, 60});
  Scrivlet& v = *app.view;
  v._history = history_10k();
  pilot.wait_idle();
  for (auto _ : state) {
    state.PauseTiming();
    v._drop_row_cache();
    Markdown::clear_cache();
    clear_highlight_cache();
    state.ResumeTiming();
    v._rerender();
    pilot.wait_idle();
  }
  state.counters["rows"] = static_cast<double>(v.lines().size());
}
BENCHMARK(BM_FirstReplay10kCold)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace orvo::tui::scrivlet

BENCHMARK_MAIN();
