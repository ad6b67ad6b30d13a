// Decoding of one chat-completions stream: the data of each server-sent event is a JSON chunk
// (or "[DONE]"); its first choice's delta carries reasoning, answer text or tool-call fragments,
// and a final chunk with empty choices may carry the token usage. A complete (non-streamed)
// answer, whose first choice has a "message" instead of a "delta", decodes the same way.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::agent {

struct Usage {
  std::int64_t prompt_tokens = 0;
  std::int64_t completion_tokens = 0;
};

struct ToolCallDelta {
  int index = -1;  // -1 when the server sent none
  std::string id;
  std::string name;
  std::string arguments;
};

// What one event contributed.
struct ChunkDelta {
  std::string reasoning;
  std::string content;
  std::vector<ToolCallDelta> tool_calls;
  std::optional<Usage> usage;
  std::string finish_reason;
  bool done = false;      // "[DONE]"
  std::string error;      // an error object sent inside the stream
  std::string malformed;  // why the event was skipped (not JSON, not an object, ...)
};

// Decodes the data of one event. Never throws on any input.
//
// Servers written in JavaScript cut strings by UTF-16 code units, so a surrogate pair may be split
// between two events ("\ud83d" ending one delta, "\ude00" starting the next). Such a lone
// surrogate does not make the event malformed: in reasoning, content and tool-call arguments it is
// kept as its three-byte form (0xED 0xA0..0xBF 0x80..0xBF, not valid UTF-8) for StreamDecoder to
// join with its other half; everywhere else it reads as U+FFFD.
ChunkDelta decode_chunk(std::string_view data);

// Joins the halves of surrogate pairs split between the deltas of one field. Whatever is passed
// through it comes out as valid UTF-8: a high surrogate at the very end is held back for the next
// piece (one code unit, so memory stays bounded), any other lone surrogate becomes U+FFFD.
class SurrogateJoiner {
 public:
  std::string join(std::string_view piece);
  // The end of the field: a high surrogate still held is U+FFFD.
  std::string finish();
  bool pending() const { return pending_ != 0; }

 private:
  char16_t pending_ = 0;
};

// Decodes the events of one answer in order, joining split surrogate pairs per field (reasoning,
// content, the arguments of each tool call). Text fields of what it returns are valid UTF-8.
class StreamDecoder {
 public:
  ChunkDelta decode(std::string_view data);
  // What the end of the answer leaves: a held high surrogate of a field, as U+FFFD.
  ChunkDelta finish();

 private:
  SurrogateJoiner reasoning_;
  SurrogateJoiner content_;
  std::map<int, SurrogateJoiner> arguments_;  // by tool-call index; only those holding a half
};

// The two ways decode_chunk reads a JSON chunk (data already trimmed), exposed so tests can hold
// them to the same results. The fast one handles the common text-only chunk and returns false,
// leaving `out` alone, for anything else; the full one handles everything.
namespace detail {
bool decode_chunk_fast(std::string_view trimmed, ChunkDelta& out);
ChunkDelta decode_chunk_full(std::string_view trimmed);
}  // namespace detail

// A tool call assembled from its streamed fragments.
struct ToolCall {
  std::string id;
  std::string name;
  std::string arguments;  // JSON text as the model wrote it
};

// Joins fragments by their index; fragments without an index (some servers send each call whole
// in one chunk) start a new call when they bring a name or id, else extend the last one.
class ToolCallAssembler {
 public:
  void add(const ToolCallDelta& d);
  bool empty() const { return calls_.empty(); }
  // The calls in index order, with ids filled in where the server sent none.
  std::vector<ToolCall> take();

 private:
  struct Slot {
    int index;
    ToolCall call;
  };
  std::vector<Slot> calls_;
};

}  // namespace orvo::agent
