#include "tui/bridge/bridge.hpp"

#include <memory>
#include <stdexcept>
#include <utility>

namespace orvo::tui {

AgentEvent::AgentEvent(std::string event_type_, Payload payload_)
    : Message(), event_type(std::move(event_type_)), payload([&] {
        if (!payload_) throw std::invalid_argument("AgentEvent needs a payload map");
        return std::move(payload_);
      }()) {}

ApprovalRequest::ApprovalRequest(std::string tool_name_, std::string command_, std::string reason_)
    : Message(),
      tool_name(std::move(tool_name_)),
      command(std::move(command_)),
      reason(std::move(reason_)) {}

bool ApprovalSlot::clear() {
  std::lock_guard g(m_);
  if (closed_) return false;
  flag_ = false;
  result_ = false;
  return true;
}

void ApprovalSlot::close() {
  {
    std::lock_guard g(m_);
    closed_ = true;
    result_ = false;
    flag_ = true;
  }
  cv_.notify_all();
}

void ApprovalSlot::set(bool result) {
  {
    std::lock_guard g(m_);
    result_ = result;
    flag_ = true;
  }
  cv_.notify_all();
}

bool ApprovalSlot::wait() {
  std::unique_lock g(m_);
  cv_.wait(g, [&] { return flag_ || closed_; });
  return closed_ ? false : result_;
}

bool ApprovalSlot::is_set() const {
  std::lock_guard g(m_);
  return flag_;
}

TUIBridge::TUIBridge(MessageTarget& tui_app_) : tui_app(tui_app_) {}

void TUIBridge::on_event(const std::string& event_type, Payload payload, Keywords keywords) {
  if (!payload) {
    payload = std::make_shared<PayloadMap>();
    for (auto& [key, value] : keywords) payload->set(std::move(key), std::move(value));
  } else {
    for (auto& [key, value] : keywords) payload->set(std::move(key), std::move(value));
  }
  try {
    // A closed application refuses the event (false): it is dropped, as nobody would show it.
    (void)tui_app.post_message(std::make_shared<AgentEvent>(event_type, std::move(payload)));
  } catch (const std::exception&) {
    // A target that fails to post: the event is dropped too.
  }
}

bool TUIBridge::request_approval(const std::string& tool_name, const std::string& command,
                                 const std::string& reason) {
  if (!_approval_event.clear()) return false;  // the UI is gone: nobody could answer
  // A closed application would never show the prompt: denied at once instead of a wait forever.
  if (!tui_app.post_message(std::make_shared<ApprovalRequest>(tool_name, command, reason)))
    return false;
  return _approval_event.wait();
}

void TUIBridge::set_approval(bool approved) {
  _approval_event.set(approved);
}

void TUIBridge::close() {
  _approval_event.close();
}

EventCallback TUIBridge::event_callback() {
  return [this](const std::string& event_type, Payload payload) {
    on_event(event_type, std::move(payload));
  };
}

ApprovalCallback TUIBridge::approval_callback() {
  return [this](const std::string& tool_name, const std::string& command) {
    return request_approval(tool_name, command);
  };
}

ReasonedApprovalCallback TUIBridge::reasoned_approval_callback() {
  return [this](const std::string& tool_name, const std::string& command,
                const std::string& reason) { return request_approval(tool_name, command, reason); };
}

}  // namespace orvo::tui
