// The worker thread: one turn at a time, interrupts reach the runner, and stopping is bounded even
// when a runner ignores the interrupt.
// label: threaded
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "host/chat/agent_worker.hpp"

namespace orvo::host {
namespace {

using namespace std::chrono_literals;

// Runs until cancelled (or forever when `stubborn`).
class BlockingRunner : public agent::TurnRunner {
 public:
  explicit BlockingRunner(bool stubborn = false) : stubborn_(stubborn) {}
  void run_turn(const std::string& prompt, OutputManager&) override {
    std::unique_lock lock(m_);
    prompts.push_back(prompt);
    started = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return (cancelled && !stubborn_) || released; });
  }
  void cancel() override {
    std::lock_guard lock(m_);
    cancelled = true;
    cv_.notify_all();
  }
  void set_mode(const std::string&) override {}
  void release() {
    std::lock_guard lock(m_);
    released = true;
    cv_.notify_all();
  }
  bool wait_started() {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, 5s, [&] { return started; });
  }
  std::vector<std::string> prompts;
  bool started = false;
  bool cancelled = false;
  bool released = false;

 private:
  bool stubborn_;
  std::mutex m_;
  std::condition_variable cv_;
};

TEST(AgentWorker, OneTurnAtATimeAndInterrupt) {
  auto runner = std::make_shared<BlockingRunner>();
  std::atomic<int> ended{0};
  AgentWorker w(runner, std::make_shared<OutputManager>(), [&] { ++ended; });
  EXPECT_FALSE(w.busy());
  ASSERT_TRUE(w.start_turn("first"));
  EXPECT_TRUE(w.busy());
  EXPECT_FALSE(w.start_turn("second"));  // the UI queues it instead
  ASSERT_TRUE(runner->wait_started());
  w.interrupt();
  for (int i = 0; i < 500 && ended.load() == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ended.load(), 1);
  EXPECT_FALSE(w.busy());
  EXPECT_TRUE(w.stop());
  EXPECT_FALSE(w.start_turn("after stop"));
}

TEST(AgentWorker, StopIsBoundedWhenTheRunnerIgnoresCancel) {
  auto runner = std::make_shared<BlockingRunner>(/*stubborn=*/true);
  auto w = std::make_unique<AgentWorker>(runner, std::make_shared<OutputManager>(), nullptr);
  ASSERT_TRUE(w->start_turn("forever"));
  ASSERT_TRUE(runner->wait_started());
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(w->stop(200ms));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  w.reset();          // the left-behind thread keeps its own shares
  runner->release();  // and can still finish safely
  std::this_thread::sleep_for(50ms);
}

}  // namespace
}  // namespace orvo::host
