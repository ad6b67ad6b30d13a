#include "agent/conversation.hpp"

namespace orvo::agent {

using nlohmann::json;

void Conversation::add_user(const std::string& text) {
  if (!messages_.empty() && messages_.back().value("role", "") == "user" &&
      messages_.back()["content"].is_string()) {
    messages_.back()["content"] = messages_.back()["content"].get<std::string>() + "\n\n" + text;
    return;
  }
  messages_.push_back({{"role", "user"}, {"content", text}});
}

std::size_t Conversation::estimate(const json& m) {
  std::size_t chars = 16;  // role and framing
  if (const auto c = m.find("content"); c != m.end() && c->is_string()) {
    chars += c->get_ref<const std::string&>().size();
  }
  if (const auto t = m.find("tool_calls"); t != m.end() && t->is_array()) {
    for (const auto& call : *t) {
      chars += 32;
      if (call.contains("function") && call["function"].is_object()) {
        const auto& f = call["function"];
        if (f.contains("arguments") && f["arguments"].is_string()) {
          chars += f["arguments"].get_ref<const std::string&>().size();
        }
      }
    }
  }
  return chars / 4;
}

std::size_t Conversation::estimate() const {
  std::size_t n = 0;
  for (const auto& m : messages_) n += estimate(m);
  return n;
}

void Conversation::fit(std::size_t budget) {
  std::size_t total = estimate();
  if (total <= budget) return;
  for (auto& m : messages_) {
    if (total <= budget) return;
    if (m.value("role", "") != "tool" || !m["content"].is_string() ||
        m["content"].get_ref<const std::string&>() == kDroppedOutput) {
      continue;
    }
    const std::size_t before = estimate(m);
    m["content"] = kDroppedOutput;
    total = total - before + estimate(m);
  }
  // Still over: drop whole turns from the front, keeping the last user message onwards.
  std::size_t last_user = messages_.size();
  for (std::size_t i = messages_.size(); i-- > 0;) {
    if (messages_[i].value("role", "") == "user") {
      last_user = i;
      break;
    }
  }
  while (total > budget && last_user != messages_.size() && last_user > 0) {
    // Remove the first turn: messages up to the next user message.
    std::size_t end = 1;
    while (end < last_user && messages_[end].value("role", "") != "user") ++end;
    for (std::size_t i = 0; i < end; ++i) total -= estimate(messages_[i]);
    messages_.erase(messages_.begin(), messages_.begin() + static_cast<std::ptrdiff_t>(end));
    last_user -= end;
  }
}

}  // namespace orvo::agent
