// Markdown rendering over the answer corpus (md/), at width 72 with truecolor output, as the
// conversation view renders answers. bench/compare_rich.py runs the same work through the
// reference renderer and prints the ratios.
//
//   BM_FirstRenderCorpus      every answer once, caches cleared before each pass (code blocks
//                             repeated between answers are highlighted once per pass)
//   BM_FirstRenderEachAlone   every answer once, caches cleared before each answer
//   BM_RepeatedRenderCorpus   every answer again, caches warm (a replay of the conversation)
//   BM_FirstRenderNoCode      the answers without code blocks, caches cleared
//   BM_Parse                  md4c parse into the block model only
//   BM_LayoutCorpus           rows only (no ANSI), highlighting cached, rows not cached
//   BM_HighlightCode          every distinct code block in a language we highlight, cache cleared
//   BM_FirstRenderDistinct    as BM_FirstRenderCorpus on the corpus with every code block made
//                             distinct (a comment line with the block's index goes in first), so
//                             no block is ever found in the highlighting cache
//   BM_HighlightLanguage/L    the lexer for L on the distinct code of the corpus and of
//                             tests/tui/framework/data/highlight_samples.md, cache cleared
//   BM_Answer/F, BM_AnswerDistinct/F
//                             one answer, caches cleared before every render (registered at
//                             start; compare_rich.py takes the minimum and median ratio)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "corpus_text.hpp"
#include "tui/framework/highlight/highlight.hpp"
#include "tui/framework/markdown/document.hpp"
#include "tui/framework/markdown/markdown.hpp"

namespace {

using namespace orvo::tui;
using orvo::bench::make_distinct;

constexpr int kWidth = 72;

std::string corpus_dir() {
  if (const char* env = std::getenv("KV_CORPUS_DIR"); env != nullptr && *env != '\0') return env;
  const std::string built = KV_CORPUS_DIR;
  std::error_code ec;
  if (std::filesystem::is_directory(built, ec)) return built;
  // A worktree sits one level further down than the main checkout.
  if (auto at = built.find("/../shared/"); at != std::string::npos) {
    return built.substr(0, at) + "/../../shared/" + built.substr(at + 11);
  }
  return built;
}

std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Corpus {
  std::vector<std::string> names;  // file names of `all`
  std::vector<std::string> all;
  std::vector<std::string> distinct;  // `all` with every code block made distinct
  std::vector<std::string> no_code;
  std::vector<std::pair<std::string, std::string>> code_blocks;  // distinct (language, code)
  std::size_t all_bytes = 0;
  std::size_t no_code_bytes = 0;
  std::size_t code_bytes = 0;
};

void collect_code(const md::Block& b, std::set<std::pair<std::string, std::string>>& out) {
  if (b.kind == md::Block::Kind::Code) out.emplace(b.language, b.code);
  for (const auto& child : b.children) collect_code(*child, out);
}

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus c;
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(corpus_dir() + "/md", ec)) {
      if (e.path().extension() == ".md") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    std::set<std::pair<std::string, std::string>> blocks;
    int block_index = 0;
    for (const auto& f : files) {
      std::string text = read_file(f);
      c.names.push_back(f.filename().string());
      c.distinct.push_back(make_distinct(text, block_index));
      const auto doc = md::parse(text);
      std::set<std::pair<std::string, std::string>> mine;
      collect_code(*doc, mine);
      c.all_bytes += text.size();
      if (mine.empty()) {
        c.no_code_bytes += text.size();
        c.no_code.push_back(text);
      }
      blocks.insert(mine.begin(), mine.end());
      c.all.push_back(std::move(text));
    }
    // Only languages with a grammar: the cost per KB of code that is actually highlighted.
    for (const auto& b : blocks) {
      if (language_of(b.first).empty()) continue;
      c.code_bytes += b.second.size();
      c.code_blocks.push_back(b);
    }
    return c;
  }();
  return c;
}

Console make_console() {
  ConsoleOptions o;
  o.width = kWidth;
  o.color_system = ColorSystem::TrueColor;
  o.force_terminal = true;
  o.no_color = false;
  return Console(o);
}

void clear_caches() {
  Markdown::clear_cache();
  clear_highlight_cache();
}

std::size_t render_all(const Console& console, const std::vector<std::string>& texts,
                       bool clear_each) {
  std::size_t out = 0;
  for (const std::string& t : texts) {
    if (clear_each) clear_caches();
    out += console.render(Markdown(t, "monokai"), kWidth).size();
  }
  return out;
}

bool have_corpus(benchmark::State& state) {
  if (corpus().all.empty()) {
    state.SkipWithError(("no markdown corpus in " + corpus_dir()).c_str());
    return false;
  }
  return true;
}

void BM_FirstRenderCorpus(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const Console console = make_console();
  render_all(console, corpus().all, false);  // loads the grammars once
  std::size_t out = 0;
  for (auto _ : state) {
    clear_caches();
    out = render_all(console, corpus().all, false);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus().all_bytes));
  state.counters["output_bytes"] = static_cast<double>(out);
}
BENCHMARK(BM_FirstRenderCorpus)->Unit(benchmark::kMillisecond);

void BM_FirstRenderDistinct(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const Console console = make_console();
  std::size_t bytes = 0;
  for (const std::string& t : corpus().distinct) bytes += t.size();
  for (auto _ : state) {
    clear_caches();
    benchmark::DoNotOptimize(render_all(console, corpus().distinct, false));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_FirstRenderDistinct)->Unit(benchmark::kMillisecond);

void BM_FirstRenderEachAlone(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const Console console = make_console();
  render_all(console, corpus().all, false);
  for (auto _ : state) benchmark::DoNotOptimize(render_all(console, corpus().all, true));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus().all_bytes));
}
BENCHMARK(BM_FirstRenderEachAlone)->Unit(benchmark::kMillisecond);

void BM_RepeatedRenderCorpus(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const Console console = make_console();
  render_all(console, corpus().all, false);
  for (auto _ : state) benchmark::DoNotOptimize(render_all(console, corpus().all, false));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus().all_bytes));
}
BENCHMARK(BM_RepeatedRenderCorpus)->Unit(benchmark::kMillisecond);

void BM_FirstRenderNoCode(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const Console console = make_console();
  for (auto _ : state) {
    clear_caches();
    benchmark::DoNotOptimize(render_all(console, corpus().no_code, false));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus().no_code_bytes));
  state.counters["files"] = static_cast<double>(corpus().no_code.size());
}
BENCHMARK(BM_FirstRenderNoCode)->Unit(benchmark::kMillisecond);

void BM_Parse(benchmark::State& state) {
  if (!have_corpus(state)) return;
  for (auto _ : state) {
    for (const std::string& t : corpus().all) benchmark::DoNotOptimize(md::parse(t));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus().all_bytes));
}
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

void BM_LayoutCorpus(benchmark::State& state) {
  if (!have_corpus(state)) return;
  const Console console = make_console();
  render_all(console, corpus().all, false);
  for (auto _ : state) {
    Markdown::clear_cache();
    for (const std::string& t : corpus().all) {
      benchmark::DoNotOptimize(Markdown(t, "monokai").render_lines(console, kWidth));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus().all_bytes));
}
BENCHMARK(BM_LayoutCorpus)->Unit(benchmark::kMillisecond);

void BM_HighlightCode(benchmark::State& state) {
  if (!have_corpus(state)) return;
  for (const auto& [lang, code] : corpus().code_blocks) highlight_code(code, lang);
  for (auto _ : state) {
    clear_highlight_cache();
    for (const auto& [lang, code] : corpus().code_blocks) {
      benchmark::DoNotOptimize(highlight_code(code, lang));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus().code_bytes));
  state.counters["code_bytes"] = static_cast<double>(corpus().code_bytes);
}
BENCHMARK(BM_HighlightCode)->Unit(benchmark::kMillisecond);

// Distinct code per lexer: the corpus's blocks and our samples of every language.
std::map<std::string, std::vector<std::string>> code_by_lexer() {
  std::set<std::pair<std::string, std::string>> blocks(corpus().code_blocks.begin(),
                                                       corpus().code_blocks.end());
  const std::string samples =
      read_file(std::string(KV_SOURCE_DIR) + "/tests/tui/framework/data/highlight_samples.md");
  collect_code(*md::parse(samples), blocks);
  std::map<std::string, std::vector<std::string>> out;
  for (const auto& [lang, code] : blocks) {
    const std::string_view lexer = language_of(lang);
    if (!lexer.empty()) out[std::string(lexer)].push_back(code);
  }
  return out;
}

void register_dynamic() {
  for (auto& [lexer, codes] : code_by_lexer()) {
    std::size_t bytes = 0;
    for (const std::string& c : codes) bytes += c.size();
    benchmark::RegisterBenchmark(
        ("BM_HighlightLanguage/" + lexer).c_str(),
        [lexer = lexer, codes = codes, bytes](benchmark::State& state) {
          for (auto _ : state) {
            clear_highlight_cache();
            for (const std::string& c : codes) benchmark::DoNotOptimize(highlight_code(c, lexer));
          }
          state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
        })
        ->Unit(benchmark::kMicrosecond);
  }
  const Corpus& c = corpus();
  for (std::size_t i = 0; i < c.all.size(); ++i) {
    for (const bool distinct : {false, true}) {
      const std::string* text = distinct ? &c.distinct[i] : &c.all[i];
      benchmark::RegisterBenchmark(
          ((distinct ? "BM_AnswerDistinct/" : "BM_Answer/") + c.names[i]).c_str(),
          [text](benchmark::State& state) {
            const Console console = make_console();
            for (auto _ : state) {
              clear_caches();
              benchmark::DoNotOptimize(console.render(Markdown(*text, "monokai"), kWidth));
            }
          })
          ->Unit(benchmark::kMicrosecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  register_dynamic();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
