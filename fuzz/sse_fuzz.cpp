// Feeds bytes to the SSE parser cut in several ways; every split must give the same events.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/sse.hpp"
#include "split_plan.hpp"

using orvo::agent::SseParser;

namespace {

struct Outcome {
  std::vector<std::pair<std::string, std::string>> events;
  bool partial = false;
  bool operator==(const Outcome&) const = default;
};

Outcome parse(const std::vector<std::string_view>& pieces) {
  SseParser p;
  Outcome out;
  for (const auto piece : pieces) {
    p.feed(piece, [&](std::string_view ev, std::string_view data) {
      out.events.emplace_back(std::string(ev), std::string(data));
    });
  }
  out.partial = p.has_partial();
  // Far below kMaxEventBytes nothing may be dropped.
  if (p.dropped() != 0) std::abort();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kv_fuzz::kSplitHeader) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + kv_fuzz::kSplitHeader,
                              size - kv_fuzz::kSplitHeader);
  const Outcome whole = parse(kv_fuzz::split(body, data, 0));
  for (int plan = 1; plan < kv_fuzz::kSplitPlans; ++plan) {
    if (parse(kv_fuzz::split(body, data, plan)) != whole) std::abort();
  }
  return 0;
}
