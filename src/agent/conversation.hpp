// The messages of a session, kept across turns, and the context budget: when the estimate is
// over, the oldest tool outputs are emptied first, then the oldest whole turns are dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvo::agent {

inline constexpr const char* kDroppedOutput =
    "[output dropped to keep the conversation within the context budget]";

class Conversation {
 public:
  void add(nlohmann::json message) { messages_.push_back(std::move(message)); }
  const std::vector<nlohmann::json>& messages() const { return messages_; }
  std::vector<nlohmann::json>& messages() { return messages_; }
  void clear() {
    dropped_ += messages_.size();
    messages_.clear();
  }
  // How many messages were ever taken out from the front (fit, clear): messages()[i] is the
  // (dropped() + i)-th message of the session.
  std::uint64_t dropped() const { return dropped_; }
  bool empty() const { return messages_.empty(); }

  // Adds a user message, always a message of its own. A turn that ended without an answer is
  // closed first (close_failed_turn), so the request stays one a server accepts.
  void add_user(const std::string& text);

  // Closes a turn that failed or was stopped: tool calls of the last assistant message that have
  // no result get `why` as their result, and a prompt left without an answer gets an assistant
  // message saying so (some chat templates refuse two user messages in a row).
  void close_failed_turn(const std::string& why);

  // About four characters a token.
  static std::size_t estimate(const nlohmann::json& message);
  std::size_t estimate() const;

  // Shrinks the conversation to at most `budget` estimated tokens. The last user message and
  // what follows it are kept whole except for tool outputs, which go oldest first.
  void fit(std::size_t budget);

 private:
  std::vector<nlohmann::json> messages_;
  std::uint64_t dropped_ = 0;
};

}  // namespace orvo::agent
