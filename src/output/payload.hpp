// Agent events: a name plus a payload map whose keys keep their insertion order.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace orvo {

// Payload values are texts or integers only; yes/no travels as "true"/"false".
using PayloadValue = std::variant<std::string, std::int64_t>;

// A map from string keys to values that iterates in insertion order. Setting an existing key
// overwrites its value in place; a new key is appended.
class PayloadMap {
 public:
  using Entry = std::pair<std::string, PayloadValue>;

  PayloadMap() = default;
  PayloadMap(std::initializer_list<Entry> entries) {
    for (const auto& e : entries) set(e.first, e.second);
  }

  void set(std::string key, PayloadValue value) {
    for (auto& e : entries_) {
      if (e.first == key) {
        e.second = std::move(value);
        return;
      }
    }
    entries_.emplace_back(std::move(key), std::move(value));
  }

  const PayloadValue* find(std::string_view key) const {
    for (const auto& e : entries_) {
      if (e.first == key) return &e.second;
    }
    return nullptr;
  }
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  // The text under `key`, or "" when it is absent or an integer.
  std::string text(std::string_view key) const {
    const auto* v = find(key);
    if (v == nullptr) return {};
    if (const auto* s = std::get_if<std::string>(v)) return *s;
    return {};
  }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  const std::vector<Entry>& entries() const { return entries_; }

  friend bool operator==(const PayloadMap&, const PayloadMap&) = default;

 private:
  std::vector<Entry> entries_;
};

// Each emission gets a fresh map; the subscriber may keep or modify it (the UI bridge posts this
// very object and merges extra entries into it).
using Payload = std::shared_ptr<PayloadMap>;

inline Payload make_payload(std::initializer_list<PayloadMap::Entry> entries = {}) {
  return std::make_shared<PayloadMap>(entries);
}

// The subscriber: called with the event name and its payload, on the reporting thread.
using EventCallback = std::function<void(const std::string& event_type, Payload payload)>;

// The approval slot held for the agent loop: (tool name, command) -> approved.
using ApprovalCallback =
    std::function<bool(const std::string& tool_name, const std::string& command)>;

// The same slot for hosts that show why the command needs consent: (tool name, command, reason)
// -> approved. The reason is a short phrase such as "deletes src/"; it may be empty.
using ReasonedApprovalCallback = std::function<bool(
    const std::string& tool_name, const std::string& command, const std::string& reason)>;

}  // namespace orvo
