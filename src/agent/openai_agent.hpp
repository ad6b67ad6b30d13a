// The agent loop against an OpenAI-compatible chat-completions server (llama.cpp's server,
// Ollama, vLLM, LM Studio): streams each model request, reports reasoning, answer text and tool
// calls through the OutputManager, runs the tools (asking consent for destructive ones) and
// loops until the model answers without a tool call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/cancel.hpp"
#include "agent/conversation.hpp"
#include "agent/settings.hpp"
#include "agent/tools.hpp"
#include "agent/turn_runner.hpp"

namespace orvo::agent {

// Token counts the server reported for the last turn, summed over its requests.
struct TurnUsage {
  std::int64_t prompt_tokens = 0;
  std::int64_t completion_tokens = 0;
  int requests = 0;
  bool reported = false;            // the server sent a usage object at all
  double generation_seconds = 0.0;  // from each request's first delta to its end, summed
};

class OpenAIAgent : public TurnRunner {
 public:
  explicit OpenAIAgent(AgentSettings settings);

  void run_turn(const std::string& prompt, orvo::OutputManager& out) override;
  void cancel() override;
  void set_mode(const std::string& mode) override;
  // "" goes back to the model of the settings.
  void set_model(const std::string& model) override;
  void reset_conversation() override;
  void kill_leftovers() override { toolbox_.kill_leftovers(); }
  std::vector<nlohmann::json> messages_since(std::uint64_t& serial) const override;
  void restore_conversation(std::vector<nlohmann::json> messages) override;

  // Any thread.
  TurnUsage last_turn_usage() const;
  // The messages kept so far (system message not included). Call between turns.
  std::vector<nlohmann::json> conversation() const { return conversation_.messages(); }
  const AgentSettings& settings() const { return settings_; }

  // The body of the next request for the current conversation (exposed for tests).
  nlohmann::json request_body() const;

 private:
  struct Step;
  // What the server sent that the turn could not use, reported once at the turn's end.
  struct Skipped {
    int malformed = 0;
    std::string first_malformed;
    std::size_t oversized = 0;
    std::uint64_t oversized_bytes = 0;
    bool oversized_answer = false;  // a complete (non-streamed) answer over the limit
  };
  void run_turn_inner(const std::string& prompt, orvo::OutputManager& out);
  // Ends the turn: the note about skipped data (once), the server's token counts, then the error,
  // or "done"; the conversation is left in a state the server accepts.
  void end_turn(orvo::OutputManager& out, const std::string& error, bool interrupted);
  static std::string skipped_note(const Skipped& s);
  bool stream_step(orvo::OutputManager& out, Step& step);
  void run_tools(orvo::OutputManager& out, Step& step);
  void finish_interrupted(orvo::OutputManager& out);
  std::string system_prompt() const;

  AgentSettings settings_;
  Canceller canceller_;
  Toolbox toolbox_;
  Conversation conversation_;
  std::atomic<bool> reset_pending_{false};
  Skipped skipped_;
  bool answer_open_ = false;  // answer text was streamed in the last request (for the note)

  mutable std::mutex m_;  // mode_, model_ and usage_
  std::string mode_;
  std::string model_;
  TurnUsage usage_;
};

}  // namespace orvo::agent
