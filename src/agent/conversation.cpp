#include "agent/conversation.hpp"

namespace orvo::agent {

using nlohmann::json;

void Conversation::add_user(const std::string& text) {
  close_failed_turn("the turn ended early");
  messages_.push_back({{"role", "user"}, {"content", text}});
}

void Conversation::close_failed_turn(const std::string& why) {
  if (messages_.empty()) return;
  // The last assistant message with tool calls; results of its calls follow it.
  std::size_t k = messages_.size();
  while (k-- > 0) {
    const json& m = messages_[k];
    if (m.value("role", "") == "user") break;
    if (m.value("role", "") != "assistant") continue;
    const auto calls = m.find("tool_calls");
    if (calls == m.end() || !calls->is_array()) break;
    std::vector<json> missing;
    for (const auto& call : *calls) {
      const std::string id = call.value("id", "");
      bool answered = false;
      for (std::size_t i = k + 1; i < messages_.size() && !answered; ++i) {
        answered = messages_[i].value("role", "") == "tool" &&
                   messages_[i].value("tool_call_id", "") == id;
      }
      if (answered) continue;
      std::string name;
      if (const auto f = call.find("function"); f != call.end() && f->is_object())
        name = f->value("name", "");
      missing.push_back(
          {{"role", "tool"}, {"tool_call_id", id}, {"name", name}, {"content", "[" + why + "]"}});
    }
    for (auto& m2 : missing) messages_.push_back(std::move(m2));
    break;
  }
  if (messages_.back().value("role", "") == "user")
    messages_.push_back({{"role", "assistant"}, {"content", "[no answer: " + why + "]"}});
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
    dropped_ += end;
    last_user -= end;
  }
}

}  // namespace orvo::agent
