// The output controller's hot paths: streaming chunks, the noise filter and tool previews.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "output/output_manager.hpp"

namespace {

// Swallows everything: measures our work, not a terminal's.
class NullBuf : public std::streambuf {
 protected:
  int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct NullCout {
  NullBuf buf;
  std::streambuf* old = std::cout.rdbuf(&buf);
  ~NullCout() { std::cout.rdbuf(old); }
};

// Realistic tool output: the corpus log and tool files repeated to `bytes`, with an allocator
// noise line every 500 lines.
std::string tool_output(std::size_t bytes) {
  std::string base;
  for (const char* name : {"app-10k-lines.log", "grep-rn.txt", "gcc-errors.txt", "git-diff.txt"}) {
    std::ifstream in(std::filesystem::path(KV_CORPUS_DIR) / "tool" / name);
    std::stringstream s;
    s << in.rdbuf();
    base += s.str();
  }
  std::string out;
  out.reserve(bytes + base.size());
  std::istringstream lines(base);
  std::string line;
  std::size_t n = 0;
  while (out.size() < bytes) {
    if (!std::getline(lines, line)) {
      lines.clear();
      lines.str(base);
      continue;
    }
    out += line;
    out += '\n';
    if (++n % 500 == 0) out += "malloc: MallocStackLogging: can't turn off malloc stack logging\n";
  }
  return out;
}

void BM_Stream(benchmark::State& state) {
  NullCout sink;
  orvo::OutputManager out;
  out.set_event_callback([](const std::string&, orvo::Payload) {});
  out.stream("");
  const std::string chunk(static_cast<std::size_t>(state.range(0)), 'x');
  std::size_t i = 0;
  for (auto _ : state) {
    out.stream(chunk);
    if (++i % 4096 == 0) out.state.content_chunks.clear();  // keep memory flat
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
}
BENCHMARK(BM_Stream)->Arg(16)->Arg(4000);

void BM_FilterNoise(benchmark::State& state) {
  const std::string text = tool_output(static_cast<std::size_t>(state.range(0)) << 20);
  for (auto _ : state) benchmark::DoNotOptimize(orvo::OutputManager::_filter_noise(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_FilterNoise)->Arg(10)->Unit(benchmark::kMillisecond);

void BM_ToolResult(benchmark::State& state) {
  NullCout sink;
  const std::string text = tool_output(static_cast<std::size_t>(state.range(0)) << 20);
  orvo::OutputManager out;
  for (auto _ : state) {
    out.tool_result(text, false, -1);
    out._stop_indicator();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ToolResult)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
