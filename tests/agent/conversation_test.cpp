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

TEST(Conversation, UserMessagesInARowAreMerged) {
  Conversation c;
  c.add_user("a");
  c.add_user("b");
  ASSERT_EQ(c.messages().size(), 1u);
  EXPECT_EQ(c.messages()[0]["content"], "a\n\nb");
}

}  // namespace
}  // namespace orvo::agent
