// The only path between the agent's worker thread and the UI thread: agent events travel as
// AgentEvent messages, and an approval request blocks the worker until the UI answers.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "output/payload.hpp"
#include "tui/framework/message.hpp"

namespace orvo::tui {

// Event from the agent loop, posted to the application.
class AgentEvent : public Message {
 public:
  // `payload` must be a map: an absent one is rejected before anything is stored.
  AgentEvent(std::string event_type, Payload payload);
  const std::string event_type;
  const Payload payload;
};

// Agent needs user approval for a destructive command.
class ApprovalRequest : public Message {
 public:
  ApprovalRequest(std::string tool_name, std::string command, std::string reason = "");
  const std::string tool_name;
  const std::string command;
  const std::string reason;  // why it needs consent ("deletes src/"); may be empty
};

// A flag threads can set, clear and wait for, carrying the answer with it.
class ApprovalSlot {
 public:
  bool clear();           // flag down, result false; false once closed
  void set(bool result);  // result stored first, then the waiter released
  bool wait();            // blocks until set or closed; returns the stored result
  void close();           // releases any waiter with false, for good
  bool is_set() const;

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool flag_ = false;
  bool result_ = false;
  bool closed_ = false;
};

// Adapts the output controller to UI messages.
class TUIBridge {
 public:
  using Keywords = std::vector<PayloadMap::Entry>;

  // Holds `tui_app` without owning it; calls nothing on it here. A bridge used by a thread that
  // may outlive the application is bound to the application's PostHandle, not to the App.
  explicit TUIBridge(MessageTarget& tui_app);

  // The subscriber of the output controller. The posted AgentEvent carries `payload` itself;
  // keyword entries are merged into it in place (existing keys overwritten, new ones appended).
  // An absent payload becomes the keyword map. Errors while building or posting are swallowed,
  // and an event the application refuses (closed) is dropped.
  void on_event(const std::string& event_type, Payload payload = nullptr, Keywords keywords = {});

  // Posts an ApprovalRequest and blocks until set_approval; returns the answer. A refused post
  // (the application is closed) returns false (denied) at once; an error while posting reaches
  // the caller. Either way nothing waits. Never call it on the UI thread.
  bool request_approval(const std::string& tool_name, const std::string& command,
                        const std::string& reason = "");

  // The user's answer: stored first, then the waiting worker is released. Safe when nobody waits.
  void set_approval(bool approved);

  // For a closing application: releases a waiting worker with "denied" and answers every later
  // request with "denied" at once, so no worker can block on a UI that is gone.
  void close();

  // Callables for OutputManager::set_event_callback / set_approval_callback.
  EventCallback event_callback();
  ApprovalCallback approval_callback();
  ReasonedApprovalCallback reasoned_approval_callback();

  MessageTarget& tui_app;

 private:
  ApprovalSlot _approval_event;
};

}  // namespace orvo::tui
