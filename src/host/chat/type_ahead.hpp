// What the user has typed and queued, for the output controller's status block, which reads it on
// its indicator thread while the UI thread writes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

#include "output/output_manager.hpp"

namespace orvo::host {

class TypeAhead : public InputField {
 public:
  void collect_typeahead() override {}
  std::string get_typeahead_text() override {
    std::lock_guard lock(m_);
    return text_;
  }
  std::size_t queue_length() override { return queued_.load(); }
  void set_text(std::string t) {
    std::lock_guard lock(m_);
    text_ = std::move(t);
  }
  void set_queued(std::size_t n) { queued_.store(n); }

 private:
  std::mutex m_;
  std::string text_;
  std::atomic<std::size_t> queued_{0};
};

}  // namespace orvo::host
