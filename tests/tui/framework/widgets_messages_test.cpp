// label: threaded
// Messages posted from other threads reach the UI thread's handlers, in order, by type.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tui/framework/headless/headless_driver.hpp"
#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"

namespace orvo::tui {
namespace {

struct Numbered : Message {
  Numbered(int t, int n) : thread(t), seq(n) {}
  int thread, seq;
};
struct Special : Numbered {
  using Numbered::Numbered;
};
struct Other : Message {};
struct Quit : Message {};

class EmptyApp : public App {
 public:
  EmptyApp() {
    install_screen("main", std::make_unique<Screen>());
    switch_screen("main");
  }
};

TEST(WidgetsMessages, OrderPerThreadAndDispatchByType) {
  EmptyApp app;
  constexpr int kThreads = 4, kEach = 5000;
  std::vector<std::vector<int>> got(kThreads);
  int specials = 0, others = 0;
  std::thread::id handler_thread;
  app.on<Numbered>([&](Numbered& m) {
    handler_thread = std::this_thread::get_id();
    got[static_cast<std::size_t>(m.thread)].push_back(m.seq);
  });
  app.on<Special>([&](Special&) { ++specials; });
  app.on<Other>([&](Other&) { ++others; });

  app.post_message(std::make_shared<Other>());  // before the application runs: kept
  Pilot pilot(app, {20, 5});
  EXPECT_EQ(others, 1);

  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&app, t] {
      for (int i = 0; i < kEach; ++i) {
        if (i % 100 == 0) {
          app.post_message(std::make_shared<Special>(t, i));
        } else {
          app.post_message(std::make_shared<Numbered>(t, i));
        }
      }
    });
  }
  auto delivered = [&] {
    std::size_t n = 0;
    for (auto& g : got) n += g.size();
    return n == static_cast<std::size_t>(kThreads * kEach);
  };
  EXPECT_TRUE(pilot.wait_until(delivered, std::chrono::seconds(30)));
  for (auto& w : workers) w.join();
  pilot.wait_idle();
  EXPECT_EQ(handler_thread, std::this_thread::get_id());
  for (int t = 0; t < kThreads; ++t) {
    const auto& g = got[static_cast<std::size_t>(t)];
    ASSERT_EQ(g.size(), static_cast<std::size_t>(kEach));
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(g[static_cast<std::size_t>(i)], i) << "thread " << t;
  }
  // A handler for a base type also gets the derived messages.
  EXPECT_EQ(specials, kThreads * kEach / 100);
  EXPECT_EQ(others, 1);
}

TEST(WidgetsMessages, BlockingLoopWakesForAPostedMessage) {
  EmptyApp app;
  app.on<Quit>([&](Quit&) { app.exit(7); });
  HeadlessDriver driver({20, 5});
  std::atomic<bool> running{false};
  std::thread worker([&] {
    while (!running.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    app.post_message(std::make_shared<Quit>());
  });
  running = true;
  // run() blocks in poll with no timer armed; only the posted message can end it.
  EXPECT_EQ(app.run(driver), 7);
  worker.join();
  EXPECT_FALSE(driver.running());
}

}  // namespace
}  // namespace orvo::tui
