// Throughput of the styled-text layer on the shared corpus.
//   BM_FromAnsiCorpus      Text::from_ansi on every row of ANSI text: the coloured tool output
//                          (ls, grep, gcc), rows of highlighted-looking text rendered by Strip in
//                          truecolor from the markdown answers; or, when $KV_ANSI_DUMP names a
//                          file (e.g. rendered markdown), exactly the rows of that file.
//   BM_WrapPlainCorpus     textwrap_wrap(paragraph, 72) on each line of corpus/plain/*.
//   BM_TextLayoutCorpus    Text(paragraph).wrap(72) on the same paragraphs.
//   BM_RenderRowsCorpus    Strip::render in truecolor of the from_ansi rows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tui/framework/text/text.hpp"
#include "tui/framework/text/textwrap.hpp"

namespace {

namespace fs = std::filesystem;
using namespace orvo::tui;

fs::path corpus_dir() {
  std::vector<std::string> candidates;
  if (const char* env = std::getenv("KV_CORPUS_DIR")) candidates.emplace_back(env);
  const std::string built = KV_CORPUS_DIR;
  candidates.push_back(built);
  // A worktree one level further down than the main checkout.
  if (auto at = built.find("/../shared/"); at != std::string::npos)
    candidates.push_back(built.substr(0, at) + "/../../shared/" + built.substr(at + 11));
  for (const auto& c : candidates)
    if (fs::is_directory(c)) return c;
  return {};
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos <= s.size()) {
    const std::size_t nl = s.find('\n', pos);
    const std::size_t end = nl == std::string::npos ? s.size() : nl;
    out.push_back(s.substr(pos, end - pos));
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return out;
}

std::vector<fs::path> files(const std::string& sub, const std::string& ext = "") {
  std::vector<fs::path> out;
  const fs::path dir = corpus_dir() / sub;
  if (!fs::is_directory(dir)) return out;
  for (const auto& e : fs::directory_iterator(dir))
    if (ext.empty() || e.path().extension() == ext) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

// Rows styled word by word the way highlighted code and rendered markdown look.
std::vector<std::string> synthetic_rendered_rows() {
  static const Style kStyles[] = {Style("#f8f8f2 on #272822"),
                                  Style("bold #f92672 on #272822"),
                                  Style("#66d9ef on #272822"),
                                  Style("#e6db74 on #272822"),
                                  Style("bold"),
                                  Style("#d72b6b on #2a2a2a")};
  std::vector<std::string> rows;
  for (const auto& f : files("md", ".md")) {
    if (f.filename() == "large-codebase-review.md") continue;
    for (const auto& line : lines_of(read_file(f))) {
      std::vector<Segment> segs;
      segs.emplace_back("  ");
      std::size_t pos = 0, k = 0;
      while (pos < line.size()) {
        std::size_t end = line.find(' ', pos);
        end = end == std::string::npos ? line.size() : end + 1;
        segs.emplace_back(line.substr(pos, end - pos), kStyles[k++ % std::size(kStyles)]);
        pos = end;
      }
      rows.push_back(Strip(std::move(segs)).render(ColorSystem::TrueColor));
    }
  }
  return rows;
}

const std::vector<std::string>& ansi_rows() {
  static const std::vector<std::string> rows = [] {
    std::vector<std::string> out;
    // With a dump given, exactly its rows: the same input a reference run parses.
    if (const char* dump = std::getenv("KV_ANSI_DUMP"); dump != nullptr && *dump != '\0') {
      out = lines_of(read_file(dump));
      return out;
    }
    for (const auto& f : files("tool", ".ansi"))
      for (auto& l : lines_of(read_file(f))) out.push_back(std::move(l));
    for (auto& l : synthetic_rendered_rows()) out.push_back(std::move(l));
    return out;
  }();
  return rows;
}

const std::vector<std::string>& plain_paragraphs() {
  static const std::vector<std::string> paras = [] {
    std::vector<std::string> out;
    for (const auto& f : files("plain"))
      for (auto& l : lines_of(read_file(f))) out.push_back(std::move(l));
    return out;
  }();
  return paras;
}

std::int64_t total_bytes(const std::vector<std::string>& v) {
  std::int64_t n = 0;
  for (const auto& s : v) n += static_cast<std::int64_t>(s.size());
  return n;
}

void BM_FromAnsiCorpus(benchmark::State& state) {
  const auto& rows = ansi_rows();
  if (rows.empty()) return state.SkipWithError("corpus not found");
  for (auto _ : state)
    for (const auto& r : rows) benchmark::DoNotOptimize(Text::from_ansi(r));
  state.SetBytesProcessed(state.iterations() * total_bytes(rows));
  state.counters["rows"] = static_cast<double>(rows.size());
}
BENCHMARK(BM_FromAnsiCorpus);

void BM_WrapPlainCorpus(benchmark::State& state) {
  const auto& paras = plain_paragraphs();
  if (paras.empty()) return state.SkipWithError("corpus not found");
  for (auto _ : state)
    for (const auto& p : paras) benchmark::DoNotOptimize(textwrap_wrap(p, 72));
  state.SetBytesProcessed(state.iterations() * total_bytes(paras));
}
BENCHMARK(BM_WrapPlainCorpus);

void BM_TextLayoutCorpus(benchmark::State& state) {
  const auto& paras = plain_paragraphs();
  if (paras.empty()) return state.SkipWithError("corpus not found");
  for (auto _ : state)
    for (const auto& p : paras) benchmark::DoNotOptimize(Text(p).rich_wrap(72));
  state.SetBytesProcessed(state.iterations() * total_bytes(paras));
}
BENCHMARK(BM_TextLayoutCorpus);

void BM_RenderRowsCorpus(benchmark::State& state) {
  std::vector<Strip> strips;
  for (const auto& r : ansi_rows()) strips.push_back(Text::from_ansi(r).to_strip());
  if (strips.empty()) return state.SkipWithError("corpus not found");
  std::int64_t bytes = 0;
  for (auto _ : state) {
    std::string out;
    for (const auto& s : strips) s.render(ColorSystem::TrueColor, out);
    bytes += static_cast<std::int64_t>(out.size());
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_RenderRowsCorpus);

}  // namespace

BENCHMARK_MAIN();
