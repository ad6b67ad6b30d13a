#include "agent/conversation.hpp"

#include <gtest/gtest.h>

namespace orvo::agent {
namespace {

using nlohmann::json;

json tool(const std::string& text) {
  return {{"role", "tool"}, {"tool_call_id", "c"}, {"content", text}};
}

TEST(Conversation, BudgetDropsOldestToolOutputsFirstThenWholeTurns) {
  Conversation c;
  c.add_user("first question");
  c.add({{"role", "assistant"}, {"content", ""}, {"tool_calls", json::array()}});
  c.add(tool(std::string(4000, 'a')));
  c.add(tool(std::string(4000, 'b')));
  c.add({{"role", "assistant"}, {"content", "answer one"}});
  c.add_user("second question");
  c.add(tool(std::string(4000, 'c')));
  const auto total = c.estimate();
  // Room for everything but about one tool output: only the oldest goes.
  c.fit(total - 900);
  EXPECT_EQ(c.messages()[2]["content"], kDroppedOutput);
  EXPECT_EQ(c.messages()[3]["content"], std::string(4000, 'b'));
  EXPECT_EQ(c.messages()[6]["content"], std::string(4000, 'c'));
  // Far too small: all tool outputs go, then the first turn; the last user message stays.
  c.fit(10);
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c.messages()[0]["content"], "second question");
  EXPECT_EQ(c.messages()[1]["content"], kDroppedOutput);
  EXPECT_EQ(c.messages().size(), 2u);
}

// A turn that failed left its prompt unanswered, and the next prompt used to be merged into it;
// a turn stopped between a tool call and its result left a call the server refuses to continue.
TEST(Conversation, AFailedTurnIsClosedAndEveryPromptIsItsOwnMessage) {
  const json call = {
      {"role", "assistant"},
      {"content", ""},
      {"tool_calls", json::array({{{"id", "c1"}, {"function", {{"name", "bash"}}}},
                                  {{"id", "c2"}, {"function", {{"name", "grep"}}}}})}};
  const json result1 = {{"role", "tool"}, {"tool_call_id", "c1"}, {"content", "ok"}};
  struct Case {
    const char* name;
    std::vector<json> before;  // after the first prompt
    std::vector<std::string> roles;
  };
  const Case cases[] = {
      {"no answer at all", {}, {"user", "assistant", "user"}},
      {"part of an answer",
       {{{"role", "assistant"}, {"content", "half"}}},
       {"user", "assistant", "user"}},
      {"calls without results", {call}, {"user", "assistant", "tool", "tool", "user"}},
      {"one call answered", {call, result1}, {"user", "assistant", "tool", "tool", "user"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Conversation conv;
    conv.add_user("a");
    for (const auto& m : c.before) conv.add(m);
    conv.close_failed_turn("the request failed: HTTP 500");
    conv.add_user("b");
    std::vector<std::string> roles;
    for (const auto& m : conv.messages()) roles.push_back(m["role"]);
    EXPECT_EQ(roles, c.roles);
    EXPECT_EQ(conv.messages().front()["content"], "a");
    EXPECT_EQ(conv.messages().back()["content"], "b");
    std::vector<std::string> answered;
    for (const auto& m : conv.messages())
      if (m["role"] == "tool") answered.push_back(m["tool_call_id"]);
    if (!answered.empty()) {
      EXPECT_EQ(answered, (std::vector<std::string>{"c1", "c2"}));
      EXPECT_EQ(conv.messages()[3]["content"], "[the request failed: HTTP 500]");
    }
  }
  // Without an explicit close, the next prompt still does not join the unanswered one.
  Conversation conv;
  conv.add_user("a");
  conv.add_user("b");
  ASSERT_EQ(conv.messages().size(), 3u);
  EXPECT_EQ(conv.messages()[1]["role"], "assistant");
}

}  // namespace
}  // namespace orvo::agent
