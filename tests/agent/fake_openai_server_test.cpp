// The fake server itself runs for hours in soak runs and end-to-end sessions: it must not grow.
// label: threaded
#include "fake_openai_server.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "agent/http.hpp"

namespace orvo::agent::testing {
namespace {

// A thread that has ended but was never joined keeps its stack mapped: count the mappings.
std::size_t mapping_count() {
  std::ifstream maps("/proc/self/maps");
  std::size_t n = 0;
  for (std::string line; std::getline(maps, line);) ++n;
  return n;
}

TEST(FakeOpenAIServer, ManyRequestsLeaveNeitherStacksNorRequestsBehind) {
  FakeOpenAIServer server;
  server.keep_requests(3);
  server.set_responder([](const Request&) { return stream_reply({kDone}); });
  Canceller canceller;
  const auto request = [&](int i) {
    HttpRequest req;
    req.url = server.endpoint() + "/chat/completions";
    req.body = std::to_string(i);
    return http_transfer(
        req, [](std::string_view) { return true; }, canceller);
  };
  // The first transfers map what lasts (libraries, allocator arenas): count from after them.
  constexpr int kWarmUp = 5;
  constexpr int kRequests = 45;
  for (int i = 0; i < kWarmUp; ++i) ASSERT_EQ(request(i).kind, HttpOutcome::Kind::ok);
  [[maybe_unused]] const std::size_t mappings_before = mapping_count();
  for (int i = kWarmUp; i < kRequests; ++i) {
    const auto outcome = request(i);
    ASSERT_EQ(outcome.kind, HttpOutcome::Kind::ok) << outcome.message;
  }
  EXPECT_TRUE(server.wait_for_requests(kRequests));
  const auto kept = server.requests();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept.front().body, "42");
  EXPECT_EQ(kept.back().body, "44");
  // Finished connections are joined as new ones arrive, so their stacks are reused rather than
  // piling up (two mappings each); a few may still be winding down. The thread sanitizer maps
  // state of its own for every thread it has seen, so the count means nothing there.
#if !defined(__SANITIZE_THREAD__)
  EXPECT_LE(mapping_count(), mappings_before + 10);
#endif
}

// The slicer writes what JSON.stringify writes for each slice, so a split pair arrives as two lone
// surrogate escapes.
TEST(FakeOpenAIServer, JavaScriptSlicesSplitSurrogatePairs) {
  EXPECT_EQ(js_json_string(u"a\U0001F600\"\\\n"), "\"a\xF0\x9F\x98\x80\\\"\\\\\\n\"");
  EXPECT_EQ(js_json_string(std::u16string(1, u'\xD83D')), R"("\ud83d")");
  const auto events = js_sliced_events("content", "x\xF0\x9F\x98\x80", 2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NE(events[0].find(R"("content":"x\ud83d")"), std::string::npos) << events[0];
  EXPECT_NE(events[1].find(R"("content":"\ude00")"), std::string::npos) << events[1];
}

}  // namespace
}  // namespace orvo::agent::testing
