#include "agent/chat_stream.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace orvo::agent {

namespace {

using nlohmann::json;

const std::string* string_at(const json& obj, const char* key) {
  const auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return nullptr;
  return &it->get_ref<const std::string&>();
}

std::string error_text(const json& err) {
  if (err.is_string()) return err.get<std::string>();
  if (err.is_object()) {
    if (const auto* m = string_at(err, "message")) return *m;
  }
  return err.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

ChunkDelta decode_chunk(std::string_view data) {
  ChunkDelta out;
  std::string_view trimmed = data;
  while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\n')) {
    trimmed.remove_prefix(1);
  }
  while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\n')) {
    trimmed.remove_suffix(1);
  }
  if (trimmed == "[DONE]") {
    out.done = true;
    return out;
  }
  json j = json::parse(trimmed.begin(), trimmed.end(), nullptr, false);
  if (j.is_discarded()) {
    out.malformed = "not JSON";
    return out;
  }
  if (!j.is_object()) {
    out.malformed = "not a JSON object";
    return out;
  }
  if (const auto it = j.find("error"); it != j.end() && !it->is_null()) {
    out.error = error_text(*it);
    return out;
  }
  if (const auto it = j.find("usage"); it != j.end() && it->is_object()) {
    Usage u;
    if (const auto p = it->find("prompt_tokens"); p != it->end() && p->is_number_integer()) {
      u.prompt_tokens = p->get<std::int64_t>();
    }
    if (const auto c = it->find("completion_tokens"); c != it->end() && c->is_number_integer()) {
      u.completion_tokens = c->get<std::int64_t>();
    }
    out.usage = u;
  }
  const auto choices = j.find("choices");
  if (choices == j.end() || !choices->is_array()) {
    if (!out.usage) out.malformed = "no choices";
    return out;
  }
  if (choices->empty()) return out;  // the final usage chunk
  const json& choice = choices->front();
  if (!choice.is_object()) {
    out.malformed = "choice is not an object";
    return out;
  }
  if (const auto* f = string_at(choice, "finish_reason")) out.finish_reason = *f;
  const auto delta_it = choice.find("delta");
  if (delta_it == choice.end() || !delta_it->is_object()) return out;
  const json& delta = *delta_it;
  if (const auto* r = string_at(delta, "reasoning_content")) {
    out.reasoning = *r;
  } else if (const auto* r2 = string_at(delta, "reasoning")) {
    out.reasoning = *r2;
  }
  if (const auto* c = string_at(delta, "content")) out.content = *c;
  if (const auto tc = delta.find("tool_calls"); tc != delta.end() && tc->is_array()) {
    for (const auto& call : *tc) {
      if (!call.is_object()) continue;
      ToolCallDelta d;
      if (const auto i = call.find("index"); i != call.end() && i->is_number_integer()) {
        d.index = static_cast<int>(std::clamp<std::int64_t>(i->get<std::int64_t>(), -1, 1 << 20));
      }
      if (const auto* id = string_at(call, "id")) d.id = *id;
      if (const auto fn = call.find("function"); fn != call.end() && fn->is_object()) {
        if (const auto* n = string_at(*fn, "name")) d.name = *n;
        if (const auto a = fn->find("arguments"); a != fn->end()) {
          // Some servers send the arguments as an object rather than a JSON string.
          if (a->is_string()) {
            d.arguments = a->get<std::string>();
          } else if (!a->is_null()) {
            d.arguments = a->dump(-1, ' ', false, json::error_handler_t::replace);
          }
        }
      }
      out.tool_calls.push_back(std::move(d));
    }
  }
  return out;
}

void ToolCallAssembler::add(const ToolCallDelta& d) {
  Slot* slot = nullptr;
  if (d.index >= 0) {
    for (auto& s : calls_) {
      if (s.index == d.index) slot = &s;
    }
  } else if (!calls_.empty() && d.id.empty() && d.name.empty()) {
    slot = &calls_.back();
  }
  if (slot == nullptr) {
    int index = d.index;
    if (index < 0) {
      index = 0;
      for (const auto& s : calls_) index = std::max(index, s.index + 1);
    }
    calls_.push_back({index, {}});
    slot = &calls_.back();
  }
  if (!d.id.empty()) slot->call.id = d.id;
  // A server that repeats the name in every fragment must not make it "bashbash".
  if (slot->call.name != d.name) slot->call.name += d.name;
  slot->call.arguments += d.arguments;
}

std::vector<ToolCall> ToolCallAssembler::take() {
  std::stable_sort(calls_.begin(), calls_.end(),
                   [](const Slot& a, const Slot& b) { return a.index < b.index; });
  std::vector<ToolCall> out;
  out.reserve(calls_.size());
  int n = 0;
  for (auto& s : calls_) {
    if (s.call.id.empty()) s.call.id = "call_" + std::to_string(n);
    ++n;
    out.push_back(std::move(s.call));
  }
  calls_.clear();
  return out;
}

}  // namespace orvo::agent
