// label: threaded
#include "tui/bridge/bridge.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

namespace orvo::tui {
namespace {

using namespace std::chrono_literals;

// Records every posted message; optionally fails, refuses (closed) or reacts to a post.
class FakeApp : public MessageTarget {
 public:
  bool post_message(MessagePtr message) override {
    if (fail) throw std::runtime_error("application closed");
    if (refuse) return false;
    {
      std::lock_guard g(m);
      posted.push_back(message);
    }
    cv.notify_all();
    if (on_post) on_post(*message);
    return true;
  }
  MessagePtr wait_next() {
    std::unique_lock g(m);
    cv.wait(g, [&] { return !posted.empty(); });
    auto msg = posted.front();
    posted.pop_front();
    return msg;
  }
  std::size_t count() {
    std::lock_guard g(m);
    return posted.size();
  }

  std::atomic<bool> fail{false};
  std::atomic<bool> refuse{false};
  std::function<void(Message&)> on_post;
  std::mutex m;
  std::condition_variable cv;
  std::deque<MessagePtr> posted;
};

TEST(BridgeEvents, PayloadIsTheCallersMapWithKeywordsMerged) {
  FakeApp app;
  TUIBridge bridge(app);
  Payload m = make_payload({{"a", std::int64_t{1}}, {"z", "keep"}});
  bridge.on_event("tool_start", m, {{"a", std::int64_t{2}}, {"b", std::int64_t{3}}});
  ASSERT_EQ(app.count(), 1u);
  auto* ev = dynamic_cast<AgentEvent*>(app.posted[0].get());
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(ev->event_type, "tool_start");
  EXPECT_EQ(ev->payload.get(), m.get());  // the same object, not a copy
  EXPECT_EQ(*m, (PayloadMap{{"a", std::int64_t{2}}, {"z", "keep"}, {"b", std::int64_t{3}}}));
}

TEST(BridgeEvents, AbsentPayloadBecomesTheKeywordMap) {
  FakeApp app;
  TUIBridge bridge(app);
  bridge.on_event("done");
  bridge.on_event("stage", nullptr, {{"a", std::int64_t{1}}});
  ASSERT_EQ(app.count(), 2u);
  auto* first = dynamic_cast<AgentEvent*>(app.posted[0].get());
  auto* second = dynamic_cast<AgentEvent*>(app.posted[1].get());
  ASSERT_TRUE(first && second);
  ASSERT_NE(first->payload, nullptr);
  EXPECT_TRUE(first->payload->empty());
  EXPECT_EQ(*second->payload, (PayloadMap{{"a", std::int64_t{1}}}));
}

TEST(BridgeEvents, FailingApplicationIsContained) {
  FakeApp app;
  app.fail = true;
  TUIBridge bridge(app);
  EXPECT_NO_THROW(bridge.on_event("content", make_payload({{"chunk", "x"}})));
  EXPECT_EQ(app.count(), 0u);
  app.fail = false;
  bridge.on_event("done");  // nothing was retried, the next one goes through
  EXPECT_EQ(app.count(), 1u);
}

TEST(BridgeMessages, ConstructorsKeepFieldsAndRejectAnAbsentPayload) {
  EXPECT_THROW(AgentEvent("done", nullptr), std::invalid_argument);
  ApprovalRequest req("bash", "rm -rf build");
  EXPECT_EQ(req.tool_name, "bash");
  EXPECT_EQ(req.command, "rm -rf build");
}

TEST(BridgeApproval, AnswersTrueAndFalseFromTheUiThread) {
  for (bool answer : {true, false}) {
    FakeApp app;
    TUIBridge bridge(app);
    std::thread ui([&] {
      auto msg = app.wait_next();
      auto* req = dynamic_cast<ApprovalRequest*>(msg.get());
      ASSERT_NE(req, nullptr);
      EXPECT_EQ(req->tool_name, "bash");
      EXPECT_EQ(req->command, "git push --force");
      bridge.set_approval(answer);
    });
    EXPECT_EQ(bridge.request_approval("bash", "git push --force"), answer);
    ui.join();
  }
}

TEST(BridgeApproval, AnswerBetweenPostAndWaitIsNotLost) {
  FakeApp app;
  TUIBridge bridge(app);
  app.on_post = [&](Message&) { bridge.set_approval(true); };  // answered during the post
  EXPECT_TRUE(bridge.request_approval("bash", "rm x"));
}

TEST(BridgeApproval, TheReasonTravelsWithTheRequest) {
  FakeApp app;
  TUIBridge bridge(app);
  std::vector<std::string> reasons;
  app.on_post = [&](Message& m) {
    if (auto* req = dynamic_cast<ApprovalRequest*>(&m)) reasons.push_back(req->reason);
    bridge.set_approval(true);
  };
  EXPECT_TRUE(bridge.request_approval("bash", "rm -rf src", "deletes src/"));
  EXPECT_TRUE(bridge.reasoned_approval_callback()("bash", "rm x", "deletes x"));
  EXPECT_TRUE(bridge.approval_callback()("bash", "rm y"));
  EXPECT_EQ(reasons, (std::vector<std::string>{"deletes src/", "deletes x", ""}));
}

TEST(BridgeApproval, StaleAnswerIsDiscarded) {
  FakeApp app;
  TUIBridge bridge(app);
  bridge.set_approval(true);  // nobody waits: harmless
  std::atomic<bool> returned{false};
  std::atomic<bool> result{true};
  std::thread worker([&] {
    result = bridge.request_approval("bash", "rm x");
    returned = true;
  });
  app.wait_next();
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned);  // still blocked: the earlier answer did not count
  bridge.set_approval(false);
  worker.join();
  EXPECT_FALSE(result);
}

TEST(BridgeApproval, PostingFailureReachesTheWorkerAndNothingWaits) {
  FakeApp app;
  app.fail = true;
  TUIBridge bridge(app);
  EXPECT_THROW(bridge.request_approval("bash", "rm x"), std::runtime_error);
}

TEST(BridgeApproval, RefusedPostIsDeniedAtOnce) {
  FakeApp app;
  app.refuse = true;
  TUIBridge bridge(app);
  auto answer =
      std::async(std::launch::async, [&] { return bridge.request_approval("bash", "x"); });
  ASSERT_EQ(answer.wait_for(5s), std::future_status::ready) << "blocked on a closed application";
  EXPECT_FALSE(answer.get());
  EXPECT_NO_THROW(bridge.on_event("done"));  // a refused event is dropped quietly
  // The refusal left no stale state: the next request is answered as usual.
  app.refuse = false;
  app.on_post = [&](Message&) { bridge.set_approval(true); };
  EXPECT_TRUE(bridge.request_approval("bash", "y"));
}

TEST(BridgeApproval, CloseReleasesAWaiterAndAnswersLaterRequests) {
  FakeApp app;
  TUIBridge bridge(app);
  bridge.close();  // nobody waits: safe
  EXPECT_FALSE(bridge.request_approval("bash", "rm x"));
  EXPECT_EQ(app.count(), 0u);  // nothing posted to a closed application

  FakeApp app2;
  TUIBridge waiting(app2);
  std::atomic<int> result{-1};
  std::thread worker([&] { result = waiting.request_approval("bash", "rm x") ? 1 : 0; });
  app2.wait_next();
  waiting.close();
  worker.join();
  EXPECT_EQ(result, 0);
  waiting.set_approval(true);  // a late answer after closing changes nothing
  EXPECT_FALSE(waiting.request_approval("bash", "again"));
}

// Many requests, each answered by the UI thread as soon as it sees it, sometimes before the
// worker reaches its wait: every answer must reach the request it belongs to.
TEST(BridgeApproval, RequestAnswerRace) {
  FakeApp app;
  TUIBridge bridge(app);
  constexpr int kRounds = 2000;
  std::thread ui([&] {
    for (int i = 0; i < kRounds; ++i) {
      auto msg = app.wait_next();
      bridge.set_approval(i % 3 != 0);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_EQ(bridge.request_approval("bash", std::to_string(i)), i % 3 != 0) << i;
  }
  ui.join();
}

}  // namespace
}  // namespace orvo::tui
