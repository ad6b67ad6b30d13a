#include "agent/sandbox.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "agent/tools.hpp"
#include "temp_dir.hpp"

// label: threaded

namespace orvo::agent {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::TempDir;
using Argv = std::vector<std::string>;

TEST(SandboxArgv, ProjectWritableRestReadOnlyTmpBeforeTheProject) {
  const Argv cmd = {"/bin/bash", "-c", "echo hi"};
  const Argv common = {
      "bw",    "--ro-bind", "/",    "/",      "--dev",    "/dev",     "--proc",
      "/proc", "--tmpfs",   "/tmp", "--bind", "/tmp/p q", "/tmp/p q", "--die-with-parent"};
  Argv with_net = common;
  with_net.insert(with_net.end(), {"--chdir", "/tmp/p q", "--", "/bin/bash", "-c", "echo hi"});
  Argv without_net = common;
  without_net.insert(without_net.end(),
                     {"--unshare-net", "--chdir", "/tmp/p q", "--", "/bin/bash", "-c", "echo hi"});
  EXPECT_EQ(bwrap_argv({true, true, "bw"}, "/tmp/p q", cmd), with_net);
  EXPECT_EQ(bwrap_argv({true, false, "bw"}, "/tmp/p q", cmd), without_net);
}

TEST(Sandbox, ProbesOnceAndFallsBackWithOneNotice) {
  struct Case {
    bool enabled;
    bool works;
    int probes;    // expected calls of the probe over two wraps
    bool wrapped;  // the command runs inside bwrap
    bool notice;   // the fallback is reported (once)
  };
  const Case cases[] = {
      {true, true, 1, true, false},
      {true, false, 1, false, true},
      {false, true, 0, false, false},  // "off": not even probed, nothing to report
  };
  const Argv cmd = {"sh", "-c", "true"};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.enabled) + std::to_string(c.works));
    int probes = 0;
    Argv probed;
    Sandbox sb({c.enabled, true, "bw"}, [&](const Argv& argv) {
      ++probes;
      probed = argv;
      return SandboxProbe{c.works, "bw: No permissions to create a new namespace"};
    });
    EXPECT_EQ(sb.take_notice(), std::nullopt) << "nothing to report before any command";
    for (int i = 0; i < 2; ++i) {
      const Argv got = sb.wrap(cmd, "/p");
      EXPECT_EQ(got, c.wrapped ? bwrap_argv({true, true, "bw"}, "/p", cmd) : cmd);
      const auto notice = sb.take_notice();
      EXPECT_EQ(notice.has_value(), c.notice && i == 0);
      if (notice) {
        EXPECT_NE(notice->find("No permissions to create"), std::string::npos) << *notice;
      }
    }
    EXPECT_EQ(probes, c.probes);
    // The trial run is the real command line with `true` in the command's place.
    if (c.probes > 0) {
      EXPECT_EQ(probed, bwrap_argv({true, true, "bw"}, "/p", {"true"}));
    }
  }
}

TEST(SandboxProbe, BrokenOrMissingBwrapSaysWhy) {
  TempDir dir;
  const fs::path fake = dir.write(
      "bwrap", "#!/bin/sh\necho 'bwrap: No permissions to create new namespace' >&2\nexit 1\n");
  ::chmod(fake.c_str(), 0755);
  const fs::path silent = dir.write("silent", "#!/bin/sh\nexit 1\n");
  ::chmod(silent.c_str(), 0755);
  const struct {
    std::string bwrap;
    const char* why;
  } cases[] = {
      {fake.string(), "bwrap: No permissions to create new namespace"},
      {silent.string(), "failed with exit code 1"},
      {(dir.path() / "missing").string(), "No such file or directory"},
  };
  for (const auto& c : cases) {
    const SandboxProbe p =
        run_sandbox_probe(bwrap_argv({true, true, c.bwrap}, dir.path(), {"true"}));
    EXPECT_FALSE(p.works) << c.bwrap;
    EXPECT_NE(p.reason.find(c.why), std::string::npos) << p.reason;
  }
}

class SandboxedBash : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir.path() / "proj"); }
  AgentSettings settings(const std::string& bwrap = "bwrap", bool network = true) {
    AgentSettings s;
    s.project_dir = dir.path() / "proj";
    s.bash_timeout = 30s;
    s.sandbox = true;
    s.sandbox_network = network;
    s.bwrap_path = bwrap;
    return s;
  }
  // Whether bwrap can make its namespaces here (not in every container).
  bool bwrap_works(bool network = true) {
    return run_sandbox_probe(bwrap_argv({true, network, "bwrap"}, dir.path() / "proj", {"true"}))
        .works;
  }
  TempDir dir;
  Canceller canceller;
};

TEST_F(SandboxedBash, BrokenBwrapFallsBackToRunningTheCommand) {
  const fs::path fake = dir.write("bin/bwrap", "#!/bin/sh\nexit 1\n");
  ::chmod(fake.c_str(), 0755);
  for (const std::string& bwrap : {fake.string(), (dir.path() / "bin/missing").string()}) {
    Toolbox box(settings(bwrap), canceller);
    const ToolResult r = box.bash("echo made > made.txt && cat made.txt", 10s);
    EXPECT_FALSE(r.error) << r.text;
    EXPECT_EQ(r.text, "made");
    const auto notice = box.take_sandbox_notice();
    ASSERT_TRUE(notice.has_value()) << bwrap;
    EXPECT_NE(notice->find("without a sandbox"), std::string::npos) << *notice;
    EXPECT_EQ(box.bash("true", 10s).text, "(no output)");
    EXPECT_EQ(box.take_sandbox_notice(), std::nullopt) << "said once";
    fs::remove(dir.path() / "proj/made.txt");
  }
}

TEST_F(SandboxedBash, RealSandboxKeepsWritesInTheProject) {
  if (!bwrap_works()) GTEST_SKIP() << "bwrap cannot create its namespaces here";
  Toolbox box(settings(), canceller);
  // Outside the project: its parent under /tmp, and the build tree (not under /tmp).
  const fs::path beside = dir.path() / "beside.txt";
  const fs::path build = fs::path(KV_BINARY_DIR) / ("kv-sandbox-" + std::to_string(::getpid()));
  const ToolResult r = box.bash("echo in > inside.txt; echo out > '" + beside.string() +
                                    "'; echo out > '" + build.string() + "'; cat inside.txt",
                                10s);
  EXPECT_EQ(box.take_sandbox_notice(), std::nullopt);
  EXPECT_NE(r.text.find("in"), std::string::npos) << r.text;
  EXPECT_EQ(dir.read("proj/inside.txt"), "in\n");
  EXPECT_FALSE(fs::exists(beside)) << r.text;
  EXPECT_FALSE(fs::exists(build)) << r.text;
  // Read-only outside the project; a build tree under /tmp is hidden by the private /tmp instead.
  EXPECT_TRUE(r.text.find("Read-only file system") != std::string::npos ||
              (build.string().rfind("/tmp/", 0) == 0 &&
               r.text.find("No such file or directory") != std::string::npos))
      << r.text;
  std::error_code ec;
  fs::remove(build, ec);
}

TEST_F(SandboxedBash, RealSandboxTimeoutAndCancelStillKillTheCommand) {
  if (!bwrap_works()) GTEST_SKIP() << "bwrap cannot create its namespaces here";
  Toolbox box(settings(), canceller);
  // The command and what it left in the background both get the kill through bwrap.
  const auto start = std::chrono::steady_clock::now();
  const ToolResult r = box.bash("sleep 30 & echo $! > bg.pid; echo $$ > sh.pid; sleep 30", 500ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_NE(r.text.find("timed out"), std::string::npos) << r.text;
  for (const char* file : {"proj/bg.pid", "proj/sh.pid"}) {
    const pid_t pid = std::stoi(dir.read(file));
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string state;
      std::getline(stat, state);
      // Gone, or a zombie about to be reaped.
      gone = ::kill(pid, 0) != 0 || state.find(") Z") != std::string::npos;
      if (!gone) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(gone) << file;
  }

  std::thread t([&] {
    std::this_thread::sleep_for(300ms);
    canceller.cancel();
  });
  const auto again = std::chrono::steady_clock::now();
  const ToolResult c = box.bash("sleep 60", 60s);
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - again, 10s);
  EXPECT_NE(c.text.find("cancelled"), std::string::npos) << c.text;
}

TEST_F(SandboxedBash, RealSandboxWithoutNetworkHasOnlyLoopback) {
  if (!bwrap_works(false)) GTEST_SKIP() << "bwrap cannot create its namespaces here";
  Toolbox box(settings("bwrap", false), canceller);
  const ToolResult r = box.bash("tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d ' '", 10s);
  EXPECT_EQ(r.text, "lo");
}

}  // namespace
}  // namespace orvo::agent
