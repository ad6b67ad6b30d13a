// label: threaded
// The application's closed state: posts refused once it is closed or has stopped, from any thread,
// also through a post handle kept by a thread that outlives the application.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"

namespace orvo::tui {
namespace {

using namespace std::chrono_literals;

struct Ping : Message {};

class OneScreen : public App {
 public:
  OneScreen() {
    install_screen("main", std::make_unique<Screen>());
    switch_screen("main");
  }
};

TEST(AppClose, PostsAreTakenUntilCloseThenRefused) {
  OneScreen app;
  int handled = 0;
  app.on<Ping>([&](Ping&) { ++handled; });
  PostHandle handle = app.post_handle();
  EXPECT_FALSE(PostHandle().post_message(std::make_shared<Ping>()));  // bound to nothing
  EXPECT_FALSE(app.post_message(nullptr));
  EXPECT_TRUE(app.post_message(std::make_shared<Ping>()));  // before running: waits for the run
  EXPECT_TRUE(handle.post_message(std::make_shared<Ping>()));
  {
    Pilot pilot(app, {10, 2});
    EXPECT_EQ(handled, 2);
  }
  // Stepwise running stops without closing: a later run still gets what is posted meanwhile.
  EXPECT_FALSE(app.closed());
  EXPECT_TRUE(app.post_message(std::make_shared<Ping>()));
  app.close();  // what was still queued is dropped with it
  EXPECT_TRUE(app.closed());
  EXPECT_TRUE(handle.closed());
  EXPECT_FALSE(app.post_message(std::make_shared<Ping>()));
  EXPECT_FALSE(handle.post_message(std::make_shared<Ping>()));
  {
    Pilot pilot(app, {10, 2});
    EXPECT_EQ(handled, 2);
  }
  app.close();  // idempotent
}

TEST(AppClose, RunClosesTheApplicationWhenItReturns) {
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "run ends with an error" : "run ends by exit");
    OneScreen app;
    app.on<Ping>([&](Ping&) {
      if (fails) throw std::runtime_error("boom");
      app.exit(3);
    });
    app.post_message(std::make_shared<Ping>());
    HeadlessDriver driver({10, 2});
    if (fails) {
      EXPECT_THROW(app.run(driver), std::runtime_error);
    } else {
      EXPECT_EQ(app.run(driver), 3);
    }
    EXPECT_TRUE(app.closed());
    EXPECT_FALSE(app.post_message(std::make_shared<Ping>()));
  }
}

// A call queued when the application closes never runs (the pilot steps the loop only when asked):
// its caller gets the error instead of waiting for ever, and later calls are refused at once.
TEST(AppClose, CloseReleasesAQueuedCall) {
  OneScreen app;
  Pilot pilot(app, {10, 2});
  std::promise<void> queued;
  auto call = std::async(std::launch::async, [&] {
    queued.set_value();
    return app.call_from_thread([] { return 1; });
  });
  queued.get_future().wait();
  std::this_thread::sleep_for(20ms);  // most often the call is in the queue by now
  app.close();
  ASSERT_EQ(call.wait_for(5s), std::future_status::ready);
  EXPECT_THROW(call.get(), std::runtime_error);  // dropped from the queue, or refused
  EXPECT_THROW(
      std::async(std::launch::async, [&] { return app.call_from_thread([] { return 1; }); }).get(),
      std::runtime_error);
}

// A worker posting without pause while the application runs, is closed from another thread, and
// is destroyed: every post before the close may be taken, none after it is, and the thread that
// only holds a handle keeps posting safely after the App is gone.
TEST(AppClose, ThreadsPostWhileTheAppClosesAndAfterItIsDestroyed) {
  auto app = std::make_unique<OneScreen>();
  std::atomic<int> handled{0};
  app->on<Ping>([&](Ping&) { handled.fetch_add(1); });
  auto pilot = std::make_unique<Pilot>(*app, Size{10, 2});

  std::atomic<bool> app_gone{false};
  std::atomic<int> accepted_after_refusal{0};
  std::atomic<int> posts_after_gone{0};
  std::atomic<int> accepted{0};
  // Holds only the handle: outlives the App.
  std::thread outliving([handle = app->post_handle(), &app_gone, &accepted_after_refusal,
                         &posts_after_gone, &accepted]() mutable {
    bool refused = false;
    for (;;) {
      const bool gone = app_gone.load();
      // Paced, so the queue cannot outgrow what a slow (instrumented) UI thread drains.
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      const bool ok = handle.post_message(std::make_shared<Ping>());
      if (ok) accepted.fetch_add(1);
      if (refused && ok) accepted_after_refusal.fetch_add(1);
      refused = refused || !ok;
      if (gone) {
        if (ok) accepted_after_refusal.fetch_add(1);
        if (posts_after_gone.fetch_add(1) >= 1000) return;
      }
    }
  });
  // Holds the App itself: stops posting before the App is destroyed.
  std::atomic<bool> stop_direct{false};
  std::atomic<int> direct_refused{0};
  std::thread direct([&, a = app.get()] {
    while (!stop_direct.load()) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      if (!a->post_message(std::make_shared<Ping>())) direct_refused.fetch_add(1);
    }
  });

  ASSERT_TRUE(pilot->wait_until([&] { return handled.load() >= 100; }, 10s));
  std::thread closer([&] { app->close(); });  // not the UI thread
  closer.join();
  EXPECT_TRUE(pilot->wait_until([&] { return direct_refused.load() > 0; }, 10s));
  pilot->wait_idle();
  const int handled_at_close = handled.load();
  pilot->pause(50ms);
  EXPECT_EQ(handled.load(), handled_at_close);  // nothing taken after the close
  stop_direct = true;
  direct.join();

  pilot.reset();
  app.reset();
  app_gone = true;
  outliving.join();
  EXPECT_EQ(accepted_after_refusal.load(), 0);
  EXPECT_GE(accepted.load(), 1);
}

}  // namespace
}  // namespace orvo::tui
