// A small thread-safe LRU cache bounded by a byte budget. Values are shared immutable objects, so
// a hit hands out a reference without copying and an eviction never invalidates a reader.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace orvo::tui {

struct CacheStats {
  std::size_t hits = 0;
  std::size_t misses = 0;
  std::size_t entries = 0;
  std::size_t bytes = 0;
};

template <typename Value>
class LruCache {
 public:
  explicit LruCache(std::size_t max_bytes) : max_bytes_(max_bytes) {}

  // The cached value for `key`, or null; a hit makes the entry the most recently used.
  std::shared_ptr<const Value> get(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end()) {
      ++stats_.misses;
      return nullptr;
    }
    ++stats_.hits;
    order_.splice(order_.begin(), order_, it->second);
    return it->second->value;
  }

  // Stores `value` under `key` with its approximate size; an entry larger than a quarter of the
  // budget is not kept, so one huge input cannot flush everything else.
  void put(const std::string& key, std::shared_ptr<const Value> value, std::size_t cost) {
    cost += key.size() + kOverhead;
    std::lock_guard lock(mutex_);
    if (cost > max_bytes_ / 4) return;
    auto it = index_.find(key);
    if (it != index_.end()) {
      stats_.bytes -= it->second->cost;
      order_.erase(it->second);
      index_.erase(it);
    }
    order_.push_front(Entry{key, std::move(value), cost});
    index_.emplace(order_.front().key, order_.begin());
    stats_.bytes += cost;
    while (stats_.bytes > max_bytes_ && !order_.empty()) {
      stats_.bytes -= order_.back().cost;
      index_.erase(order_.back().key);
      order_.pop_back();
    }
    stats_.entries = index_.size();
  }

  void clear() {
    std::lock_guard lock(mutex_);
    index_.clear();
    order_.clear();
    stats_ = {};
  }

  CacheStats stats() const {
    std::lock_guard lock(mutex_);
    CacheStats s = stats_;
    s.entries = index_.size();
    return s;
  }

 private:
  static constexpr std::size_t kOverhead = 96;
  struct Entry {
    std::string key;
    std::shared_ptr<const Value> value;
    std::size_t cost;
  };
  mutable std::mutex mutex_;
  std::size_t max_bytes_;
  std::list<Entry> order_;
  std::unordered_map<std::string, typename std::list<Entry>::iterator> index_;
  CacheStats stats_;
};

}  // namespace orvo::tui
