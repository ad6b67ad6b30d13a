// UI messages: values posted from any thread and handled on the UI thread.
#pragma once

#include <memory>

namespace orvo::tui {

// Base of every UI message. Subclasses add their own fields.
class Message {
 public:
  Message() = default;
  virtual ~Message() = default;
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
};

using MessagePtr = std::shared_ptr<Message>;

// Anything that accepts messages for its UI thread. `post_message` may be called from any thread;
// it queues the message and returns at once (the application implements it; tests use fakes).
// It returns whether the message was taken: false once the target is closed (or for no message),
// and then the message is never handled.
class MessageTarget {
 public:
  virtual ~MessageTarget() = default;
  virtual bool post_message(MessagePtr message) = 0;
};

}  // namespace orvo::tui
