// The conversation view: replaying a long history (what a thinking-block click costs), re-flowing
// it at a new width (a resize), drawing the answer corpus, streaming tokens, a frame of a long log
// against an empty one, and the memory a history and its rows take.
//
//   BM_ReflowOnResize        N entries (a 1,000-entry history repeated, every answer distinct) laid
//                            out again at a new width, 100 and 80 columns in turn: what the
//                            chat's _rerender costs after a resize. all_cold:0 keeps what holds
//                            at any width (parsed markdown, highlighted code, line counts),
//                            all_cold:1 clears every cache first. part:0 lays every entry out in
//                            one go (slicing off), part:1 is what the resize holds the UI thread
//                            for (a log of 500 entries or more lays out the reader's screens
//                            and leaves the rest to slices between frames), part:2 is part:1
//                            plus every slice: the whole work of the sliced re-flow, part:3
//                            the wall time until the application's loop has run every slice
//                            (frames drawn in between)
//   BM_ViewAnswers/0..2      the md/ answers, code blocks made distinct, appended to an empty
//                            view at 80 columns, in stages: /0 markdown alone (render to rows at
//                            72, caches cleared), /1 the view's own work with the markdown as a
//                            cache hit (layout at the log's width, the log's rows, bookkeeping),
//                            /2 both, cold (what `kestravel view` does with them)
//   BM_ViewPlainAnswers      the plain/ answers (no markdown) appended to an empty view: the
//                            wrap stage (paragraphs wrapped at 72, rows into the log)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>

#include "corpus_text.hpp"
#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/highlight/highlight.hpp"
#include "tui/framework/markdown/markdown.hpp"
#include "tui/framework/term/driver.hpp"
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

const std::filesystem::path kCorpus = KV_CORPUS_DIR;

// 1,000 entries as 200 turns: the prompt, a thinking block, a tool call, its result (a diff or
// a preview of real tool output, alternating) and a markdown answer of about 2 KB. Every answer
// is distinct, so the renderer's cache holds 200 of them.
std::vector<HistoryEntry> long_history(int turns = 200) {
  std::vector<std::string> answers;
  for (const char* name : {"10-flaky-test-1k.md", "11-cmake-link-1k.md", "12-utf8-decode-1k.md",
                           "13-ansi-sgr-1k.md", "14-wide-chars-2k.md", "15-sse-stream-2k.md",
                           "16-git-cleanup-2k.md", "17-api-validation-2k.md"})
    answers.push_back(slurp(kCorpus / "md" / name));
  const std::string diff = slurp(kCorpus / "tool" / "git-diff.txt");
  const std::string grep = slurp(kCorpus / "tool" / "grep-rn.txt");
  std::vector<HistoryEntry> h;
  for (int i = 0; i < turns; ++i) {
    const std::string n = std::to_string(i);
    h.emplace_back("user", std::vector<std::string>{"Please look at issue " + n});
    h.emplace_back("thinking",
                   std::vector<std::string>{"The user asks about " + n + ".\nCheck the code."});
    h.emplace_back("tool", std::vector<std::string>{"grep", "-rn flaky src/ --include=*.cpp"});
    h.emplace_back("tool_result", std::vector<std::string>{i % 2 ? diff : grep, "false"});
    h.emplace_back("assistant",
                   std::vector<std::string>{answers[i % answers.size()] + "\n\nAnswer " + n + "."});
  }
  return h;
}

// Every cache warm, the log's kept rows included: nothing changed, so every entry's rows are
// reused.
void BM_ReplayLongHistoryWarm(benchmark::State& state) {
  ViewApp app;
  Pilot pilot(app, {100, 40});
  app.view->_history = long_history();
  app.view->_rerender();  // fills the caches
  for (auto _ : state) app.view->_rerender();
  state.counters["rows"] = static_cast<double>(app.view->lines().size());
}
BENCHMARK(BM_ReplayLongHistoryWarm)->Unit(benchmark::kMillisecond);

// Markdown and highlight caches warm, but no kept rows: every entry is laid out again.
void BM_ReplayLongHistoryRowsDropped(benchmark::State& state) {
  ViewApp app;
  Pilot pilot(app, {100, 40});
  app.view->_history = long_history();
  app.view->_rerender();  // fills the caches
  for (auto _ : state) {
    state.PauseTiming();
    app.view->_drop_row_cache();
    state.ResumeTiming();
    app.view->_rerender();
  }
  state.counters["rows"] = static_cast<double>(app.view->lines().size());
}
BENCHMARK(BM_ReplayLongHistoryRowsDropped)->Unit(benchmark::kMillisecond);

void BM_ReplayLongHistoryCold(benchmark::State& state) {
  ViewApp app;
  Pilot pilot(app, {100, 40});
  app.view->_history = long_history();
  for (auto _ : state) {
    state.PauseTiming();
    Markdown::clear_cache();
    clear_highlight_cache();
    app.view->_drop_row_cache();
    state.ResumeTiming();
    app.view->_rerender();
  }
}
BENCHMARK(BM_ReplayLongHistoryCold)->Unit(benchmark::kMillisecond)->Iterations(5);

void clear_render_caches(Scrivlet& view) {
  Markdown::clear_cache();
  clear_highlight_cache();
  view._drop_row_cache();
}

// range(1) 0: what a resize finds, nothing laid out at the new width (rows, markdown layouts)
// but the width-free work of the earlier drawing kept (parsed documents, highlighted code,
// tool-output line counts); 1: every cache cleared, nothing kept at all.
void BM_ReflowOnResize(benchmark::State& state) {
  ViewApp app;
  Pilot pilot(app, {100, 40});
  app.view->_history = long_history(static_cast<int>(state.range(0) / 5));
  const std::int64_t part = state.range(2);
  if (part == 0) app.view->sliced_reflow_entries = std::numeric_limits<std::size_t>::max();
  app.view->_rerender();
  app.view->finish_reflow();
  const bool all_cold = state.range(1) == 1;
  int width = 100;
  for (auto _ : state) {
    state.PauseTiming();
    width = width == 100 ? 80 : 100;
    pilot.resize(width, 40);
    pilot.wait_idle();
    if (all_cold) {
      clear_render_caches(*app.view);
      app.view->_facts.clear();
    } else {
      Markdown::clear_layout_cache();
      app.view->_drop_row_cache();
    }
    state.ResumeTiming();
    app.view->_rerender();
    if (part == 2) app.view->finish_reflow();
    // The application's own loop runs the slices, frames and all.
    if (part == 3) pilot.wait_until([&] { return !app.view->reflow_pending(); });
    state.PauseTiming();
    app.view->finish_reflow();
    state.ResumeTiming();
  }
  state.counters["rows"] = static_cast<double>(app.view->lines().size());
}
BENCHMARK(BM_ReflowOnResize)
    ->ArgNames({"entries", "all_cold", "part"})
    ->ArgsProduct({{1000, 10000}, {0, 1}, {0}})
    ->ArgsProduct({{1000, 10000}, {0, 1}, {1, 2}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReflowOnResize)
    ->ArgNames({"entries", "all_cold", "part"})
    ->Args({10000, 0, 3})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

std::vector<std::string> corpus_texts(const char* dir, const char* suffix, bool distinct) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(kCorpus / dir, ec))
    if (e.path().extension() == suffix) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> out;
  int block = 0;
  for (const auto& f : files)
    out.push_back(distinct ? orvo::bench::make_distinct(slurp(f), block) : slurp(f));
  return out;
}

std::size_t total_bytes(const std::vector<std::string>& texts) {
  std::size_t n = 0;
  for (const auto& t : texts) n += t.size();
  return n;
}

void BM_ViewAnswers(benchmark::State& state) {
  static const std::vector<std::string> answers = corpus_texts("md", ".md", true);
  if (answers.empty()) {
    state.SkipWithError("no corpus");
    return;
  }
  const int stage = static_cast<int>(state.range(0));
  ViewApp app;
  Pilot pilot(app, {80, 24});
  ConsoleOptions o;
  o.width = 72;
  o.color_system = ColorSystem::TrueColor;
  o.force_terminal = true;
  o.no_color = false;
  const Console console(o);
  for (auto _ : state) {
    state.PauseTiming();
    app.view->clear();
    Markdown::clear_cache();
    clear_highlight_cache();
    if (stage == 1)
      for (const auto& t : answers) console.render_lines(Markdown(t, "monokai"), 72);
    state.ResumeTiming();
    if (stage == 0) {
      for (const auto& t : answers)
        benchmark::DoNotOptimize(console.render_lines(Markdown(t, "monokai"), 72));
    } else {
      for (const auto& t : answers) app.view->append_assistant(t);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes(answers)));
  state.counters["rows"] = static_cast<double>(app.view->lines().size());
}
BENCHMARK(BM_ViewAnswers)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_ViewPlainAnswers(benchmark::State& state) {
  static const std::vector<std::string> answers = corpus_texts("plain", ".txt", false);
  ViewApp app;
  Pilot pilot(app, {80, 24});
  for (auto _ : state) {
    state.PauseTiming();
    app.view->clear();
    state.ResumeTiming();
    for (const auto& t : answers) app.view->append_assistant(t);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes(answers)));
  state.counters["rows"] = static_cast<double>(app.view->lines().size());
}
BENCHMARK(BM_ViewPlainAnswers)->Unit(benchmark::kMillisecond);

// 10,000 tokens of 4 characters (a line break every 20 tokens), per token.
void BM_StreamTokens(benchmark::State& state) {
  ViewApp app;
  Pilot pilot(app, {100, 40});
  std::vector<std::string> tokens;
  for (int i = 0; i < 10000; ++i) tokens.push_back(i % 20 == 19 ? "ok.\n" : "wor ");
  for (auto _ : state) {
    state.PauseTiming();
    app.view->clear();
    state.ResumeTiming();
    for (const auto& t : tokens) app.view->stream_token(t);
    app.view->finish_stream("");
  }
  state.SetItemsProcessed(state.iterations() * 10000);
  state.counters["ns_per_token"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 10000,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StreamTokens)->Unit(benchmark::kMillisecond);

// One frame of the view while streaming: empty log (0) against the replayed long history (1).
void BM_FrameWhileStreaming(benchmark::State& state) {
  ViewApp app;
  Pilot pilot(app, {100, 40});
  if (state.range(0) == 1) {
    app.view->_history = long_history();
    app.view->_rerender();
  }
  pilot.wait_idle();
  for (auto _ : state) {
    app.view->stream_token("wor\n");
    app.step(std::chrono::milliseconds(0), true);
  }
  state.counters["rows"] = static_cast<double>(app.view->lines().size());
}
BENCHMARK(BM_FrameWhileStreaming)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Live markdown: the UI-thread cost of one token at the end of an answer of range(0) bytes, as
// at 200 tokens/s with frames at 60 Hz: a frame is asked for whenever the frame clock ticks
// (every 10/3 tokens), and drawn when something changed (complete lines arrived). The answer so
// far (whole corpus answers, at least that long) is streamed untimed; then a 1.4 KB answer of
// the corpus is streamed on top of it, timed, in 4-byte tokens, with the markdown caches cleared
// first so its blocks are laid out cold. range(1) 1: stream_token and the frames (the total);
// 0: stream_token alone (the live-markdown work, without painting). The cost must not grow with
// the answer.
// What a real run's UI thread does with a frame's bytes: one write to the terminal. They go to
// /dev/null here; parsing them into a virtual terminal is the test harness's cost, not the UI's.
class DevNullDriver final : public Driver {
 public:
  explicit DevNullDriver(Size size) : size_(size), fd_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
  ~DevNullDriver() override {
    if (fd_ >= 0) ::close(fd_);
  }
  void start() override { running_ = true; }
  void stop() override { running_ = false; }
  bool running() const override { return running_; }
  Size size() const override { return size_; }
  void poll(std::optional<std::chrono::milliseconds>, std::vector<InputEvent>&) override {}
  void wake() override {}
  void write_frame(std::string_view bytes) override { write(bytes); }
  void write(std::string_view bytes) override {
    if (bytes.empty()) return;
    written += bytes.size();
    if (fd_ >= 0 && ::write(fd_, bytes.data(), bytes.size()) < 0) written = 0;
  }
  std::size_t written = 0;

 private:
  Size size_;
  int fd_;
  bool running_ = false;
};

// A live answer: `bytes` of markdown already in the log, then a 1 KB answer streamed at 200
// tokens/s with a frame at each 60 Hz tick (frames:1) or none (frames:0). vt:0 sends the frames
// to /dev/null (what the UI thread pays in a real run); vt:1 parses them into the headless
// virtual terminal as well (the test harness's extra cost, for comparison).
void BM_LiveMarkdownPerToken(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const bool frames = state.range(1) == 1;
  const bool vt = state.range(2) == 1;
  std::string prefix;
  std::vector<std::string> docs;
  for (const char* name : {"10-flaky-test-1k.md", "13-ansi-sgr-1k.md", "15-sse-stream-2k.md",
                           "16-git-cleanup-2k.md", "17-api-validation-2k.md"})
    docs.push_back(slurp(kCorpus / "md" / name));
  for (std::size_t i = 0; prefix.size() < size; ++i) prefix += docs[i % docs.size()] + "\n\n";
  prefix += "\n\n";
  const std::string probe = slurp(kCorpus / "md" / "11-cmake-link-1k.md");
  std::vector<std::string> tokens;
  for (std::size_t i = 0; i < probe.size(); i += 4) tokens.push_back(probe.substr(i, 4));
  ViewApp app;
  std::optional<Pilot> pilot;
  DevNullDriver devnull({100, 40});
  if (vt) {
    pilot.emplace(app, Size{100, 40});
  } else {
    app.start(devnull);
    app.step(std::chrono::milliseconds(0), true);
  }
  std::size_t streamed = 0;
  std::size_t drawn = 0;
  constexpr int kTokensPerSecond = 200, kFramesPerSecond = 60;
  for (auto _ : state) {
    state.PauseTiming();
    app.view->finish_stream("");
    app.view->clear();
    for (std::size_t i = 0; i < prefix.size(); i += 4) app.view->stream_token(prefix.substr(i, 4));
    app.step(std::chrono::milliseconds(0), true);
    Markdown::clear_cache();
    clear_highlight_cache();
    const std::uint64_t frames_before = app.frames();
    state.ResumeTiming();
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      app.view->stream_token(tokens[i]);
      // The frame clock ticked between this token and the next.
      if (frames &&
          (i + 1) * kFramesPerSecond / kTokensPerSecond != i * kFramesPerSecond / kTokensPerSecond)
        app.step(std::chrono::milliseconds(0), true);
    }
    state.PauseTiming();
    drawn += app.frames() - frames_before;
    state.ResumeTiming();
    streamed += tokens.size();
  }
  state.counters["us_per_token"] =
      benchmark::Counter(static_cast<double>(streamed) / 1e6,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["frames_per_token"] =
      static_cast<double>(drawn) / static_cast<double>(std::max<std::size_t>(streamed, 1));
  state.counters["rows"] = static_cast<double>(app.view->lines().size());
  if (!vt) {
    state.counters["bytes_per_frame"] =
        static_cast<double>(devnull.written) /
        static_cast<double>(std::max<std::uint64_t>(app.frames(), 1));
    app.finish();
  }
}
BENCHMARK(BM_LiveMarkdownPerToken)
    ->ArgNames({"bytes", "frames", "vt"})
    ->Args({1024, 1, 0})
    ->Args({100 * 1024, 1, 0})
    ->Args({1024, 1, 1})
    ->Args({100 * 1024, 1, 1})
    ->Args({1024, 0, 0})
    ->Args({100 * 1024, 0, 0})
    ->Unit(benchmark::kMillisecond);

std::size_t heap(const std::string& s) {
  return s.capacity() > std::string().capacity() ? s.capacity() + 1 : 0;
}

// Bytes a history entry and a drawn row hold (the object plus its heap blocks), averaged.
void BM_Memory(benchmark::State& state) {
  ViewApp app;
  Pilot pilot(app, {100, 40});
  app.view->_history = long_history();
  app.view->_rerender();
  for (auto _ : state) benchmark::DoNotOptimize(app.view->lines().size());
  std::size_t entries = sizeof(HistoryEntry) * app.view->_history.capacity();
  for (const auto& e : app.view->_history) {
    entries += heap(e.kind()) + e.values().capacity() * sizeof(std::string);
    for (const auto& v : e.values()) entries += heap(v);
  }
  std::size_t rows = sizeof(Strip) * app.view->lines().capacity();
  for (const auto& r : app.view->lines()) {
    rows += r.segments().capacity() * sizeof(Segment);
    for (const auto& s : r.segments()) rows += heap(s.text);
  }
  state.counters["bytes_per_entry"] =
      static_cast<double>(entries) / static_cast<double>(app.view->_history.size());
  state.counters["bytes_per_row"] =
      static_cast<double>(rows) / static_cast<double>(app.view->lines().size());
  state.counters["rows"] = static_cast<double>(app.view->lines().size());
}
BENCHMARK(BM_Memory)->Iterations(1);

}  // namespace
}  // namespace orvo::tui::scrivlet

BENCHMARK_MAIN();
