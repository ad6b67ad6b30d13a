// Test helpers: capture std::cout (safely against the indicator thread) and record events.
#pragma once

#include <chrono>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "output/output_manager.hpp"

namespace orvo::test {

// A streambuf that collects text under a mutex, so the indicator thread may write to it.
class SyncBuf : public std::streambuf {
 public:
  std::string take() {
    std::lock_guard g(m_);
    return std::exchange(data_, {});
  }
  std::string peek() {
    std::lock_guard g(m_);
    return data_;
  }
  void fail(bool on) {
    std::lock_guard g(m_);
    failing_ = on;
  }

 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    std::lock_guard g(m_);
    if (failing_) return traits_type::eof();
    data_.push_back(traits_type::to_char_type(ch));
    return ch;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard g(m_);
    if (failing_) return 0;
    data_.append(s, static_cast<std::size_t>(n));
    return n;
  }

 private:
  std::mutex m_;
  std::string data_;
  bool failing_ = false;
};

// Points std::cout at a SyncBuf for its lifetime.
class CoutCapture {
 public:
  CoutCapture() : old_(std::cout.rdbuf(&buf_)) {}
  ~CoutCapture() {
    std::cout.rdbuf(old_);
    std::cout.clear();
  }
  std::string take() { return buf_.take(); }
  std::string peek() { return buf_.peek(); }
  void fail(bool on) { buf_.fail(on); }

  // Waits until the captured text contains `needle` (the indicator draws asynchronously).
  bool wait_for(const std::string& needle,
                std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (peek().find(needle) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

 private:
  SyncBuf buf_;
  std::streambuf* old_;
};

struct Recorded {
  std::string name;
  PayloadMap payload;
};

// Installs a subscriber on `out` that records every event.
class EventLog {
 public:
  explicit EventLog(OutputManager& out) {
    out.set_event_callback([this](const std::string& name, Payload payload) {
      std::lock_guard g(m_);
      events_.push_back({name, payload ? *payload : PayloadMap{}});
    });
  }
  std::vector<Recorded> take() {
    std::lock_guard g(m_);
    return std::exchange(events_, {});
  }
  std::vector<std::string> names() {
    std::vector<std::string> n;
    for (auto& e : take()) n.push_back(e.name);
    return n;
  }

 private:
  std::mutex m_;
  std::vector<Recorded> events_;
};

}  // namespace orvo::test
