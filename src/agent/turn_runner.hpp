// What the host needs of an agent: something that runs one turn on the worker thread, reporting
// every step through an OutputManager, and that can be told to stop from another thread.
// The embedded demo runtime and the client for real model servers both implement it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvo {
class OutputManager;
}

namespace orvo::agent {

class TurnRunner {
 public:
  virtual ~TurnRunner() = default;

  // Runs one turn for `prompt` on the calling (worker) thread. Reports through `out` (the turn
  // starts with start_thinking(true) and ends with done() or set_error()). Destructive actions ask
  // out.approval_callback() first. Returns when the turn has ended; never throws.
  virtual void run_turn(const std::string& prompt, orvo::OutputManager& out) = 0;

  // Any thread: stop the running turn at its next step (abort transfers, kill child processes).
  // The turn then ends with set_error or print_info + done. Harmless when no turn runs.
  virtual void cancel() = 0;

  // "turbo" (Fast) or "turbo-think" (Reasoning); takes effect from the next turn.
  virtual void set_mode(const std::string& mode) = 0;

  // The model named in each request from the next turn on ("" lets the server choose). A runner
  // with one model of its own ignores it.
  virtual void set_model(const std::string& /*model*/) {}

  // Forgets the conversation (the host's /clear).
  virtual void reset_conversation() {}

  // Between turns: the conversation's messages added since `serial` (0 at first), which is moved
  // past them, so a session file gets each message once. Runners that keep no conversation
  // return none.
  virtual std::vector<nlohmann::json> messages_since(std::uint64_t& serial) const {
    (void)serial;
    return {};
  }
  // Between turns: the conversation continues from `messages` (a resumed session).
  virtual void restore_conversation(std::vector<nlohmann::json> messages) { (void)messages; }

  // Any thread: ends what commands of earlier turns left running in the background (unless the
  // settings keep them). The host calls it on its way out; destroying the runner does it too.
  virtual void kill_leftovers() {}
};

}  // namespace orvo::agent
