// Standard output pointed away while a full-screen UI owns the terminal, and put back after,
// unless a thread that could not be stopped may still write.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tui/framework/term/stdout_redirect.hpp"

namespace {

using orvo::tui::StdoutRedirect;

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs `body` with fd 1 first pointed at `outer` (what the "terminal" receives), restoring the
// test runner's own fd 1 after.
template <typename F>
void with_outer_stdout(const std::filesystem::path& outer, F body) {
  std::fflush(stdout);
  const int saved = ::dup(1);
  ASSERT_GE(saved, 0);
  const int fd = ::open(outer.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ::dup2(fd, 1);
  ::close(fd);
  body();
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
}

TEST(StdoutRedirect, WritesGoToTheTargetUntilRestoredOrForeverWhenKept) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("kv-redirect-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  struct Case {
    bool keep;
    const char* terminal;  // what reaches the original fd 1
    const char* target;
  };
  for (const Case c :
       {Case{false, "before\nafter\n", "during\n"}, Case{true, "before\n", "during\nafter\n"}}) {
    SCOPED_TRACE(c.keep ? "kept" : "restored");
    const auto outer = dir / "terminal";
    const auto inner = dir / "target";
    with_outer_stdout(outer, [&] {
      std::printf("before\n");
      const int target = ::open(inner.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ASSERT_GE(target, 0);
      {
        StdoutRedirect r(target);
        std::printf("during\n");
        if (c.keep) r.keep();
      }
      std::printf("after\n");
      std::fflush(stdout);
      ::close(target);
    });
    EXPECT_EQ(slurp(outer), c.terminal);
    EXPECT_EQ(slurp(inner), c.target);
    // A new redirect may be made either way: the process-wide one-at-a-time guard was released.
    EXPECT_NO_THROW(StdoutRedirect{});
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
