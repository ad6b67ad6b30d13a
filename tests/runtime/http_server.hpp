// A small HTTP server on the loopback address for tests: every request gets the same canned
// answer, after an optional delay. Records the request lines it saw.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace orvo::testing {

class HttpServer {
 public:
  struct Answer {
    int status = 200;
    std::string reason = "OK";
    std::string body;
    std::chrono::milliseconds delay{0};  // before answering (a slow or hung server)
  };

  explicit HttpServer(Answer answer) : answer_(std::move(answer)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0)
      throw std::runtime_error("test server: cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~HttpServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }

  int port() const { return port_; }
  std::string url(const std::string& path = "/v1") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<std::string> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  // A port on which nothing listens (connecting is refused).
  static int closed_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
  }

 private:
  bool wait_readable(int fd, std::chrono::milliseconds for_at_most) {
    const auto until = std::chrono::steady_clock::now() + for_at_most;
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) return true;
      if (std::chrono::steady_clock::now() >= until) return false;
    }
    return false;
  }

  void serve() {
    while (!stop_) {
      if (!wait_readable(fd_, std::chrono::hours(1))) continue;
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      std::string request;
      char buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos &&
             wait_readable(c, std::chrono::seconds(2))) {
        const ssize_t n = ::read(c, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
      }
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request.substr(0, request.find("\r\n")));
      }
      // Waits in small steps so that the server stops at once.
      const auto until = std::chrono::steady_clock::now() + answer_.delay;
      while (!stop_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const std::string out = "HTTP/1.1 " + std::to_string(answer_.status) + " " + answer_.reason +
                              "\r\nContent-Type: application/json\r\n" +
                              "Content-Length: " + std::to_string(answer_.body.size()) +
                              "\r\nConnection: close\r\n\r\n" + answer_.body;
      if (!stop_) {
        [[maybe_unused]] auto n = ::send(c, out.data(), out.size(), MSG_NOSIGNAL);
      }
      ::close(c);
    }
  }

  Answer answer_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace orvo::testing
