// label: threaded
// End to end: a worker drives the output controller whose subscriber is the bridge; a headless
// application receives the events on its UI thread and answers an approval.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <thread>

#include "output/output_manager.hpp"
#include "tui/bridge/bridge.hpp"
#include "tui/framework/headless/pilot.hpp"
#include "tui/framework/widgets/app.hpp"
#include "tui/framework/widgets/screen.hpp"

namespace orvo::tui {
namespace {

// The controller's terminal output is not under test here; swallow it (safely across threads).
class NullBuf : public std::streambuf {
 protected:
  int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

TEST(BridgeWithApp, EventsArriveInOrderAndApprovalIsAnsweredOnTheUiThread) {
  NullBuf null;
  std::streambuf* old = std::cout.rdbuf(&null);

  App app;
  app.install_screen("main", std::make_unique<Screen>());
  app.switch_screen("main");
  Pilot pilot(app, {80, 24});
  TUIBridge bridge(app);

  const auto ui_thread = std::this_thread::get_id();
  std::vector<std::string> received;
  std::vector<Payload> payloads;
  std::vector<std::string> approvals_asked;
  bool all_on_ui_thread = true;
  app.on<AgentEvent>([&](AgentEvent& e) {
    all_on_ui_thread = all_on_ui_thread && std::this_thread::get_id() == ui_thread;
    received.push_back(e.event_type);
    payloads.push_back(e.payload);
  });
  app.on<ApprovalRequest>([&](ApprovalRequest& r) {
    all_on_ui_thread = all_on_ui_thread && std::this_thread::get_id() == ui_thread;
    approvals_asked.push_back(r.command);
    bridge.set_approval(r.command.find("--force") == std::string::npos);
  });

  std::vector<std::string> emitted;  // what the controller emitted, in order
  std::vector<bool> answers;
  std::atomic<bool> worker_done{false};
  std::thread worker([&] {
    OutputManager out;
    EventCallback forward = bridge.event_callback();
    out.set_event_callback([&](const std::string& name, Payload p) {
      emitted.push_back(name);
      forward(name, std::move(p));
    });
    out.set_approval_callback(bridge.approval_callback());
    out.start_thinking();
    out.set_stage("planning");
    out.feed_thinking("think");
    const int idx = out.log_tool("bash", "git push --force");
    answers.push_back(out.approval_callback()("bash", "git push --force"));
    out.tool_result("denied by the user", true, idx);
    const int idx2 = out.log_tool("bash", "git push");
    answers.push_back(out.approval_callback()("bash", "git push"));
    out.tool_result("ok", false, idx2);
    for (int i = 0; i < 50; ++i) out.stream("chunk " + std::to_string(i) + " ");
    out.done();
    worker_done = true;
  });
  ASSERT_TRUE(pilot.wait_until([&] { return worker_done && received.size() >= emitted.size(); },
                               std::chrono::seconds(20)));
  worker.join();
  std::cout.rdbuf(old);

  EXPECT_EQ(received, emitted);
  EXPECT_EQ(received.size(), 3u + 4u + 1u + 50u + 1u);
  EXPECT_EQ(approvals_asked, (std::vector<std::string>{"git push --force", "git push"}));
  EXPECT_EQ(answers, (std::vector<bool>{false, true}));
  EXPECT_TRUE(all_on_ui_thread);
  ASSERT_EQ(received.back(), "done");
  EXPECT_EQ(payloads[received.size() - 2]->text("chunk"), "chunk 49 ");
}

// A worker that may outlive the application holds a bridge bound to the application's post handle
// (shared with it), never the App: after the application is closed and destroyed its events are
// dropped and its approvals denied at once, without touching the destroyed App.
TEST(BridgeWithApp, AWorkerLeftBehindIsDeniedAtOnce) {
  struct AgentSide {
    explicit AgentSide(PostHandle handle) : post(std::move(handle)), bridge(post) {}
    PostHandle post;
    TUIBridge bridge;
  };
  auto app = std::make_unique<App>();
  app->install_screen("main", std::make_unique<Screen>());
  app->switch_screen("main");
  std::atomic<int> asked{0};
  app->on<ApprovalRequest>([&](ApprovalRequest&) { asked.fetch_add(1); });  // never answered
  auto pilot = std::make_unique<Pilot>(*app, Size{20, 5});
  auto side = std::make_shared<AgentSide>(app->post_handle());

  std::promise<bool> first, later;
  std::atomic<bool> app_gone{false};
  std::thread worker([side, &first, &later, &app_gone] {
    first.set_value(side->bridge.request_approval("bash", "rm -rf build"));
    while (!app_gone.load()) std::this_thread::yield();
    side->bridge.on_event("content", make_payload({{"chunk", "late"}}));
    later.set_value(side->bridge.request_approval("bash", "rm -rf again"));
  });
  ASSERT_TRUE(pilot->wait_until([&] { return asked.load() == 1; }, std::chrono::seconds(10)));
  auto first_answer = first.get_future();
  // The host closes the application, then releases the worker that still waits for an answer.
  app->close();
  EXPECT_EQ(first_answer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  side->bridge.set_approval(false);
  ASSERT_EQ(first_answer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(first_answer.get());

  pilot.reset();
  app.reset();
  app_gone = true;
  auto later_answer = later.get_future();
  ASSERT_EQ(later_answer.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << "an approval on a destroyed application must not wait";
  EXPECT_FALSE(later_answer.get());
  worker.join();
}

}  // namespace
}  // namespace orvo::tui
