#include "proc/process.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace orvo::proc {
namespace {

namespace fs = std::filesystem;

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kv_proc_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ / "bin");
    fs::create_directories(dir_ / "project");
  }
  void TearDown() override {
    std::error_code ec;
    fs::current_path(old_cwd_, ec);
    fs::remove_all(dir_, ec);
  }
  void make_file(const fs::path& p, bool executable) {
    std::ofstream(p) << "#!/bin/sh\nexit 0\n";
    ::chmod(p.c_str(), executable ? 0755 : 0644);
  }
  fs::path dir_;
  fs::path old_cwd_ = fs::current_path();
};

// A project the agent works in must not be able to stand in for a program: execvp reads an empty
// PATH entry (and ".") as the current directory; we search absolute directories only.
TEST_F(ProcessTest, FindProgramSearchesOnlyAbsoluteDirectories) {
  make_file(dir_ / "project" / "xclip", true);
  make_file(dir_ / "bin" / "tool", true);
  make_file(dir_ / "bin" / "plain", false);
  fs::create_directories(dir_ / "bin" / "adir");
  fs::current_path(dir_ / "project");
  const std::string bin = (dir_ / "bin").string();
  struct Case {
    const char* name;
    std::string program;
    std::string path;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"empty entry in the middle", "xclip", bin + "::/nonexistent", std::nullopt},
      {"empty entry at the end", "xclip", bin + ":", std::nullopt},
      {"empty entry at the start", "xclip", ":" + bin, std::nullopt},
      {"dot", "xclip", ".", std::nullopt},
      {"relative directory", "xclip", "../project", std::nullopt},
      {"empty PATH", "xclip", "", std::nullopt},
      {"found in an absolute directory", "tool", "/nonexistent::" + bin, bin + "/tool"},
      {"trailing slash on the directory", "tool", bin + "/", bin + "/tool"},
      {"not executable", "plain", bin, std::nullopt},
      {"a directory is no program", "adir", bin, std::nullopt},
      {"empty name", "", bin, std::nullopt},
      {"a name with a slash is taken as it is", bin + "/tool", "", bin + "/tool"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(find_program(c.program, c.path), c.expected);
  }
}

TEST_F(ProcessTest, SpawnDoesNotRunAProgramFromTheCurrentDirectory) {
  make_file(dir_ / "project" / "kv-proc-test-only", true);
  fs::current_path(dir_ / "project");
  SpawnOptions options;
  options.argv = {"kv-proc-test-only"};
  const Spawned child = spawn(options);
  EXPECT_EQ(child.pid, -1);
  EXPECT_FALSE(child.error.empty());
}

TEST_F(ProcessTest, RunProcessCapturesOutputInItsDirectory) {
  Canceller canceller;
  const auto r = run_process({"sh", "-c", "pwd; echo err >&2; exit 3"}, dir_ / "project",
                             std::chrono::seconds(10), 4096, canceller);
  ASSERT_TRUE(r.started) << r.start_error;
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.output, (dir_ / "project").string() + "\nerr\n");

  const auto missing =
      run_process({"kv-no-such-program"}, dir_, std::chrono::seconds(10), 4096, canceller);
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.start_error, "kv-no-such-program: No such file or directory");
}

}  // namespace
}  // namespace orvo::proc
