// Session files: written as the conversation goes, read back up to the first bad line, pruned.
#include "session/session.hpp"

#include <sys/stat.h>
#include <utime.h>

#include <fstream>

#include <gtest/gtest.h>

#include "../agent/temp_dir.hpp"

namespace orvo::session {
namespace {

using agent::testing::TempDir;
using nlohmann::json;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t mode_of(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st.st_mode & 0777;
}

TEST(Session, WrittenThenReadBackWithClearAndPrivateModes) {
  TempDir tmp;
  const fs::path dir = tmp.path() / "state" / "sessions" / "proj-1";
  fs::path file;
  {
    SessionWriter w(dir, "/src/proj");
    file = w.path();
    w.entry({"user", {"first"}});
    w.message({{"role", "user"}, {"content", "first"}});
    w.clear();
    w.entry({"user", {"hello\nthere"}});
    w.entry({"tool_done", {"bash", "ls", "3 lines"}});
    w.message({{"role", "user"}, {"content", "hello"}});
    w.message({{"role", "assistant"}, {"content", "hi \xff"}});  // invalid UTF-8 survives
    ASSERT_TRUE(w.flush());
    // Read before the writer is closed: what a kill -9 after flush() leaves.
    const SessionData d = read_session(file);
    EXPECT_EQ(d.note, "");
    ASSERT_EQ(d.entries.size(), 2U);
    EXPECT_EQ(d.entries[1], (Entry{"tool_done", {"bash", "ls", "3 lines"}}));
    ASSERT_EQ(d.messages.size(), 2U);
    EXPECT_EQ(d.messages[1]["content"], "hi \xEF\xBF\xBD");
    EXPECT_EQ(d.turns, 2);
    EXPECT_EQ(d.first_prompt, "first");
    w.entry({"user", {"not flushed"}});
  }
  EXPECT_EQ(mode_of(file), 0600U);
  EXPECT_EQ(mode_of(dir), 0700U);
  EXPECT_EQ(mode_of(dir.parent_path()), 0700U);
  EXPECT_EQ(read_session(file).turns, 3);  // the destructor flushes
  EXPECT_TRUE(is_session_header(slurp(file).substr(0, slurp(file).find('\n'))));
}

TEST(Session, BadFilesAreReadUpToTheirFirstBadLine) {
  const std::string head = R"({"session":1,"project":"/p","started":"x"})"
                           "\n";
  const std::string user = R"({"call":"entry","kind":"user","values":["a"]})"
                           "\n";
  struct Case {
    const char* name;
    std::string text;
    int turns;
    const char* note;  // a part of the note; "" for none
  };
  const Case cases[] = {
      {"whole", head + user + user, 2, ""},
      {"cut mid-line", head + user + R"({"call":"entry","kind":"us)", 1, "line 3: cut off"},
      {"edited", head + user + "{oops}\n" + user, 1, "line 3: not JSON"},
      {"unknown record",
       head +
           R"({"call":"append_user","text":"x"})"
           "\n" +
           user,
       0, "line 2: not a session record"},
      {"wrong value type",
       head + R"({"call":"entry","kind":"user","values":[1]})"
              "\n",
       0, "line 2"},
      {"newer version",
       R"({"session":7})"
       "\n" +
           user +
           R"({"future":1})"
           "\n" +
           user,
       1, "line 3: a record this version does not know"},
      {"no header", user, 0, "line 1: no session header"},
      {"empty", "", 0, "no session header"},
      {"an array line", head + "[1]\n", 0, "not a record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SessionData d = parse_session(c.text, "s.jsonl");
    EXPECT_EQ(d.turns, c.turns);
    if (std::string(c.note).empty()) {
      EXPECT_EQ(d.note, "");
    } else {
      EXPECT_NE(d.note.find(c.note), std::string::npos) << d.note;
    }
  }
  EXPECT_NE(parse_session(R"({"session":7})"
                          "\n",
                          "s")
                .note.find("newer Kestravel (format 7)"),
            std::string::npos);
}

TEST(Session, ListedNewestFirstAndPrunedByAge) {
  TempDir tmp;
  const fs::path dir = tmp.path() / "s";
  using namespace std::chrono;
  const auto now = system_clock::now();
  fs::path old_file;
  {
    SessionWriter a(dir, "/p", now - hours(24 * 40));
    a.entry({"user", {"old prompt"}});
    old_file = a.path();
    SessionWriter b(dir, "/p", now);
    b.entry({"user", {"new prompt"}});
    b.entry({"user", {"second"}});
    SessionWriter empty(dir, "/p", now - hours(1));  // no turn: not listed
  }
  const time_t forty_days_ago = system_clock::to_time_t(now - hours(24 * 40));
  const struct utimbuf times { forty_days_ago, forty_days_ago };
  ASSERT_EQ(::utime(old_file.c_str(), &times), 0);
  auto list = list_sessions(dir);
  ASSERT_EQ(list.size(), 2U);
  EXPECT_EQ(list[0].first_prompt, "new prompt");
  EXPECT_EQ(list[0].turns, 2);
  EXPECT_EQ(list[1].first_prompt, "old prompt");
  EXPECT_NE(describe(list[0], 1).find("1  "), std::string::npos);
  EXPECT_NE(describe(list[0], 1).find("2 turns  new prompt"), std::string::npos);
  EXPECT_EQ(prune_sessions(dir, 0, now), 0);
  EXPECT_EQ(prune_sessions(dir, 30, now), 1);
  EXPECT_FALSE(fs::exists(old_file));
  EXPECT_EQ(list_sessions(dir).size(), 1U);
}

TEST(Session, ProjectKeysAreSafeAndDistinct) {
  EXPECT_EQ(project_key("/home/a/my proj").substr(0, 8), "my_proj-");
  EXPECT_NE(project_key("/a/x"), project_key("/b/x"));
  EXPECT_EQ(project_key("/a/x"), project_key("/a/x"));
  EXPECT_EQ(project_key("/a/..").substr(0, 3), "_..");
  EXPECT_EQ(project_key("/").substr(0, 2), "_-");
}

TEST(PromptHistoryTest, KeptAcrossRunsCappedAndPrivate) {
  TempDir tmp;
  const fs::path file = tmp.path() / "h" / "prompts.jsonl";
  PromptHistory h(file, 5);
  for (int i = 0; i < 400; ++i) h.add("prompt " + std::to_string(i) + "\nline two");
  const auto loaded = PromptHistory(file, 5).load();
  ASSERT_EQ(loaded.size(), 5U);
  EXPECT_EQ(loaded.back(), "prompt 399\nline two");
  EXPECT_EQ(mode_of(file), 0600U);
  EXPECT_EQ(mode_of(file.parent_path()), 0700U);
  EXPECT_LT(fs::file_size(file), 8192U);  // cut back, not grown without end
}

}  // namespace
}  // namespace orvo::session
