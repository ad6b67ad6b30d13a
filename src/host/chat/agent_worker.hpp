// The agent's worker thread: runs one turn at a time through a TurnRunner and an OutputManager.
//
// The UI thread decides what runs next (it keeps the queue of prompts typed during a turn); the
// worker only runs the prompt it is given and reports the end of each turn through `on_turn_end`
// (called on the worker thread: the host posts a message from it). The runner and the output
// controller are shared with the thread, so a worker that does not stop in time can be left
// behind without touching freed memory.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "agent/turn_runner.hpp"
#include "output/output_manager.hpp"

namespace orvo::host {

class AgentWorker {
 public:
  AgentWorker(std::shared_ptr<agent::TurnRunner> runner, std::shared_ptr<OutputManager> out,
              std::function<void()> on_turn_end);
  ~AgentWorker();
  AgentWorker(const AgentWorker&) = delete;
  AgentWorker& operator=(const AgentWorker&) = delete;

  // Starts a turn; false when one is running (or the worker is stopped).
  bool start_turn(std::string prompt);
  // True from start_turn until the turn has ended.
  bool busy() const { return busy_.load(); }
  // Asks the running turn to stop at its next step.
  void interrupt();
  // Stops the thread: interrupts a running turn and waits at most `limit` for it. Returns false
  // when the thread had to be left behind. Idempotent.
  bool stop(std::chrono::milliseconds limit = std::chrono::milliseconds(1500));

  agent::TurnRunner& runner() { return *runner_; }

 private:
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    std::optional<std::string> prompt;
    bool quit = false;
    bool finished = false;  // the thread has left its loop
    std::condition_variable finished_cv;
  };
  static void loop(std::shared_ptr<Shared> shared, std::shared_ptr<agent::TurnRunner> runner,
                   std::shared_ptr<OutputManager> out, std::shared_ptr<std::atomic<bool>> busy,
                   std::function<void()> on_turn_end);

  std::shared_ptr<agent::TurnRunner> runner_;
  std::shared_ptr<OutputManager> out_;
  std::shared_ptr<Shared> shared_;
  std::shared_ptr<std::atomic<bool>> busy_ptr_;
  std::atomic<bool>& busy_;
  std::thread thread_;
  bool stopped_ = false;
};

}  // namespace orvo::host
