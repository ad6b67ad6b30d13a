// The embedded demo runtime: an agent that answers every prompt with a scripted, paced turn
// through an OutputManager, so Kestravel can be tried without a model server.
//
// The first turn of a session shows everything a turn can hold: stages and thinking, a file read,
// a search, an edit whose result is a unified diff, a failing command, a destructive command that
// asks for consent (and a different outcome when denied) and a streamed markdown answer with code
// and a list. Later turns are shorter and vary.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "agent/turn_runner.hpp"

namespace orvo::host {

class DemoAgent : public agent::TurnRunner {
 public:
  // `speed` scales every pause (2 = twice as fast); 0 plays without pauses (tests).
  // At speed 1 the answer streams at `tokens_per_second`.
  explicit DemoAgent(double speed = 1.0, double tokens_per_second = 40.0);

  void run_turn(const std::string& prompt, OutputManager& out) override;
  void cancel() override;
  void set_mode(const std::string& mode) override;
  void reset_conversation() override;

  // Turns run so far in this conversation.
  int turns() const { return turns_.load(); }

  // The command of the first turn that asks for consent.
  static constexpr const char* kDestructiveCommand = "rm -rf build/ .pytest_cache/";
  static constexpr const char* kDestructiveReason = "deletes build/ and .pytest_cache/";

 private:
  class Interrupted {};  // thrown inside a turn when cancel() was called

  // Waits `seconds` (scaled by the speed); throws Interrupted when cancelled meanwhile.
  void pause(double seconds);
  void check();
  void think(OutputManager& out, const std::string& text);
  void stream_answer(OutputManager& out, const std::string& text);
  void full_turn(const std::string& prompt, OutputManager& out);
  void short_turn(const std::string& prompt, OutputManager& out, int variant);

  const double speed_;
  const double tokens_per_second_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool cancelled_ = false;
  std::string mode_ = "turbo";
  std::atomic<int> turns_{0};
};

}  // namespace orvo::host
