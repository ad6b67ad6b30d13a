// What a run does to standard output, and repainting every cell (Ctrl+L).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tui/framework/headless/headless_driver.hpp"
#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/framework/widgets/static.hpp"

namespace orvo::tui {
namespace {

struct Ping : Message {};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Points fd 1 at a file for the test, as a shell would.
class StdoutToFile {
 public:
  explicit StdoutToFile(const std::string& path) {
    std::cout.flush();
    saved_ = ::dup(1);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 1);
    ::close(fd);
  }
  ~StdoutToFile() {
    std::cout.flush();
    ::dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_;
};

TEST(AppRun, StandardOutputIsRedirectedForTheRunOnly) {
  char dir[] = "/tmp/kv_run_XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string original = std::string(dir) + "/stdout";
  const std::string chosen = std::string(dir) + "/during";
  const int chosen_fd = ::open(chosen.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(chosen_fd, 0);
  struct Case {
    RunOptions options;
    std::string original, chosen;
  };
  const Case cases[] = {
      {RunOptions{true, chosen_fd}, "before\nafter\n", "during\n"},  // the host's place
      {RunOptions{true, -1}, "before\nafter\n", ""},                 // discarded
      {RunOptions{false, -1}, "before\nduring\nafter\n", ""},        // left alone
  };
  for (const auto& c : cases) {
    ::ftruncate(chosen_fd, 0);
    App app;
    auto screen = std::make_unique<Screen>();
    screen->mount_new<Static>("UI");
    app.install_screen("main", std::move(screen));
    app.switch_screen("main");
    app.on<Ping>([&](Ping&) {
      std::cout << "during" << std::endl;
      app.set_timer(std::chrono::milliseconds(40), [&] { app.exit(); });  // after a frame
    });
    HeadlessDriver driver({10, 2});
    {
      StdoutToFile capture(original);
      std::cout << "before" << std::endl;
      app.post_message(std::make_shared<Ping>());
      app.run(driver, c.options);
      std::cout << "after" << std::endl;
    }
    EXPECT_EQ(slurp(original), c.original);
    EXPECT_EQ(slurp(chosen), c.chosen);
    EXPECT_EQ(driver.screenshot(), "UI\n");
  }
  // Also when the run ends with an error.
  {
    App app;
    app.install_screen("main", std::make_unique<Screen>());
    app.switch_screen("main");
    app.on<Ping>([&](Ping&) { throw std::runtime_error("boom"); });
    HeadlessDriver driver({10, 2});
    {
      StdoutToFile capture(original);
      app.post_message(std::make_shared<Ping>());
      EXPECT_THROW(app.run(driver, RunOptions{true, -1}), std::runtime_error);
      std::cout << "after error" << std::endl;
    }
    EXPECT_EQ(slurp(original), "after error\n");
  }
  ::close(chosen_fd);
  std::remove(original.c_str());
  std::remove(chosen.c_str());
  ::rmdir(dir);
}

TEST(AppRun, CtrlLRepaintsEveryCell) {
  App app;
  auto screen = std::make_unique<Screen>();
  screen->mount_new<Static>("line one\nline two");
  app.install_screen("main", std::move(screen));
  app.switch_screen("main");
  Pilot pilot(app, {12, 3});
  const std::string shown = pilot.screenshot();
  ASSERT_EQ(shown, "line one\nline two\n");
  app.write_to_terminal("\x1b[2J\x1b[Hgarbage");  // something scribbled over the screen
  EXPECT_EQ(pilot.screenshot(), "garbage\n\n");
  pilot.press("ctrl+l");
  EXPECT_EQ(pilot.screenshot(), shown);
}

}  // namespace
}  // namespace orvo::tui
