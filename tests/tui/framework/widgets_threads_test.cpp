// label: threaded
// Reaching the UI thread from workers (call_from_thread), the raw write to the terminal, and
// timers, which belong to the UI thread.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"
#include "tui/framework/widgets/static.hpp"

namespace orvo::tui {
namespace {

class OneScreen : public App {
 public:
  OneScreen() {
    auto s = std::make_unique<Screen>();
    label = &s->mount_new<Static>("hello", "label");
    install_screen("main", std::move(s));
    switch_screen("main");
  }
  Static* label;
};

TEST(AppThreads, CallFromThreadRunsOnTheUiThreadAndReturnsItsResult) {
  OneScreen app;
  Pilot pilot(app, {20, 3});
  std::atomic<bool> done{false};
  std::string got;
  std::string error;
  bool ran_on_ui = false;
  std::thread worker([&] {
    got = app.call_from_thread([&] {
      ran_on_ui = app.on_ui_thread();
      app.label->update("from worker");
      return app.label->text();
    });
    try {
      app.call_from_thread([]() -> int { throw std::invalid_argument("bad"); });
    } catch (const std::invalid_argument& e) {
      error = e.what();
    }
    done = true;
  });
  EXPECT_TRUE(pilot.wait_until([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(got, "from worker");
  EXPECT_TRUE(ran_on_ui);
  EXPECT_EQ(error, "bad");  // the worker gets the error; the loop goes on
  pilot.wait_idle();
  EXPECT_EQ(pilot.screenshot(), "from worker\n\n");
  // On the UI thread itself it runs at once.
  EXPECT_EQ(app.call_from_thread([] { return 7; }), 7);
}

TEST(AppThreads, CallFromThreadFailsWhenTheApplicationIsNotRunning) {
  OneScreen app;
  EXPECT_THROW(app.call_from_thread([] { return 1; }), std::runtime_error);
  std::future<std::string> pending;
  {
    Pilot pilot(app, {20, 3});
    // A call queued but never run: the application stops first.
    std::atomic<bool> queued{false};
    pending = std::async(std::launch::async, [&] {
      queued = true;
      try {
        app.call_from_thread([] { return 1; });
        return std::string("ran");
      } catch (const std::runtime_error& e) {
        return std::string(e.what());
      }
    });
    while (!queued) std::this_thread::yield();
    app.exit();
    // The pilot's destructor stops the application, whether or not the call was queued yet.
  }
  const std::string outcome = pending.get();
  EXPECT_TRUE(outcome == "call_from_thread: the application stopped before the call ran" ||
              outcome == "call_from_thread: the application is not running" || outcome == "ran")
      << outcome;
}

TEST(AppThreads, TimersFromAnotherThreadAreRefusedWhileRunning) {
  OneScreen app;
  Pilot pilot(app, {20, 3});
  int fired = 0;
  std::string error;
  std::thread worker([&] {
    try {
      app.set_timer(std::chrono::milliseconds(1), [&] { ++fired; });
    } catch (const std::logic_error& e) {
      error = e.what();
    }
  });
  worker.join();
  EXPECT_EQ(error, "set_timer: not on the UI thread (use call_from_thread from other threads)");
  // The way that works: through the UI thread.
  std::thread ok([&] {
    app.call_from_thread(
        [&] { return app.set_timer(std::chrono::milliseconds(1), [&] { ++fired; }); });
  });
  EXPECT_TRUE(pilot.wait_until([&] { return fired == 1; }));
  ok.join();
}

TEST(AppThreads, RawBytesReachTheTerminalAndChangeNoCell) {
  OneScreen app;
  Pilot pilot(app, {20, 3});
  const std::string before = pilot.screenshot();
  const std::string osc52 = "\x1b]52;c;aGVsbG8=\x07";
  app.write_to_terminal(osc52);
  EXPECT_EQ(pilot.driver().written(), osc52);
  EXPECT_EQ(pilot.screenshot(), before);
}

}  // namespace
}  // namespace orvo::tui
