// label: threaded
#include "tui/framework/text/lru_cache.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tui/framework/markdown/markdown.hpp"

namespace orvo::tui {
namespace {

std::shared_ptr<const std::string> value(const char* s) {
  return std::make_shared<const std::string>(s);
}

// An entry costs its key plus a fixed overhead (96) plus the given cost: with 300 each, a budget
// of 1600 holds four.
TEST(MarkdownLruCache, EvictsLeastRecentlyUsedWithinBudget) {
  LruCache<std::string> cache(1600);
  for (const char* k : {"a", "b", "c", "d"}) cache.put(k, value(k), 300);
  ASSERT_NE(cache.get("a"), nullptr);  // "a" is now the most recent
  cache.put("e", value("E"), 300);
  cache.put("f", value("F"), 300);
  for (const char* k : {"a", "d", "e", "f"}) EXPECT_NE(cache.get(k), nullptr) << k;
  for (const char* k : {"b", "c"}) EXPECT_EQ(cache.get(k), nullptr) << k;
  EXPECT_LE(cache.stats().bytes, 1600u);
}

TEST(MarkdownLruCache, OversizedEntriesAreNotKeptAndReplacingUpdates) {
  LruCache<std::string> cache(2000);
  cache.put("big", value("X"), 600);  // more than a quarter of the budget
  EXPECT_EQ(cache.get("big"), nullptr);
  cache.put("k", value("1"), 10);
  cache.put("k", value("2"), 10);
  EXPECT_EQ(*cache.get("k"), "2");
  EXPECT_EQ(cache.stats().entries, 1u);
  cache.clear();
  EXPECT_EQ(cache.get("k"), nullptr);
  EXPECT_EQ(cache.stats().bytes, 0u);
}

// Renders from several threads share both caches; every thread must see the same rows.
TEST(MarkdownLruCache, ConcurrentRendersAgree) {
  Markdown::clear_cache();
  ConsoleOptions o;
  o.color_system = ColorSystem::TrueColor;
  o.force_terminal = true;
  const Console console(o);
  std::vector<std::vector<std::string>> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const Markdown md("# " + std::to_string(i % 5) + "\n\n```rust\nfn f() -> u32 { " +
                          std::to_string(i % 3) + " }\n```");
        std::string out;
        for (const Strip& row : md.render_lines(console, 30 + i % 2)) out += row.text() + "\n";
        seen[t].push_back(out);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 1; t < 4; ++t) EXPECT_EQ(seen[t], seen[0]);
}

}  // namespace
}  // namespace orvo::tui
