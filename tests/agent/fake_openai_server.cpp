#include "fake_openai_server.hpp"

namespace orvo::agent::testing {

using nlohmann::json;

json chunk(json delta, const char* finish_reason) {
  return {
      {"id", "chatcmpl-1"},
      {"object", "chat.completion.chunk"},
      {"created", 1700000000},
      {"model", "fake"},
      {"choices",
       json::array({{{"index", 0},
                     {"delta", std::move(delta)},
                     {"finish_reason", finish_reason ? json(finish_reason) : json(nullptr)}}})}};
}

json content_chunk(const std::string& text) {
  return chunk({{"content", text}});
}

json reasoning_chunk(const std::string& text, const char* field) {
  return chunk({{field, text}});
}

json tool_call_chunk(int index, const std::string& id, const std::string& name,
                     const std::string& arguments) {
  json call = {{"index", index}, {"function", {{"arguments", arguments}}}};
  if (!id.empty()) {
    call["id"] = id;
    call["type"] = "function";
  }
  if (!name.empty()) call["function"]["name"] = name;
  return chunk({{"tool_calls", json::array({call})}});
}

json usage_chunk(long prompt_tokens, long completion_tokens) {
  return {{"id", "chatcmpl-1"},
          {"object", "chat.completion.chunk"},
          {"choices", json::array()},
          {"usage",
           {{"prompt_tokens", prompt_tokens},
            {"completion_tokens", completion_tokens},
            {"total_tokens", prompt_tokens + completion_tokens}}}};
}

std::string sse(const json& data) {
  return "data: " + data.dump() + "\n\n";
}

Reply stream_reply(const std::vector<std::string>& events, std::chrono::milliseconds delay) {
  Reply r;
  for (const auto& e : events) r.pieces.push_back({e, delay});
  return r;
}

Reply split_reply(const std::string& bytes, std::size_t size, std::chrono::milliseconds delay) {
  Reply r;
  for (std::size_t i = 0; i < bytes.size(); i += size)
    r.pieces.push_back({bytes.substr(i, size), delay});
  return r;
}

std::string answer_stream(const std::string& reasoning, const std::string& content) {
  std::string s;
  if (!reasoning.empty()) s += sse(reasoning_chunk(reasoning));
  s += sse(content_chunk(content));
  s += sse(chunk(json::object(), "stop"));
  s += sse(usage_chunk(100, 20));
  s += kDone;
  return s;
}

std::string tool_stream(const std::string& name, const std::string& arguments,
                        const std::string& id, const std::string& reasoning) {
  std::string s;
  if (!reasoning.empty()) s += sse(reasoning_chunk(reasoning));
  s += sse(tool_call_chunk(0, id, name, ""));
  s += sse(tool_call_chunk(0, "", "", arguments));
  s += sse(chunk(json::object(), "tool_calls"));
  s += sse(usage_chunk(100, 10));
  s += kDone;
  return s;
}

Reply error_reply(int status, const std::string& body) {
  Reply r;
  r.status = status;
  r.content_type = "application/json";
  r.pieces.push_back({body, {}});
  return r;
}

}  // namespace orvo::agent::testing
