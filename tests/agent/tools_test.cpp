#include "agent/tools.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <thread>

#include "agent/diff.hpp"
#include "fake_openai_server.hpp"
#include "temp_dir.hpp"

// label: threaded

namespace orvo::agent {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::TempDir;

class ToolsTest : public ::testing::Test {
 protected:
  AgentSettings settings() {
    AgentSettings s;
    s.project_dir = dir.path() / "proj";
    s.bash_timeout = std::chrono::seconds(30);
    return s;
  }
  void SetUp() override {
    fs::create_directories(dir.path() / "proj");
    dir.write("proj/a.txt", "one\ntwo\nthree\n");
    dir.write("outside.txt", "secret\n");
    box = std::make_unique<Toolbox>(settings(), canceller);
  }
  ToolResult call(const std::string& name, const json& args) {
    return box->run(box->prepare(name, args.dump()));
  }
  std::string read(const std::string& rel) { return dir.read("proj/" + rel); }

  TempDir dir;
  Canceller canceller;
  std::unique_ptr<Toolbox> box;
};

TEST_F(ToolsTest, PathsStayInsideTheProject) {
  fs::create_symlink(dir.path() / "outside.txt", dir.path() / "proj/link_out");
  fs::create_symlink(dir.path(), dir.path() / "proj/dir_out");
  fs::create_symlink(dir.path() / "nowhere.txt", dir.path() / "proj/dangling");
  fs::create_symlink("a.txt", dir.path() / "proj/link_in");
  struct Case {
    std::string path;
    bool inside;
  };
  const Case cases[] = {{"a.txt", true},
                        {"./sub/../a.txt", true},
                        {(dir.path() / "proj/a.txt").string(), true},
                        {"link_in", true},
                        {"new/dir/file.txt", true},
                        {"../outside.txt", false},
                        {"sub/../../outside.txt", false},
                        {(dir.path() / "outside.txt").string(), false},
                        {"/etc/passwd", false},
                        {"link_out", false},
                        {"dir_out/outside.txt", false},
                        {"dir_out/new.txt", false},
                        {"dangling", false},
                        {"", false}};
  for (const auto& c : cases) {
    std::string err;
    EXPECT_EQ(box->resolve(c.path, err).has_value(), c.inside) << c.path << ": " << err;
  }
  // Writing through a dangling link must not create the file it points to.
  const auto r = call("write_file", {{"path", "dangling"}, {"content", "x"}});
  EXPECT_TRUE(r.error);
  EXPECT_FALSE(fs::exists(dir.path() / "nowhere.txt"));
  EXPECT_TRUE(call("read_file", {{"path", "link_out"}}).error);
  EXPECT_EQ(dir.read("outside.txt"), "secret\n");
}

TEST_F(ToolsTest, BadArgumentsBecomeErrorsTheModelCanRead) {
  struct Case {
    const char* tool;
    const char* args;
    const char* expect;
  };
  const Case cases[] = {
      {"read_file", "{}", "missing required argument \"path\""},
      {"read_file", "{\"path\": 5}", "argument \"path\" must be a string"},
      {"read_file", "{\"path\": \"a.txt\", \"offset\": \"x\"}", "must be a number"},
      {"bash", "{\"cmd\": \"ls\"}", "missing required argument \"command\""},
      {"bash", "{\"command\": \"ls\", \"timeout\": []}", "must be a number"},
      {"edit_file", "{\"path\": \"a.txt\", \"old_string\": \"one\"}", "\"new_string\""},
      {"multi_edit", "{\"path\": \"a.txt\", \"edits\": {}}", "must be an array"},
      {"multi_edit", "{\"path\": \"a.txt\", \"edits\": [{\"old_string\": 1}]}", "every edit"},
      {"write_file", "[1, 2]", "not a JSON object"},
      {"grep", "{\"pattern\": \"x\"", "not a JSON object"},
      {"nope", "{}", "unknown tool"},
      {"web_search", "{\"query\": \"x\"}", "unknown tool"},  // no search endpoint configured
  };
  for (const auto& c : cases) {
    const auto pc = box->prepare(c.tool, c.args);
    EXPECT_NE(pc.error.find(c.expect), std::string::npos)
        << c.tool << " " << c.args << ": " << pc.error;
    const auto r = box->run(pc);
    EXPECT_TRUE(r.error);
    EXPECT_EQ(r.text, pc.error);
  }
  EXPECT_EQ(read("a.txt"), "one\ntwo\nthree\n");
  // Empty argument text means no arguments.
  EXPECT_TRUE(box->prepare("list_files", "").error.empty());
}

TEST_F(ToolsTest, ReadFileRanges) {
  std::string big;
  for (int i = 1; i <= 3000; ++i) big += "line " + std::to_string(i) + "\n";
  dir.write("proj/big.txt", big);
  auto r = call("read_file", {{"path", "a.txt"}});
  EXPECT_EQ(r.text, "one\ntwo\nthree\n");
  r = call("read_file", {{"path", "a.txt"}, {"offset", 2}, {"limit", 1}});
  EXPECT_EQ(r.text, "two\n[lines 2-2 of 3; read more with offset 3]");
  r = call("read_file", {{"path", "big.txt"}});
  EXPECT_NE(r.text.find("line 2000\n[lines 1-2000 of 3000; read more with offset 2001]"),
            std::string::npos);
  r = call("read_file", {{"path", "a.txt"}, {"offset", 9}});
  EXPECT_TRUE(r.error);
  dir.write("proj/bin", std::string("a\0b", 3));
  EXPECT_TRUE(call("read_file", {{"path", "bin"}}).error);
  EXPECT_TRUE(call("read_file", {{"path", "missing.txt"}}).error);
  EXPECT_EQ(box->prepare("read_file", R"({"path":"a.txt","offset":10,"limit":5})").summary,
            "a.txt (lines 10-14)");
}

TEST_F(ToolsTest, WriteAndEditWithUnifiedDiffs) {
  auto r = call("write_file", {{"path", "src/new.py"}, {"content", "x = 1\n"}});
  EXPECT_FALSE(r.error) << r.text;
  EXPECT_EQ(read("src/new.py"), "x = 1\n");
  r = call("edit_file", {{"path", "a.txt"}, {"old_string", "two"}, {"new_string", "TWO"}});
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.text, "--- a/a.txt\n+++ b/a.txt\n@@ -1,3 +1,3 @@\n one\n-two\n+TWO\n three\n");
  EXPECT_EQ(read("a.txt"), "one\nTWO\nthree\n");

  dir.write("proj/dup.txt", "x\nx\n");
  r = call("edit_file", {{"path", "dup.txt"}, {"old_string", "x"}, {"new_string", "y"}});
  EXPECT_TRUE(r.error);
  EXPECT_NE(r.text.find("occurs 2 times"), std::string::npos);
  r = call("edit_file", {{"path", "dup.txt"}, {"old_string", "zz"}, {"new_string", "y"}});
  EXPECT_NE(r.text.find("not found"), std::string::npos);
  EXPECT_TRUE(
      call("edit_file", {{"path", "dup.txt"}, {"old_string", ""}, {"new_string", "y"}}).error);
  EXPECT_TRUE(
      call("edit_file", {{"path", "dup.txt"}, {"old_string", "x"}, {"new_string", "x"}}).error);
  EXPECT_EQ(read("dup.txt"), "x\nx\n");

  dir.write("proj/win.txt", "a\r\nb\r\n");
  r = call("edit_file", {{"path", "win.txt"}, {"old_string", "a\nb"}, {"new_string", "a\nc"}});
  EXPECT_FALSE(r.error) << r.text;
  EXPECT_EQ(read("win.txt"), "a\r\nc\r\n");
}

TEST_F(ToolsTest, MultiEditIsAllOrNothing) {
  auto r = call("multi_edit", {{"path", "a.txt"},
                               {"edits",
                                {{{"old_string", "one"}, {"new_string", "1"}},
                                 {{"old_string", "missing"}, {"new_string", "2"}}}}});
  EXPECT_TRUE(r.error);
  EXPECT_NE(r.text.find("edit 2"), std::string::npos);
  EXPECT_EQ(read("a.txt"), "one\ntwo\nthree\n");
  r = call("multi_edit", {{"path", "a.txt"},
                          {"edits",
                           {{{"old_string", "one"}, {"new_string", "1"}},
                            {{"old_string", "1\ntwo"}, {"new_string", "1\n2"}}}}});
  EXPECT_FALSE(r.error) << r.text;
  EXPECT_EQ(read("a.txt"), "1\n2\nthree\n");
  EXPECT_EQ(r.text, "--- a/a.txt\n+++ b/a.txt\n@@ -1,3 +1,3 @@\n-one\n-two\n+1\n+2\n three\n");
}

TEST(UnifiedDiff, HunksContextAndMissingNewline) {
  std::string before, after;
  for (int i = 1; i <= 20; ++i) before += std::to_string(i) + "\n";
  after = before;
  after.replace(after.find("2\n"), 2, "two\n");
  after.replace(after.find("18\n"), 3, "eighteen\n");
  EXPECT_EQ(unified_diff("f", before, after),
            "--- a/f\n+++ b/f\n@@ -1,5 +1,5 @@\n 1\n-2\n+two\n 3\n 4\n 5\n"
            "@@ -15,6 +15,6 @@\n 15\n 16\n 17\n-18\n+eighteen\n 19\n 20\n");
  EXPECT_EQ(unified_diff("f", "a\nb", "a\nc"),
            "--- a/f\n+++ b/f\n@@ -1,2 +1,2 @@\n a\n-b\n\\ No newline at end of file\n+c\n"
            "\\ No newline at end of file\n");
  EXPECT_EQ(unified_diff("f", "", "new\n"), "--- a/f\n+++ b/f\n@@ -0,0 +1,1 @@\n+new\n");
  EXPECT_EQ(unified_diff("f", "same", "same"), "");
}

TEST_F(ToolsTest, BashRunsInTheProjectWithExitCodesAndCaps) {
  auto r = call("bash", {{"command", "pwd; echo err >&2"}});
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.text, (dir.path() / "proj").string() + "\nerr");
  r = call("bash", {{"command", "exit 3"}});
  EXPECT_TRUE(r.error);
  EXPECT_EQ(r.text, "[exit code 3]");
  EXPECT_EQ(call("bash", {{"command", "true"}}).text, "(no output)");

  AgentSettings s = settings();
  s.tool_output_cap = 1000;
  Toolbox small(s, canceller);
  r = small.run(small.prepare("bash", R"({"command":"seq 1 100000"})"));
  EXPECT_FALSE(r.error);
  EXPECT_LT(r.text.size(), 1200u);
  EXPECT_EQ(r.text.rfind("1\n2\n3\n", 0), 0u);
  EXPECT_NE(r.text.find("bytes of output left out"), std::string::npos);
  EXPECT_NE(r.text.find("\n100000"), std::string::npos);
  // Binary output is kept as bytes; it never breaks anything downstream.
  r = call("bash", {{"command", "printf '\\xff\\xfe\\x00ok'"}});
  EXPECT_EQ(r.text, std::string("\xff\xfe\0ok", 5));
}

TEST_F(ToolsTest, BashTimeoutKillsTheWholeProcessGroup) {
  // In the project, which the sandbox (where bwrap works) leaves writable.
  const auto pidfile = dir.path() / "proj" / "bg.pid";
  const auto start = std::chrono::steady_clock::now();
  const auto r = box->bash("sleep 30 & echo $! > " + pidfile.string() + "; sleep 30",
                           std::chrono::milliseconds(300));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(r.error);
  EXPECT_NE(r.text.find("timed out"), std::string::npos);
  const pid_t bg = std::stoi(read("bg.pid"));
  // The background sleep was in the group: gone (or a zombie about to be reaped by init).
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = ::kill(bg, 0) != 0;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::string state;
  if (!gone) {
    std::ifstream in("/proc/" + std::to_string(bg) + "/stat");
    std::getline(in, state);
  }
  EXPECT_TRUE(gone || state.find(") Z") != std::string::npos) << state;
}

TEST_F(ToolsTest, BashIsKilledOnCancelAtOnce) {
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    canceller.cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  const auto r = call("bash", {{"command", "sleep 60"}});
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(r.error);
  EXPECT_NE(r.text.find("cancelled"), std::string::npos);
}

TEST_F(ToolsTest, GrepGlobAndListFiles) {
  dir.write("proj/src/main.cpp", "int main() { return 0; }\n");
  dir.write("proj/src/util.hpp", "// main helper\n");
  dir.write("proj/.git/config", "main\n");
  auto r = call("grep", {{"pattern", "ma[i]n"}});
  EXPECT_FALSE(r.error) << r.text;
  EXPECT_NE(r.text.find("src/main.cpp:1:int main()"), std::string::npos) << r.text;
  EXPECT_EQ(r.text.find(".git"), std::string::npos);
  r = call("grep", {{"pattern", "main"}, {"glob", "*.hpp"}});
  EXPECT_NE(r.text.find("util.hpp"), std::string::npos);
  EXPECT_EQ(r.text.find("main.cpp"), std::string::npos);
  EXPECT_EQ(call("grep", {{"pattern", "zzz_nothing"}}).text, "no matches");
  EXPECT_TRUE(call("grep", {{"pattern", "x"}, {"path", "../"}}).error);

  EXPECT_EQ(call("glob", {{"pattern", "*.cpp"}}).text, "src/main.cpp");
  EXPECT_EQ(call("glob", {{"pattern", "src/*.{cpp,hpp}"}}).text, "src/main.cpp\nsrc/util.hpp");
  EXPECT_EQ(call("glob", {{"pattern", "*.rs"}}).text, "no files match *.rs");
  r = call("list_files", json::object());
  EXPECT_EQ(r.text, "a.txt\nsrc/\nsrc/main.cpp\nsrc/util.hpp") << r.text;
  EXPECT_EQ(call("list_files", {{"path", "src"}}).text, "main.cpp\nutil.hpp");
  EXPECT_TRUE(call("list_files", {{"path", "a.txt"}}).error);
}

using Clock = std::chrono::steady_clock;

// True once `pid` is gone or a zombie waiting for init.
bool process_gone(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    if (::kill(pid, 0) != 0) return true;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string state;
    std::getline(in, state);
    if (state.find(") Z") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Every file tool on a path that is not a regular file: refused at once, by name, and the node
// itself left as it was.
void expect_file_tools_refuse(Toolbox& box, const std::string& rel, const std::string& kind) {
  const std::string what = rel + " is " + kind + ", not a regular file";
  struct Case {
    const char* tool;
    json args;
  };
  const Case cases[] = {
      {"read_file", {{"path", rel}}},
      {"read_file", {{"path", rel}, {"offset", 5}, {"limit", 1}}},
      {"edit_file", {{"path", rel}, {"old_string", "a"}, {"new_string", "b"}}},
      {"multi_edit", {{"path", rel}, {"edits", {{{"old_string", "a"}, {"new_string", "b"}}}}}},
      {"write_file", {{"path", rel}, {"content", "x"}}},
      {"grep", {{"pattern", "x"}, {"path", rel}}},
  };
  for (const auto& c : cases) {
    const auto start = Clock::now();
    const auto r = box.run(box.prepare(c.tool, c.args.dump()));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << c.tool;
    EXPECT_TRUE(r.error) << c.tool << ": " << r.text;
    EXPECT_EQ(r.text, what) << c.tool;
  }
  struct stat st {};
  ASSERT_EQ(::lstat((box.root() / rel).c_str(), &st), 0);
  EXPECT_FALSE(S_ISREG(st.st_mode)) << rel << " was replaced";
}

TEST_F(ToolsTest, FifoAndSocketAreRefusedAtOnce) {
  ASSERT_EQ(::mkfifo((dir.path() / "proj/pipe").c_str(), 0600), 0);
  expect_file_tools_refuse(*box, "pipe", "a FIFO");

  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = (dir.path() / "proj/sock").string();
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  expect_file_tools_refuse(*box, "sock", "a socket");
  ::close(s);

  // A search of the whole tree skips them instead of blocking on the FIFO.
  const auto start = Clock::now();
  const auto r = call("grep", {{"pattern", "two"}});
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(r.text, "a.txt:2:two");
  EXPECT_EQ(call("list_files", json::object()).text, "a.txt\npipe\nsock");
}

TEST_F(ToolsTest, CharacterDeviceIsRefusedAtOnce) {
  // The same node as /dev/zero, made inside the project.
  if (::mknod((dir.path() / "proj/zero").c_str(), S_IFCHR | 0600, ::makedev(1, 5)) != 0) {
    GTEST_SKIP() << "mknod is not permitted here: " << std::strerror(errno);
  }
  expect_file_tools_refuse(*box, "zero", "a character device");
}

TEST_F(ToolsTest, HugeFilesAreReadOnlyAsFarAsNeeded) {
  // 1 GiB of holes: seen as binary from its first bytes; too big to edit; no memory spent.
  {
    const int fd = ::open((dir.path() / "proj/sparse").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 1LL << 30), 0);
    ::close(fd);
  }
  auto start = Clock::now();
  auto r = call("read_file", {{"path", "sparse"}});
  EXPECT_EQ(r.text, "sparse is a binary file (1024 MiB); not shown");
  r = call("edit_file", {{"path", "sparse"}, {"old_string", "a"}, {"new_string", "b"}});
  EXPECT_TRUE(r.error);
  EXPECT_EQ(r.text,
            "sparse is 1024 MiB; files over 8 MiB are not edited with this tool (nothing was "
            "changed; use bash, e.g. sed)");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

  // Over the counting limit, reading stops at the end of the range and says how to go on.
  AgentSettings s = settings();
  s.max_edit_bytes = 1000;
  s.tool_output_cap = 100;
  Toolbox small(s, canceller);
  std::string lines;
  for (int i = 1; i <= 3000; ++i) lines += "line " + std::to_string(i) + "\n";
  dir.write("proj/lines.txt", lines);
  r = small.run(small.prepare("read_file", R"({"path":"lines.txt","offset":10,"limit":2})"));
  EXPECT_EQ(r.text,
            "line 10\nline 11\n[lines 10-11 of a file of 28 KiB; read more with offset 12]");
  // The output cap ends the range early.
  r = small.run(small.prepare("read_file", R"({"path":"lines.txt"})"));
  EXPECT_EQ(r.text.rfind("line 1\nline 2\n", 0), 0u);
  EXPECT_NE(r.text.find("line 13\n[lines 1-13 of a file of 28 KiB; read more with offset 14]"),
            std::string::npos)
      << r.text;
  // One endless line is cut at the cap, not read to its end.
  dir.write("proj/long.txt", "short\n" + std::string(100000, 'x') + "\nafter\n");
  r = small.run(small.prepare("read_file", R"({"path":"long.txt","offset":2})"));
  EXPECT_EQ(r.text, std::string(100, 'x') +
                        "\n[line 2 is longer than 100 bytes; only its start is shown]\n"
                        "[lines 2-2 of a file of 97 KiB; read more with offset 3]");
  r = small.run(
      small.prepare("edit_file", R"({"path":"long.txt","old_string":"short","new_string":"s"})"));
  EXPECT_TRUE(r.error);
  EXPECT_NE(r.text.find("are not edited"), std::string::npos);
  EXPECT_EQ(dir.read("proj/long.txt").substr(0, 6), "short\n");
}

TEST_F(ToolsTest, BashTimeoutFromTheModelIsClamped) {
  AgentSettings s = settings();
  s.bash_timeout = std::chrono::seconds(30);
  s.bash_max_timeout = std::chrono::seconds(1);
  Toolbox clamped(s, canceller);
  struct Case {
    const char* timeout;  // JSON text
    const char* command;
    const char* expect;
  };
  const Case cases[] = {
      {"1e300", "sleep 20", "[timed out after 1 s; the command was killed]"},
      {"1.7976931348623157e308", "sleep 20", "[timed out after 1 s; the command was killed]"},
      {"18446744073709551615", "sleep 20", "[timed out after 1 s; the command was killed]"},
      {"\"99999999999999\"", "sleep 20", "[timed out after 1 s; the command was killed]"},
      {"-5", "sleep 20", "[timed out after 1 s; the command was killed]"},  // default, capped
      {"-1e300", "echo ok", "ok"},
      {"0", "echo ok", "ok"},
      {"null", "echo ok", "ok"},
      {"0.001", "echo ok", "ok"},  // at least a second
  };
  for (const auto& c : cases) {
    const auto start = Clock::now();
    const auto r = clamped.run(clamped.prepare(
        "bash", std::string(R"({"command":")") + c.command + R"(","timeout":)" + c.timeout + "}"));
    EXPECT_EQ(r.text, c.expect) << c.timeout;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << c.timeout;
  }
}

TEST_F(ToolsTest, BackgroundProcessesEndWithTheToolbox) {
  struct Case {
    const char* command;
    bool keep;
  };
  const Case cases[] = {
      {"sleep 1000 >/dev/null 2>&1 & cut -d' ' -f5 /proc/$$/stat", false},
      {"nohup sleep 1000 >/dev/null 2>&1 & cut -d' ' -f5 /proc/$$/stat", false},
      {"(trap '' TERM; exec sleep 1000) >/dev/null 2>&1 & cut -d' ' -f5 /proc/$$/stat",
       false},  // needs SIGKILL
      {"sleep 1000 >/dev/null 2>&1 & cut -d' ' -f5 /proc/$$/stat", true},
  };
  for (const auto& c : cases) {
    AgentSettings s = settings();
    s.keep_background_processes = c.keep;
    pid_t pgid = 0;
    {
      Toolbox t(s, canceller);
      const auto r = t.bash(c.command, std::chrono::seconds(10));
      ASSERT_FALSE(r.error) << r.text;
      pgid = std::stoi(r.text);
      ASSERT_NE(pgid, ::getpgrp());
      EXPECT_EQ(::kill(-pgid, 0), 0) << c.command << ": nothing left running";
    }
    if (c.keep) {
      EXPECT_EQ(::kill(-pgid, 0), 0) << "kept processes were ended";
      ::kill(-pgid, SIGKILL);
      continue;
    }
    bool gone = true;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const pid_t pid = std::stoi(name);
      if (::getpgid(pid) == pgid && !process_gone(pid)) gone = false;
    }
    EXPECT_TRUE(gone) << c.command;
  }
  // kill_leftovers ends them at once, for a host whose toolbox outlives its exit.
  const auto r = box->bash("sleep 1000 >/dev/null 2>&1 & echo $!", std::chrono::seconds(10));
  const pid_t bg = std::stoi(r.text);
  box->kill_leftovers();
  EXPECT_TRUE(process_gone(bg));
}

TEST_F(ToolsTest, CancelStopsSearchesAndWalks) {
  // A backreference pattern costs the search seconds per line: far longer than the test.
  for (int i = 0; i < 40; ++i) {
    dir.write("proj/tree/d" + std::to_string(i % 8) + "/f" + std::to_string(i) + ".txt",
              std::string(200, 'a') + std::string(200, 'b') + "\n");
  }
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    canceller.cancel();
  });
  const auto start = Clock::now();
  const auto r = call("grep", {{"pattern", "^(.*)(.*)(.*)\\3\\2\\1$"}, {"path", "tree"}});
  t.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(r.text, "cancelled by the user");
  // While the flag stays up, walks see it between entries and readers between blocks.
  EXPECT_EQ(call("read_file", {{"path", "a.txt"}}).text, "cancelled by the user");
  EXPECT_EQ(call("grep", {{"pattern", "one"}}).text, "cancelled by the user");
  EXPECT_EQ(call("glob", {{"pattern", "*"}}).text, "cancelled by the user");
  EXPECT_EQ(call("list_files", json::object()).text, "cancelled by the user");
}

TEST_F(ToolsTest, WebFetchHasAnOverallDeadlineAndNamesBadRedirects) {
  testing::FakeOpenAIServer server;
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  AgentSettings s = settings();
  s.web_fetch_timeout = std::chrono::milliseconds(1000);
  Toolbox box1(s, canceller);
  // One byte every 300 ms: never stalled, never done.
  testing::Reply drip;
  drip.content_type = "text/plain";
  for (int i = 0; i < 100; ++i) drip.pieces.push_back({"x", std::chrono::milliseconds(300)});
  server.enqueue(drip);
  auto start = Clock::now();
  auto r = box1.run(box1.prepare("web_fetch", json{{"url", base + "/drip"}}.dump()));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(r.error);
  EXPECT_EQ(r.text, "gave up after the deadline of 1 s for the whole transfer");

  struct Case {
    const char* location;
    const char* expect;
  };
  const Case cases[] = {
      {"file:///etc/passwd",
       "the server redirected (HTTP 302) to \"file:///etc/passwd\", which is not http or https; "
       "not followed"},
      {"ftp://127.0.0.1/x",
       "the server redirected (HTTP 302) to \"ftp://127.0.0.1/x\", which is not http or https; "
       "not followed"},
      {"/loop", "too many redirects (more than 5; a redirect loop?), last answer HTTP 302"},
  };
  for (const auto& c : cases) {
    server.set_responder([&](const testing::Request&) {
      testing::Reply redirect;
      redirect.status = 302;
      redirect.headers = {std::string("Location: ") + c.location};
      return redirect;
    });
    start = Clock::now();
    r = box1.run(box1.prepare("web_fetch", json{{"url", base + "/start"}}.dump()));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(r.error);
    EXPECT_EQ(r.text, c.expect);
  }

  // A cancel ends a fetch at once, deadline or not.
  testing::Reply stall;
  stall.content_type = "text/plain";
  stall.end = testing::Reply::End::stall;
  server.set_responder([&](const testing::Request&) { return stall; });
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    canceller.cancel();
  });
  start = Clock::now();
  r = call("web_fetch", {{"url", base + "/stall"}});
  t.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(r.text, "cancelled by the user");
}

TEST(GlobMatch, Table) {
  struct Case {
    const char* pattern;
    const char* path;
    bool match;
  };
  const Case cases[] = {
      {"*.cpp", "main.cpp", true},     {"*.cpp", "src/main.cpp", false},
      {"**/*.cpp", "main.cpp", true},  {"**/*.cpp", "a/b/c.cpp", true},
      {"src/**", "src/a/b", true},     {"src/**/x.h", "src/x.h", true},
      {"src/*/x.h", "src/x.h", false}, {"?.txt", "a.txt", true},
      {"?.txt", "ab.txt", false},      {"[a-c].txt", "b.txt", true},
      {"[!a-c].txt", "b.txt", false},  {"{a,b}.txt", "b.txt", true},
      {"*.{h,hpp}", "x.hpp", true},    {"[", "[", false},
      {"a\\*b", "a*b", true},          {"**", "anything/at/all", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(glob_match(c.pattern, c.path), c.match) << c.pattern << " " << c.path;
  // A pathological pattern finishes.
  EXPECT_FALSE(glob_match("*a*a*a*a*a*a*a*a*a*a*a*b", std::string(60, 'a')));
}

// Patterns come from the model. Deeply nested braces copied the pattern once per level, and a star
// before a long literal retried the literal at every position: each took tens of seconds. Every
// step is now paid from one budget; long paths that really match still do.
TEST(GlobMatch, HostilePatternsFinishQuickly) {
  const std::string as(30000, 'a');
  std::string alternatives = "{";
  for (int i = 0; i < 250; ++i)
    alternatives += (i ? "," : "") + ("*" + std::string(200, 'a') + "b");
  alternatives += "}";
  struct Case {
    const char* name;
    std::string pattern;
    std::string path;
    bool match;
  };
  const std::vector<Case> cases = {
      {"nested braces", std::string(30000, '{') + "a" + std::string(30000, '}'), "a", false},
      {"many commas before a long tail", "{" + std::string(30000, ',') + "}" + as, as, true},
      {"star before a long literal", "*" + as + "b", as, false},
      {"many alternatives of that", alternatives, as, false},
      {"star before a long class", "*[" + std::string(30000, 'b'), as, false},
      {"long literal path", as + "/" + as, as + "/" + as, true},
      {"star and a long path", "**/*.cpp", as + "/" + as + ".cpp", true},
  };
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(glob_match(c.pattern, c.path), c.match) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.name;
  }
}

TEST_F(ToolsTest, WebFetchIsSizeCappedAndWebSearchOnlyWhenConfigured) {
  testing::FakeOpenAIServer server;
  testing::Reply page;
  page.content_type = "text/html";
  page.pieces.push_back(
      {"<!DOCTYPE html><html><head><style>x{}</style><script>var a;</script></head>"
       "<body><h1>Title &amp; more</h1><p>Hello&nbsp;world</p></body></html>",
       {}});
  server.enqueue(page);
  auto r = call("web_fetch", {{"url", "http://127.0.0.1:" + std::to_string(server.port()) + "/p"}});
  EXPECT_FALSE(r.error) << r.text;
  EXPECT_EQ(r.text, "Title & more\nHello world\n");

  AgentSettings s = settings();
  s.web_fetch_max_bytes = 100;
  s.search_endpoint = "http://127.0.0.1:" + std::to_string(server.port()) + "/search";
  Toolbox capped(s, canceller);
  server.enqueue(testing::split_reply(std::string(100000, 'x'), 1000));
  r = capped.run(capped.prepare("web_fetch", json{{"url", server.endpoint()}}.dump()));
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.text, std::string(100, 'x') + "\n[truncated]");
  EXPECT_TRUE(call("web_fetch", {{"url", "file:///etc/passwd"}}).error);

  bool offered = false;
  for (const auto& t : capped.schemas()) offered |= t["function"]["name"] == "web_search";
  EXPECT_TRUE(offered);
  for (const auto& t : box->schemas()) EXPECT_NE(t["function"]["name"], "web_search");
  testing::Reply results;
  results.content_type = "application/json";
  results.pieces.push_back(
      {R"({"results":[{"title":"T","url":"http://u","content":"snippet"}]})", {}});
  server.enqueue(results);
  r = capped.run(capped.prepare("web_search", R"({"query":"a b&c"})"));
  EXPECT_EQ(r.text, "1. T\n   http://u\n   snippet");
  ASSERT_EQ(server.requests().size(), 3u);
  EXPECT_EQ(server.requests()[2].path, "/search?q=a%20b%26c&format=json");
}

}  // namespace
}  // namespace orvo::agent
