// Checkpoints of a large project: the one taken before and after every turn must stay cheap.
// A tree of 20,000 small files in nested folders with a .gitignore (and an ignored build folder),
// last changed an hour ago as a project between edits is. Warm: one file changed, after a first
// checkpoint (what each turn costs; the target is under 200 ms). Cold: the first checkpoint of a
// run, every file hashed.
#include <benchmark/benchmark.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "session/checkpoints.hpp"

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 20000;
// The default [sessions] checkpoint_max_mb, so the size check is part of the cold figure.
constexpr std::uint64_t kSizeCap = std::uint64_t{1024} << 20;

struct Tree {
  fs::path root;
  fs::path project;
  Tree() {
    std::string tmpl = (fs::temp_directory_path() / "kv-session-bench-XXXXXX").string();
    root = ::mkdtemp(tmpl.data());
    project = root / "proj";
    // 20 top folders, 25 below each, 40 files in each of those.
    int n = 0;
    for (int a = 0; a < 20 && n < kFiles; ++a) {
      for (int b = 0; b < 25 && n < kFiles; ++b) {
        const fs::path dir = project / ("mod" + std::to_string(a)) / ("part" + std::to_string(b));
        fs::create_directories(dir);
        for (int c = 0; c < 40 && n < kFiles; ++c, ++n) {
          std::ofstream(dir / ("file" + std::to_string(c) + ".cpp"))
              << "// file " << n << "\nint f" << n << "() { return " << n << "; }\n";
        }
      }
    }
    std::ofstream(project / ".gitignore") << "build/\n*.o\n";
    fs::create_directories(project / "build");
    for (int i = 0; i < 500; ++i)
      std::ofstream(project / "build" / (std::to_string(i) + ".o")) << i;
    // Files written a while ago, not in the second the index is written: git trusts their stat
    // data instead of reading them again ("racily clean" entries).
    const timeval old[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    for (const auto& e : fs::recursive_directory_iterator(project))
      if (e.is_regular_file()) ::utimes(e.path().c_str(), old);
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Tree& tree() {
  static Tree t;
  return t;
}

void BM_CheckpointOneFileChanged(benchmark::State& state) {
  Tree& t = tree();
  const fs::path git_dir = t.root / "warm.git";
  orvo::session::Checkpoints cp(git_dir, t.project, kSizeCap);
  if (cp.snapshot().empty()) {
    state.SkipWithError(cp.note().c_str());
    return;
  }
  const fs::path changed = t.project / "mod7" / "part3" / "file11.cpp";
  int i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream(changed) << "// changed " << ++i << "\n";
    state.ResumeTiming();
    const std::string tree_id = cp.snapshot();
    if (tree_id.empty()) state.SkipWithError(cp.note().c_str());
    benchmark::DoNotOptimize(tree_id);
  }
}
BENCHMARK(BM_CheckpointOneFileChanged)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CheckpointCold(benchmark::State& state) {
  Tree& t = tree();
  int i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path git_dir = t.root / ("cold" + std::to_string(++i) + ".git");
    orvo::session::Checkpoints cp(git_dir, t.project, kSizeCap);
    state.ResumeTiming();
    const std::string tree_id = cp.snapshot();
    if (tree_id.empty()) state.SkipWithError(cp.note().c_str());
    benchmark::DoNotOptimize(tree_id);
    state.PauseTiming();
    fs::remove_all(git_dir);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_CheckpointCold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
