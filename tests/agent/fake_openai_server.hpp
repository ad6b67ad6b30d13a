// A small OpenAI-compatible chat-completions server for tests: the shared test HTTP server
// (tests/support/http_server.hpp) and the stream pieces llama.cpp's server, Ollama and vLLM send.
#pragma once

#include <chrono>
#include <string>
#include <utility>
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

// What a server written in JavaScript sends: `text` cut every `units` UTF-16 code units (so a
// surrogate pair may be split between two events), each piece one "data:" event for `field`
// ("content", "reasoning_content", or "arguments" of tool call 0), its string written as
// JSON.stringify writes it (a lone surrogate as "\udXXX").
std::vector<std::string> js_sliced_events(const std::string& field, const std::string& text,
                                          std::size_t units);
// JSON.stringify of a string given as UTF-16 code units.
std::string js_json_string(const std::u16string& units);

// A complete, non-streamed answer (object "chat.completion") as application/json: the message's
// reasoning, content and tool calls (name, arguments JSON), then the usage.
struct Completion {
  std::string reasoning;
  std::string content;
  std::vector<std::pair<std::string, std::string>> tool_calls;
  long prompt_tokens = 100;
  long completion_tokens = 20;
};
nlohmann::json completion_body(const Completion& c);
Reply completion_reply(const Completion& c);

// An HTML error page as web frameworks send it (title, heading, message paragraph).
Reply html_error_reply(int status, const std::string& title, const std::string& message);

// GET /models answered with these model ids (none: an empty list).
Reply models_reply(const std::vector<std::string>& ids);

}  // namespace orvo::agent::testing
