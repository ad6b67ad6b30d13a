#include "http_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace orvo::testing {

HttpServer::HttpServer(Answer answer) : HttpServer(0) {
  Reply reply;
  reply.status = answer.status;
  reply.reason = answer.reason;
  reply.content_type = "application/json";
  reply.chunked = false;
  reply.delay = answer.delay;
  reply.pieces = {{std::move(answer.body), {}}};
  set_responder([reply](const Request&) { return reply; });
}

HttpServer::HttpServer() : HttpServer(0) {}

HttpServer::HttpServer(int port) {
  if (::pipe(stop_pipe_) != 0) throw std::runtime_error("pipe");
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0) {
    throw std::runtime_error(std::string("test server: ") + std::strerror(errno));
  }
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] {
    try {
      accept_loop();
    } catch (...) {
    }
  });
}

HttpServer::~HttpServer() {
  stop();
  ::close(listen_fd_);
  ::close(stop_pipe_[0]);
  ::close(stop_pipe_[1]);
}

void HttpServer::stop() {
  if (stopping_.exchange(true)) return;
  [[maybe_unused]] auto n = ::write(stop_pipe_[1], "x", 1);
  cv_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard g(m_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
}

std::string HttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int HttpServer::closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

void HttpServer::enqueue(Reply r) {
  std::lock_guard g(m_);
  replies_.push_back(std::move(r));
}

void HttpServer::set_responder(std::function<Reply(const Request&)> responder) {
  std::lock_guard g(m_);
  responder_ = std::move(responder);
}

std::vector<Request> HttpServer::requests() const {
  std::lock_guard g(m_);
  return {requests_.begin(), requests_.end()};
}

void HttpServer::keep_requests(std::size_t n) {
  std::lock_guard g(m_);
  keep_requests_ = n;
  while (requests_.size() > keep_requests_) requests_.pop_front();
}

bool HttpServer::wait_for_requests(std::size_t n, std::chrono::milliseconds limit) {
  std::unique_lock g(m_);
  return cv_.wait_for(g, limit, [&] { return requests_seen_ >= n; });
}

void HttpServer::accept_loop() {
  while (!stopping_) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents) return;
    if (!(p[0].revents & POLLIN)) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard g(m_);
    // Join the workers whose connection has ended: an unjoined thread keeps its stack, so a
    // long-running server would grow with every request.
    for (const auto id : finished_workers_) {
      const auto it = std::find_if(workers_.begin(), workers_.end(),
                                   [id](const std::thread& t) { return t.get_id() == id; });
      if (it != workers_.end()) {
        it->join();
        workers_.erase(it);
      }
    }
    finished_workers_.clear();
    workers_.emplace_back([this, fd] {
      try {
        serve(fd);
      } catch (...) {
      }
      ::close(fd);
      ++finished_;
      std::lock_guard done(m_);
      finished_workers_.push_back(std::this_thread::get_id());
    });
  }
}

bool HttpServer::pause(std::chrono::milliseconds d) {
  if (d.count() <= 0) return !stopping_;
  pollfd p{stop_pipe_[0], POLLIN, 0};
  ::poll(&p, 1, static_cast<int>(d.count()));
  return !stopping_;
}

bool HttpServer::send_all(int fd, const std::string& s) {
  std::size_t off = 0;
  while (off < s.size()) {
    const ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

void HttpServer::serve(int fd) {
  std::string in;
  char buf[65536];
  std::size_t header_end = std::string::npos;
  std::size_t need = 0;
  bool continued = false;
  while (true) {
    if (header_end == std::string::npos) {
      header_end = in.find("\r\n\r\n");
      if (header_end != std::string::npos) {
        std::string lower = in.substr(0, header_end);
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (const auto cl = lower.find("content-length:"); cl != std::string::npos) {
          need = std::stoul(lower.substr(cl + 15));
        }
        if (!continued && lower.find("expect: 100-continue") != std::string::npos) {
          continued = true;
          send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n");
        }
      }
    }
    if (header_end != std::string::npos && in.size() >= header_end + 4 + need) break;
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    ::poll(p, 2, -1);
    if (p[1].revents) return;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    in.append(buf, static_cast<std::size_t>(n));
  }
  Request req;
  const std::string head = in.substr(0, header_end);
  const auto sp1 = head.find(' ');
  const auto sp2 = head.find(' ', sp1 + 1);
  req.method = head.substr(0, sp1);
  req.path = head.substr(sp1 + 1, sp2 - sp1 - 1);
  req.headers = head;
  req.body = in.substr(header_end + 4, need);

  Reply reply;
  {
    std::unique_lock g(m_);
    std::function<Reply(const Request&)> responder;
    if (!replies_.empty()) {
      reply = std::move(replies_.front());
      replies_.pop_front();
    } else if (responder_) {
      responder = responder_;
    } else {
      reply.status = 500;
      reply.content_type = "application/json";
      reply.pieces = {{R"({"error":{"message":"no scripted reply left"}})", {}}};
    }
    if (keep_requests_ > 0) {
      if (requests_.size() == keep_requests_) requests_.pop_front();
      requests_.push_back(req);
    }
    ++requests_seen_;
    cv_.notify_all();
    if (responder) {
      g.unlock();
      reply = responder(req);
    }
  }
  if (!pause(reply.delay)) return;
  const std::string reason = !reply.reason.empty() ? reply.reason
                             : reply.status == 200 ? std::string("OK")
                                                   : std::string("Error");
  std::string extra;
  for (const auto& h : reply.headers) extra += h + "\r\n";
  if (!reply.chunked) {
    // One body with its length, as a plain server sends a small answer.
    std::string body;
    for (const auto& piece : reply.pieces) body += piece.bytes;
    extra += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (!send_all(fd, "HTTP/1.1 " + std::to_string(reply.status) + " " + reason +
                          "\r\nContent-Type: " + reply.content_type + "\r\n" + extra +
                          "Connection: close\r\n\r\n")) {
      return;
    }
    for (const auto& piece : reply.pieces) {
      if (!pause(piece.delay)) return;
      if (!piece.bytes.empty() && !send_all(fd, piece.bytes)) return;
    }
  } else {
    if (!send_all(fd, "HTTP/1.1 " + std::to_string(reply.status) + " " + reason +
                          "\r\nContent-Type: " + reply.content_type + "\r\n" + extra +
                          "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n")) {
      return;
    }
    for (const auto& piece : reply.pieces) {
      if (!pause(piece.delay)) return;
      if (piece.bytes.empty()) continue;
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", piece.bytes.size());
      if (!send_all(fd, size + piece.bytes + "\r\n")) return;
    }
  }
  switch (reply.end) {
    case Reply::End::close:
      if (reply.chunked) send_all(fd, "0\r\n\r\n");
      // Let the client read the end before the close.
      ::shutdown(fd, SHUT_WR);
      break;
    case Reply::End::drop:
      ::shutdown(fd, SHUT_RDWR);
      return;
    case Reply::End::stall:
      break;
  }
  // Wait until the client closes (or the server stops).
  while (true) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    ::poll(p, 2, -1);
    if (p[1].revents) return;
    if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
  }
}

std::string Request::line() const {
  return headers.substr(0, headers.find("\r\n"));
}

}  // namespace orvo::testing
