// A small OpenAI-compatible chat-completions server for tests: the shared test HTTP server
// (tests/support/http_server.hpp) and the stream pieces llama.cpp's server, Ollama and vLLM send.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "http_server.hpp"

namespace orvo::agent::testing {

using orvo::testing::Piece;
using orvo::testing::Reply;
using orvo::testing::Request;

// The shared test server under the name the agent tests know it by.
class FakeOpenAIServer : public orvo::testing::HttpServer {
 public:
  using HttpServer::HttpServer;
};

// Stream building blocks shaped as llama.cpp's server, Ollama and vLLM send them.
nlohmann::json chunk(nlohmann::json delta, const char* finish_reason = nullptr);
nlohmann::json content_chunk(const std::string& text);
nlohmann::json reasoning_chunk(const std::string& text, const char* field = "reasoning_content");
nlohmann::json tool_call_chunk(int index, const std::string& id, const std::string& name,
                               const std::string& arguments);
nlohmann::json usage_chunk(long prompt_tokens, long completion_tokens);
std::string sse(const nlohmann::json& data);  // "data: <json>\n\n"
inline constexpr const char* kDone = "data: [DONE]\n\n";

// A reply whose pieces are `events` joined, each sent after `delay`.
Reply stream_reply(const std::vector<std::string>& events,
                   std::chrono::milliseconds delay = std::chrono::milliseconds(0));
// The same bytes cut into pieces of `size` bytes (1: every byte on its own).
Reply split_reply(const std::string& bytes, std::size_t size,
                  std::chrono::milliseconds delay = std::chrono::milliseconds(0));
// A complete answer: optional reasoning, content, optional tool call, finish, usage, [DONE].
std::string answer_stream(const std::string& reasoning, const std::string& content);
std::string tool_stream(const std::string& name, const std::string& arguments,
                        const std::string& id = "call_1", const std::string& reasoning = "");
Reply error_reply(int status, const std::string& body);

}  // namespace orvo::agent::testing
