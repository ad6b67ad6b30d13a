// Terminal layer costs: painting a full 200x60 screen, the bytes of a one-cell change, and input
// parsing throughput.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "tui/framework/term/frame_diff.hpp"
#include "tui/framework/term/input_parser.hpp"
#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/segment.hpp"

namespace {

using namespace orvo::tui;

// 60 rows of styled text, 200 cells each, as a conversation log would show them: a few styled
// runs per row, some wide characters.
std::vector<Strip> screen_rows(int variant) {
  const Style styles[] = {Style::parse("#5f87ff"),
                          Style::parse("bold"),
                          Style(),
                          Style::parse("#32cd32"),
                          Style::parse("#d72b6b on #2a2a2a"),
                          Style::parse("dim italic")};
  std::vector<Strip> rows;
  for (int y = 0; y < 60; ++y) {
    std::vector<Segment> segs;
    int cells = 0, k = y + variant;
    while (cells < 200) {
      std::string text = (k % 7 == 3) ? "界面文字 " : "word" + std::to_string(k % 10) + " tokens ";
      if (variant & 1) text[0] = '*';
      if (cells + cell_len(text) > 200)
        text = std::string(static_cast<std::size_t>(200 - cells), ' ');
      cells += cell_len(text);
      segs.emplace_back(std::move(text), styles[k % 6]);
      ++k;
    }
    rows.emplace_back(std::move(segs), cells);
  }
  return rows;
}

// Every cell changes each frame: two different screens alternate.
void BM_FullRepaint200x60(benchmark::State& state) {
  const std::vector<Strip> screens[2] = {screen_rows(0), screen_rows(1)};
  FrameDiffer comp({200, 60});
  std::string out;
  int i = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const auto& rows = screens[i++ & 1];
    for (int y = 0; y < 60; ++y) comp.frame().draw_strip(0, y, rows[static_cast<std::size_t>(y)]);
    out.clear();
    comp.render(out);
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes_per_frame"] = static_cast<double>(bytes);
}
BENCHMARK(BM_FullRepaint200x60)->Unit(benchmark::kMillisecond);

// From-scratch paint after invalidate(): clear the screen and write every cell.
void BM_InvalidatedRepaint200x60(benchmark::State& state) {
  const std::vector<Strip> rows = screen_rows(0);
  FrameDiffer comp({200, 60});
  for (int y = 0; y < 60; ++y) comp.frame().draw_strip(0, y, rows[static_cast<std::size_t>(y)]);
  std::string out;
  for (auto _ : state) {
    comp.invalidate();
    out.clear();
    comp.render(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes_per_frame"] = static_cast<double>(out.size());
}
BENCHMARK(BM_InvalidatedRepaint200x60)->Unit(benchmark::kMillisecond);

// One truecolour cell changes on a full styled screen.
void BM_OneCellChange(benchmark::State& state) {
  const std::vector<Strip> rows = screen_rows(0);
  FrameDiffer comp({200, 60});
  for (int y = 0; y < 60; ++y) comp.frame().draw_strip(0, y, rows[static_cast<std::size_t>(y)]);
  comp.render();
  const CellStyle a = to_cell_style(Style::parse("bold #ffffff on #264f78"));
  const CellStyle b = to_cell_style(Style::parse("#5f87ff on #2a2a2a"));
  std::string out;
  int i = 0;
  for (auto _ : state) {
    comp.frame().put(137, 41, (i & 1) ? "x" : "y", 1, (i & 1) ? a : b);
    ++i;
    out.clear();
    comp.render(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_OneCellChange);

// Typical input: typing, arrows, a mouse drag, wheel, a paste.
void BM_ParseInput(benchmark::State& state) {
  std::string input;
  for (int i = 0; i < 200; ++i) {
    input += "hello wörld ";
    input += "\x1b[A\x1b[1;5C\x1b[6~\r";
    input += "\x1b[<0;10;5M\x1b[<32;11;5M\x1b[<32;12;6M\x1b[<0;12;6m\x1b[<65;3;3M";
  }
  input += "\x1b[200~" + std::string(4000, 'p') + "\x1b[201~";
  InputParser parser;
  std::vector<InputEvent> events;
  for (auto _ : state) {
    events.clear();
    parser.feed(input, events);
    benchmark::DoNotOptimize(events.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
  state.counters["events"] = static_cast<double>(events.size());
}
BENCHMARK(BM_ParseInput);

}  // namespace

BENCHMARK_MAIN();
