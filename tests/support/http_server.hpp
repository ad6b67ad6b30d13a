// A small HTTP/1.1 server on the loopback address, shared by the tests: each request gets the next
// scripted reply (or the responder's, or a canned answer), sent in timed pieces, chunked or with a
// length, so answers can be split at any byte, delayed, trickled, stalled or dropped mid-answer.
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

namespace orvo::testing {

struct Piece {
  std::string bytes;
  std::chrono::milliseconds delay{0};  // wait before sending
};

struct Reply {
  int status = 200;
  std::string reason;  // empty: "OK" for 200, else "Error"
  std::string content_type = "text/event-stream";
  // Chunked transfer encoding; false: a Content-Length body (the pieces joined).
  bool chunked = true;
  std::chrono::milliseconds delay{0};  // before the status line (a slow or hung server)
  std::vector<std::string> headers;    // extra header lines, e.g. "Location: /next"
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
  std::string line() const;  // the request line, e.g. "GET /v1/models HTTP/1.1"
};

class HttpServer {
 public:
  // A canned answer to every request, sent with a Content-Length after `delay`.
  struct Answer {
    int status = 200;
    std::string reason = "OK";
    std::string body;
    std::chrono::milliseconds delay{0};
  };

  HttpServer();  // listens on 127.0.0.1 at a free port
  explicit HttpServer(int port);
  explicit HttpServer(Answer answer);
  virtual ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& path = "/v1") const;  // "http://127.0.0.1:PORT<path>"
  std::string endpoint() const { return url("/v1"); }
  // A port on which nothing listens (connecting is refused).
  static int closed_port();

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

}  // namespace orvo::testing
