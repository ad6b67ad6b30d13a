#include "host/chat/agent_worker.hpp"

#include <exception>

namespace orvo::host {

AgentWorker::AgentWorker(std::shared_ptr<agent::TurnRunner> runner,
                         std::shared_ptr<OutputManager> out, std::function<void()> on_turn_end)
    : runner_(std::move(runner)),
      out_(std::move(out)),
      shared_(std::make_shared<Shared>()),
      busy_ptr_(std::make_shared<std::atomic<bool>>(false)),
      busy_(*busy_ptr_) {
  thread_ =
      std::thread(&AgentWorker::loop, shared_, runner_, out_, busy_ptr_, std::move(on_turn_end));
}

AgentWorker::~AgentWorker() {
  stop();
}

bool AgentWorker::start_turn(std::string prompt) {
  std::lock_guard lock(shared_->m);
  if (shared_->quit || busy_.load() || shared_->prompt) return false;
  busy_.store(true);
  shared_->prompt = std::move(prompt);
  shared_->cv.notify_one();
  return true;
}

void AgentWorker::interrupt() {
  if (busy_.load()) runner_->cancel();
}

bool AgentWorker::stop(std::chrono::milliseconds limit) {
  if (stopped_) return true;
  stopped_ = true;
  {
    std::lock_guard lock(shared_->m);
    shared_->quit = true;
    shared_->prompt.reset();
  }
  shared_->cv.notify_all();
  runner_->cancel();
  bool finished;
  {
    std::unique_lock lock(shared_->m);
    finished = shared_->finished_cv.wait_for(lock, limit, [&] { return shared_->finished; });
  }
  if (finished) {
    thread_.join();
  } else {
    thread_.detach();  // it owns shares of everything it uses
  }
  return finished;
}

void AgentWorker::loop(std::shared_ptr<Shared> shared, std::shared_ptr<agent::TurnRunner> runner,
                       std::shared_ptr<OutputManager> out, std::shared_ptr<std::atomic<bool>> busy,
                       std::function<void()> on_turn_end) {
  try {
    while (true) {
      std::string prompt;
      {
        std::unique_lock lock(shared->m);
        shared->cv.wait(lock, [&] { return shared->quit || shared->prompt.has_value(); });
        if (shared->quit) break;
        prompt = std::move(*shared->prompt);
        shared->prompt.reset();
      }
      try {
        runner->run_turn(prompt, *out);
      } catch (...) {
        // A runner must not throw; if one does, the turn still ends for the user.
        try {
          out->set_error("the agent stopped unexpectedly");
        } catch (...) {
        }
      }
      busy->store(false);
      try {
        if (on_turn_end) on_turn_end();
      } catch (...) {
      }
    }
  } catch (...) {
  }
  std::lock_guard lock(shared->m);
  shared->finished = true;
  shared->finished_cv.notify_all();
}

}  // namespace orvo::host
