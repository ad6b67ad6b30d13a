// Decodes a chat-completions stream (SSE framing, JSON chunks, tool-call assembly) cut in several
// ways. The fast chunk scanner must agree with the full JSON parse on every chunk it accepts, and
// every split must decode to the same deltas and tool calls.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "agent/chat_stream.hpp"
#include "agent/sse.hpp"
#include "split_plan.hpp"

using namespace orvo::agent;

namespace {

bool same(const ChunkDelta& a, const ChunkDelta& b) {
  if (a.reasoning != b.reasoning || a.content != b.content || a.finish_reason != b.finish_reason ||
      a.done != b.done || a.error != b.error || a.malformed.empty() != b.malformed.empty() ||
      a.usage.has_value() != b.usage.has_value() || a.tool_calls.size() != b.tool_calls.size()) {
    return false;
  }
  if (a.usage && (a.usage->prompt_tokens != b.usage->prompt_tokens ||
                  a.usage->completion_tokens != b.usage->completion_tokens)) {
    return false;
  }
  for (std::size_t i = 0; i < a.tool_calls.size(); ++i) {
    const auto& x = a.tool_calls[i];
    const auto& y = b.tool_calls[i];
    if (x.index != y.index || x.id != y.id || x.name != y.name || x.arguments != y.arguments) {
      return false;
    }
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

// decode_chunk, checked against the reference parse whenever the fast scanner takes the chunk.
ChunkDelta decode_checked(std::string_view data) {
  ChunkDelta d = decode_chunk(data);
  const std::string_view t = trim(data);
  ChunkDelta fast;
  if (t != "[DONE]" && detail::decode_chunk_fast(t, fast)) {
    if (!same(fast, detail::decode_chunk_full(t)) || !same(fast, d)) std::abort();
  }
  return d;
}

struct Outcome {
  std::vector<ChunkDelta> deltas;
  std::vector<ToolCall> calls;
};

Outcome decode_stream(const std::vector<std::string_view>& pieces) {
  SseParser sse;
  ToolCallAssembler calls;
  Outcome out;
  for (const auto piece : pieces) {
    sse.feed(piece, [&](std::string_view, std::string_view data) {
      ChunkDelta d = decode_checked(data);
      for (const auto& tc : d.tool_calls) calls.add(tc);
      out.deltas.push_back(std::move(d));
    });
  }
  out.calls = calls.take();
  return out;
}

bool same(const Outcome& a, const Outcome& b) {
  if (a.deltas.size() != b.deltas.size() || a.calls.size() != b.calls.size()) return false;
  for (std::size_t i = 0; i < a.deltas.size(); ++i) {
    if (!same(a.deltas[i], b.deltas[i])) return false;
  }
  for (std::size_t i = 0; i < a.calls.size(); ++i) {
    if (a.calls[i].id != b.calls[i].id || a.calls[i].name != b.calls[i].name ||
        a.calls[i].arguments != b.calls[i].arguments) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kv_fuzz::kSplitHeader) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + kv_fuzz::kSplitHeader,
                              size - kv_fuzz::kSplitHeader);
  // The body on its own as one event's data, so JSON chunks need no SSE framing to be reached.
  decode_checked(body);
  const Outcome whole = decode_stream(kv_fuzz::split(body, data, 0));
  for (int plan = 1; plan < kv_fuzz::kSplitPlans; ++plan) {
    if (!same(decode_stream(kv_fuzz::split(body, data, plan)), whole)) std::abort();
  }
  return 0;
}
