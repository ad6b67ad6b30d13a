// A small OpenAI-compatible chat-completions server on the loopback address, for tests: each
// request gets the next scripted reply (or the responder's), sent as chunked HTTP in timed pieces,
// so streams can be split at any byte, trickled, stalled or dropped mid-answer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvo::agent::testing {

struct Piece {
  std::string bytes;
  std::chrono::milliseconds delay{0};  // wait before sending
};

struct Reply {
  int status = 200;
  std::string content_type = "text/event-stream";
  std::vector<std::string> headers;  // extra header lines, e.g. "Location: /next"
  std::vector<Piece> pieces;
  // close: end the chunked body properly; stall: send nothing more and keep the connection open;
  // drop: close the connection without ending the body.
  enum class End { close, stall, drop } end = End::close;
};

struct Request {
  std::string method;
  std::string path;
  std::string headers;  // raw, lower-cased names kept as sent
  std::string body;
  nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
};

class FakeOpenAIServer {
 public:
  FakeOpenAIServer();  // listens on 127.0.0.1 at a free port
  explicit FakeOpenAIServer(int port);
  ~FakeOpenAIServer();
  FakeOpenAIServer(const FakeOpenAIServer&) = delete;
  FakeOpenAIServer& operator=(const FakeOpenAIServer&) = delete;

  int port() const { return port_; }
  std::string endpoint() const;  // "http://127.0.0.1:PORT/v1"

  void enqueue(Reply r);
  // Used when no scripted reply is left (else such a request gets a 500 error).
  void set_responder(std::function<Reply(const Request&)> responder);

  // The requests received, oldest first (only the last `keep_requests` of them).
  std::vector<Request> requests() const;
  // A long-running server keeps only the last n requests, so its memory stays flat.
  void keep_requests(std::size_t n);
  bool wait_for_requests(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Number of connections whose handler has finished (the client closed or the reply ended).
  std::size_t finished_connections() const { return finished_.load(); }
  // Stops accepting and ends every connection (also stalled ones).
  void stop();

 private:
  void accept_loop();
  void serve(int fd);
  bool send_all(int fd, const std::string& s);
  bool pause(std::chrono::milliseconds d);

  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> finished_{0};
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::deque<Reply> replies_;
  std::function<Reply(const Request&)> responder_;
  std::deque<Request> requests_;
  std::size_t requests_seen_ = 0;
  std::size_t keep_requests_ = static_cast<std::size_t>(-1);
  std::vector<std::thread> workers_;
  std::vector<std::thread::id> finished_workers_;  // done with their connection, to be joined
  std::thread acceptor_;
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
