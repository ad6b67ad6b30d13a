#include "agent/openai_agent.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <thread>

#include "../output/capture.hpp"
#include "fake_openai_server.hpp"
#include "output/testing.hpp"
#include "temp_dir.hpp"

// label: threaded

namespace orvo::agent {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace orvo::agent::testing;

// Records every event, and whether the status indicator ran when answer text arrived.
class Recorder {
 public:
  explicit Recorder(OutputManager& out) : out_(out) {
    out.set_event_callback([this](const std::string& name, Payload p) {
      std::lock_guard g(m_);
      events_.push_back({name, p ? *p : PayloadMap{}});
      if (name == "content" && out_.indicator_running()) ++content_under_indicator_;
      cv_.notify_all();
    });
  }
  bool wait_for(const std::string& name, std::chrono::milliseconds limit = 20s) {
    std::unique_lock g(m_);
    return cv_.wait_for(g, limit, [&] {
      for (const auto& e : events_) {
        if (e.name == name) return true;
      }
      return false;
    });
  }
  std::vector<orvo::test::Recorded> events() {
    std::lock_guard g(m_);
    return events_;
  }
  std::vector<std::string> names() {
    std::vector<std::string> n;
    for (const auto& e : events()) n.push_back(e.name);
    return n;
  }
  std::vector<orvo::test::Recorded> named(const std::string& name) {
    std::vector<orvo::test::Recorded> out;
    for (auto& e : events()) {
      if (e.name == name) out.push_back(e);
    }
    return out;
  }
  std::string text(const std::string& name, const std::string& key) {
    std::string all;
    for (const auto& e : named(name)) all += e.payload.text(key);
    return all;
  }
  int content_under_indicator() {
    std::lock_guard g(m_);
    return content_under_indicator_;
  }

 private:
  OutputManager& out_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<orvo::test::Recorded> events_;
  int content_under_indicator_ = 0;
};

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override { orvo::testing::set_cols_override(80); }
  void TearDown() override { orvo::testing::set_cols_override(std::nullopt); }

  AgentSettings settings() {
    AgentSettings s;
    s.endpoint = server.endpoint();
    s.model = "test-model";
    s.project_dir = dir.path();
    s.stall_timeout = 20s;
    // The loop's tests see the same results whether or not bwrap works on this machine; the
    // sandbox has tests of its own.
    s.sandbox = false;
    return s;
  }
  OpenAIAgent& agent(AgentSettings s) {
    agent_ = std::make_unique<OpenAIAgent>(std::move(s));
    return *agent_;
  }
  OpenAIAgent& agent() { return agent_ ? *agent_ : agent(settings()); }
  void run(const std::string& prompt) { agent().run_turn(prompt, out); }
  // Runs the turn on a worker thread, as the host does.
  std::thread run_async(const std::string& prompt) {
    OpenAIAgent& a = agent();
    return std::thread([this, &a, prompt] { a.run_turn(prompt, out); });
  }
  json request(std::size_t i) { return server.requests().at(i).json(); }
  std::string last_event() { return rec.names().empty() ? "" : rec.names().back(); }

  TempDir dir;
  FakeOpenAIServer server;
  orvo::test::CoutCapture cap;
  OutputManager out;
  Recorder rec{out};
  std::unique_ptr<OpenAIAgent> agent_;
};

bool fs_exists(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::exists(p, ec);
}

std::string reasoning_answer_stream() {
  return sse(reasoning_chunk("Let me")) + ": keep-alive\n\n" +
         sse(reasoning_chunk(" think.\nSecond")) + sse(reasoning_chunk(" line")) +
         sse(content_chunk("Hel")) + sse(content_chunk("lo \xC3\xA9")) +
         sse(content_chunk(" world")) + sse(chunk(json::object(), "stop")) +
         sse(usage_chunk(120, 33)) + kDone;
}

TEST_F(AgentTest, ReasoningAndAnswerReachTheOutputManagerInOrder) {
  server.enqueue(stream_reply({reasoning_answer_stream()}));
  run("hi");
  EXPECT_EQ(rec.names(), (std::vector<std::string>{
                             "thinking_start", "thinking_chunk", "thinking_peek", "thinking_chunk",
                             "thinking_peek", "thinking_chunk", "thinking_peek", "thinking_done",
                             "stream_start", "content", "content", "content", "done"}));
  EXPECT_EQ(rec.named("thinking_start")[0].payload.text("reset"), "true");
  std::vector<std::string> peeks;
  for (const auto& e : rec.named("thinking_peek")) peeks.push_back(e.payload.text("text"));
  EXPECT_EQ(peeks, (std::vector<std::string>{"Let me", "Second", "Second line"}));
  EXPECT_EQ(rec.text("thinking_done", "text"), "Let me think.\nSecond line");
  EXPECT_EQ(rec.text("content", "chunk"), "Hello \xC3\xA9 world");
  const auto usage = agent().last_turn_usage();
  EXPECT_EQ(usage.prompt_tokens, 120);
  EXPECT_EQ(usage.completion_tokens, 33);

  const json body = request(0);
  EXPECT_EQ(server.requests()[0].path, "/v1/chat/completions");
  EXPECT_EQ(body["model"], "test-model");
  EXPECT_EQ(body["stream"], true);
  EXPECT_EQ(body["stream_options"]["include_usage"], true);
  EXPECT_EQ(body["chat_template_kwargs"]["enable_thinking"], true);
  EXPECT_EQ(body["messages"][0]["role"], "system");
  EXPECT_EQ(body["messages"][1], (json{{"role", "user"}, {"content", "hi"}}));
  std::vector<std::string> tools;
  for (const auto& t : body["tools"]) tools.push_back(t["function"]["name"]);
  EXPECT_EQ(tools,
            (std::vector<std::string>{"bash", "read_file", "write_file", "edit_file", "multi_edit",
                                      "grep", "glob", "list_files", "web_fetch"}));
  EXPECT_EQ(agent().conversation().back(),
            (json{{"role", "assistant"}, {"content", "Hello \xC3\xA9 world"}}));
}

TEST_F(AgentTest, StreamsSplitAtAnyByteOrTrickledGiveTheSameTurn) {
  const std::string stream = reasoning_answer_stream();
  std::vector<std::string> reference;
  struct Split {
    std::size_t size;
    std::chrono::milliseconds delay;
  };
  for (const Split s :
       {Split{stream.size(), 0ms}, Split{1, 0ms}, Split{3, 0ms}, Split{17, 0ms}, Split{40, 30ms}}) {
    server.enqueue(split_reply(stream, s.size, s.delay));
    rec.events();
    OutputManager fresh;
    Recorder r(fresh);
    agent().run_turn("hi", fresh);
    if (reference.empty()) reference = r.names();
    EXPECT_EQ(r.names(), reference) << "pieces of " << s.size;
    EXPECT_EQ(r.text("content", "chunk"), "Hello \xC3\xA9 world") << "pieces of " << s.size;
  }
}

TEST_F(AgentTest, ToolLoopIsOneTurnWithOneSummary) {
  dir.write("notes.txt", "alpha\n");
  // The model says something, calls a tool with its arguments split over chunks, then answers.
  server.enqueue(stream_reply({sse(content_chunk("\n\nChecking.")),
                               sse(tool_call_chunk(0, "call_a", "bash", "")),
                               sse(tool_call_chunk(0, "", "", "{\"command\": \"cat no")),
                               sse(tool_call_chunk(0, "", "", "tes.txt\"}")),
                               sse(chunk(json::object(), "tool_calls")), kDone}));
  server.enqueue(stream_reply({answer_stream("Now I know.", "It says alpha.")}));
  run("what is in notes?");
  EXPECT_EQ(rec.names(), (std::vector<std::string>{
                             "thinking_start", "stream_start", "content", "tool_start",
                             "tool_result", "thinking_start", "thinking_chunk", "thinking_peek",
                             "thinking_done", "stream_start", "content", "done"}));
  const auto starts = rec.named("thinking_start");
  EXPECT_EQ(starts[0].payload.text("reset"), "true");
  EXPECT_EQ(starts[1].payload.text("reset"), "false");
  EXPECT_EQ(rec.text("content", "chunk"),
            "Checking.It says alpha.");  // leading blank lines dropped
  EXPECT_EQ(rec.named("tool_start")[0].payload.text("args"), "cat notes.txt");
  EXPECT_EQ(rec.named("tool_result")[0].payload.text("result"), "alpha");
  EXPECT_EQ(rec.content_under_indicator(), 0);
  EXPECT_EQ(out.state.tool_actions.size(), 1u);
  const std::string screen = cap.take();
  EXPECT_NE(screen.find("Done in"), std::string::npos);
  EXPECT_NE(screen.find("tools: bash"), std::string::npos);

  const json second = request(1);
  const auto& msgs = second["messages"];
  ASSERT_EQ(msgs.size(), 4u);
  EXPECT_EQ(msgs[2]["role"], "assistant");
  EXPECT_EQ(msgs[2]["content"], "Checking.");
  EXPECT_EQ(msgs[2]["tool_calls"][0]["id"], "call_a");
  EXPECT_EQ(msgs[2]["tool_calls"][0]["function"]["arguments"], "{\"command\": \"cat notes.txt\"}");
  EXPECT_EQ(
      msgs[3],
      (json{{"role", "tool"}, {"tool_call_id", "call_a"}, {"name", "bash"}, {"content", "alpha"}}));
}

TEST_F(AgentTest, SandboxFallbackIsShownToTheUserOnceAndNotSentToTheModel) {
  AgentSettings s = settings();
  s.sandbox = true;
  s.bwrap_path = (dir.path() / "no-such-bwrap").string();
  agent(s);
  dir.write("notes.txt", "alpha\n");
  server.enqueue(stream_reply({tool_stream("bash", R"({"command":"cat notes.txt"})")}));
  server.enqueue(stream_reply({tool_stream("bash", R"({"command":"cat notes.txt"})")}));
  server.enqueue(stream_reply({answer_stream("", "It says alpha.")}));
  run("what is in notes?");
  const auto results = rec.named("tool_result");
  ASSERT_EQ(results.size(), 2u);
  const std::string first = results[0].payload.text("result");
  EXPECT_EQ(first.rfind("[bash runs without a sandbox: ", 0), 0u) << first;
  EXPECT_EQ(first.substr(first.size() - 7), "]\nalpha") << first;
  EXPECT_NE(first.find("no-such-bwrap"), std::string::npos) << first;
  EXPECT_EQ(results[1].payload.text("result"), "alpha");
  const json third = request(2);
  EXPECT_EQ(third["messages"][3]["content"], "alpha");
  EXPECT_EQ(third["messages"][5]["content"], "alpha");
}

TEST_F(AgentTest, OllamaShapedStreamWithWholeToolCalls) {
  dir.write("a.txt", "x");
  server.enqueue(stream_reply(
      {sse(reasoning_chunk("Listing.", "reasoning")),
       sse(chunk(
           {{"tool_calls",
             json::array(
                 {{{"id", "t1"}, {"function", {{"name", "list_files"}, {"arguments", "{}"}}}},
                  {{"id", "t2"},
                   {"function", {{"name", "read_file"}, {"arguments", {{"path", "a.txt"}}}}}}})}})),
       sse(chunk(json::object(), "tool_calls")), kDone}));
  server.enqueue(stream_reply({answer_stream("", "Done.")}));
  run("look");
  std::vector<std::string> tools;
  for (const auto& e : rec.named("tool_start"))
    tools.push_back(e.payload.text("name") + " " + e.payload.text("args"));
  EXPECT_EQ(tools, (std::vector<std::string>{"list_files .", "read_file a.txt"}));
  EXPECT_EQ(rec.text("thinking_done", "text"), "Listing.");
  EXPECT_EQ(last_event(), "done");
  EXPECT_EQ(request(1)["messages"][4]["content"], "x");
}

TEST_F(AgentTest, ModeFieldsPerServerKindAndFromSettings) {
  struct Case {
    const char* kind;
    const char* mode;
    json expect;
  };
  const Case cases[] = {
      {"llama.cpp", "turbo", {{"chat_template_kwargs", {{"enable_thinking", false}}}}},
      {"llama.cpp", "turbo-think", {{"chat_template_kwargs", {{"enable_thinking", true}}}}},
      {"vllm", "turbo", {{"chat_template_kwargs", {{"enable_thinking", false}}}}},
      {"ollama", "turbo", {{"think", false}, {"reasoning_effort", "none"}}},
      {"ollama", "turbo-think", {{"think", true}, {"reasoning_effort", "medium"}}},
      {"generic", "turbo", {{"reasoning_effort", "low"}}},
  };
  for (const auto& c : cases) {
    AgentSettings s = settings();
    s.server_kind = c.kind;
    s.mode = c.mode;
    const json body = OpenAIAgent(s).request_body();
    for (const auto& [k, v] : c.expect.items()) EXPECT_EQ(body[k], v) << c.kind << " " << c.mode;
  }
  AgentSettings s = settings();
  s.mode_fields["turbo"] = {{"reasoning_effort", "none"},
                            {"chat_template_kwargs", {{"enable_thinking", false}}}};
  s.extra_request_fields = {{"temperature", 0.2}};
  OpenAIAgent a(s);
  EXPECT_EQ(a.request_body()["chat_template_kwargs"]["enable_thinking"],
            true);  // turbo-think: defaults
  a.set_mode("turbo");
  const json body = a.request_body();
  EXPECT_EQ(body["reasoning_effort"], "none");
  EXPECT_EQ(body["chat_template_kwargs"]["enable_thinking"], false);
  EXPECT_EQ(body["temperature"], 0.2);
}

TEST_F(AgentTest, ApiKeyComesFromTheNamedEnvironmentVariable) {
  ::setenv("KV_AGENT_TEST_KEY", "sekret-123", 1);
  AgentSettings s = settings();
  s.api_key_env = "KV_AGENT_TEST_KEY";
  server.enqueue(stream_reply({answer_stream("", "ok")}));
  agent(s).run_turn("x", out);
  ::unsetenv("KV_AGENT_TEST_KEY");
  server.enqueue(stream_reply({answer_stream("", "ok")}));
  agent().run_turn("y", out);
  EXPECT_NE(server.requests()[0].headers.find("Authorization: Bearer sekret-123"),
            std::string::npos);
  EXPECT_EQ(server.requests()[1].headers.find("Authorization"), std::string::npos);
}

TEST_F(AgentTest, FailuresEndTheTurnWithTheirReason) {
  struct Case {
    const char* name;
    Reply reply;
    std::string expect;
  };
  Reply stalled = stream_reply({sse(reasoning_chunk("hmm"))});
  stalled.end = Reply::End::stall;
  Reply dropped = stream_reply({sse(content_chunk("half an ans"))});
  dropped.end = Reply::End::drop;
  Reply cut = stream_reply({sse(content_chunk("half an ans"))});  // body ends cleanly, no [DONE]
  const Case cases[] = {
      {"llama.cpp context error",
       error_reply(
           400,
           R"({"error":{"code":400,"message":"the request exceeds the available context size","type":"invalid_request_error"}})"),
       "server answered HTTP 400: the request exceeds the available context size"},
      {"ollama missing model",
       error_reply(404, R"({"error":"model \"qwen\" not found, try pulling it first"})"),
       "server answered HTTP 404: model \"qwen\" not found, try pulling it first"},
      {"plain text 503", error_reply(503, "\nLoading model\x1b[31m\nmore"),
       "server answered HTTP 503: Loading model [31m"},
      {"error inside the stream",
       stream_reply({sse(content_chunk("a")), sse(json{{"error", {{"message", "boom"}}}})}),
       "the server reported an error: boom"},
      {"stall", stalled, "the server sent nothing for 1 s"},
      {"disconnect mid-answer", dropped, "the connection to the server broke"},
      {"end without [DONE]", cut, "the server ended the answer before it was complete"},
      {"HTML error page",
       html_error_reply(500, "Internal Server Error", "TypeError: Cannot read properties of null"),
       "server answered HTTP 500: Internal Server Error TypeError: Cannot read properties of null"},
      {"type name beside its message",
       error_reply(500, R"({"error":"TypeError","message":"Cannot read properties of null"})"),
       "server answered HTTP 500: TypeError: Cannot read properties of null"},
  };
  AgentSettings s = settings();
  s.stall_timeout = 700ms;
  agent(s);
  for (const auto& c : cases) {
    server.enqueue(c.reply);
    OutputManager fresh;
    Recorder r(fresh);
    const auto start = std::chrono::steady_clock::now();
    agent().run_turn("x", fresh);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << c.name;
    const auto errors = r.named("error");
    ASSERT_EQ(errors.size(), 1u) << c.name;
    EXPECT_EQ(errors[0].payload.text("message").rfind(c.expect, 0), 0u)
        << c.name << ": " << errors[0].payload.text("message");
    EXPECT_EQ(r.names().back(), "error") << c.name;
  }
}

TEST_F(AgentTest, RefusedConnectionIsReportedQuickly) {
  int port = 0;
  {
    FakeOpenAIServer gone;
    port = gone.port();
  }
  AgentSettings s = settings();
  s.endpoint = "http://127.0.0.1:" + std::to_string(port) + "/v1";
  agent(s).run_turn("x", out);
  const auto errors = rec.named("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].payload.text("message").rfind("could not connect to http://127.0.0.1:", 0),
            0u)
      << errors[0].payload.text("message");
}

TEST_F(AgentTest, MalformedEventsAreSkippedWithANote) {
  server.enqueue(
      stream_reply({sse(content_chunk("one ")), "data: {not json\n\n", "data: [1]\n\n",
                    sse(content_chunk("two")), sse(chunk(json::object(), "stop")), kDone}));
  run("x");
  EXPECT_EQ(rec.text("content", "chunk"), "one two\n");
  EXPECT_EQ(last_event(), "done");
  const std::string note = "skipped 2 malformed events from the server (not JSON)";
  EXPECT_NE(cap.take().find(note), std::string::npos);
  // Both front-ends get it: the full-screen chat through the event.
  EXPECT_EQ(rec.text("notice", "text"), note);
}

// A server in JavaScript cuts strings by UTF-16 code units: an emoji's two halves arrived in two
// deltas, the JSON library refused each half and both deltas were lost ("abc😀defg😀hij日本語"
// showed as "abc😀本語").
TEST_F(AgentTest, SurrogatePairsSplitBetweenDeltasAreJoinedInEveryField) {
  const std::string text =
      "abc\xF0\x9F\x98\x80"
      "defg\xF0\x9F\x98\x80"
      "hij\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
  for (const std::size_t units : {1u, 2u, 3u, 4u, 100u}) {
    for (const std::string field : {"content", "reasoning_content", "arguments"}) {
      SCOPED_TRACE(field + " cut every " + std::to_string(units) + " units");
      std::vector<std::string> events;
      if (field == "arguments") {
        events.push_back(sse(tool_call_chunk(0, "c1", "read_file", "")));
        for (auto& e : js_sliced_events("arguments", R"({"path":")" + text + R"("})", units))
          events.push_back(std::move(e));
        events.push_back(sse(chunk(json::object(), "tool_calls")));
      } else {
        events = js_sliced_events(field, text, units);
        if (field != "content") events.push_back(sse(content_chunk("ok")));
        events.push_back(sse(chunk(json::object(), "stop")));
      }
      events.push_back(kDone);
      server.enqueue(stream_reply(events));
      if (field == "arguments") server.enqueue(stream_reply({answer_stream("", "ok")}));
      OutputManager fresh;
      Recorder r(fresh);
      agent().run_turn("x", fresh);
      EXPECT_EQ(r.names().back(), "done");
      EXPECT_TRUE(r.named("notice").empty()) << r.text("notice", "text");
      if (field == "content") {
        EXPECT_EQ(r.text("content", "chunk"), text);
      } else if (field == "reasoning_content") {
        EXPECT_EQ(r.text("thinking_done", "text"), text);
      }
      if (field == "arguments") {
        const auto starts = r.named("tool_start");
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].payload.text("args"), text);
      }
    }
  }
}

// Only a surrogate without its other half becomes U+FFFD; the rest of its delta is kept.
TEST_F(AgentTest, LoneSurrogatesBecomeReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  const auto raw = [](const std::string& json_string) {
    return R"(data: {"choices":[{"delta":{"content":)" + json_string + "}}]}\n\n";
  };
  struct Case {
    const char* name;
    std::vector<std::string> events;
    std::string expect;
  };
  const Case cases[] = {
      {"high, then no low", {raw(R"("ab\ud83d")"), raw(R"("cd")")}, "ab" + fffd + "cd"},
      {"low alone at the start", {raw(R"("\ude00xy")")}, fffd + "xy"},
      {"high inside a delta", {raw(R"("a\ud83db")")}, "a" + fffd + "b"},
      {"two highs",
       {raw(R"("a\ud83d")"), raw(R"("\ud83d\ude00")")},
       "a" + fffd + "\xF0\x9F\x98\x80"},
      {"high at the very end", {raw(R"("end\ud83d")")}, "end" + fffd},
      {"a real U+FDD0 is kept",
       {raw(R"("\ufdd0\ud83d")"), raw(R"("\ude00")")},
       "\xEF\xB7\x90\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto events = c.events;
    events.push_back(sse(chunk(json::object(), "stop")));
    events.push_back(kDone);
    server.enqueue(stream_reply(events));
    OutputManager fresh;
    Recorder r(fresh);
    agent().run_turn("x", fresh);
    EXPECT_EQ(r.text("content", "chunk"), c.expect);
    EXPECT_EQ(r.names().back(), "done");
  }
}

// A server (or a request field stream=false) may answer with one chat.completion body; it read as
// "the server ended the answer before it was complete".
TEST_F(AgentTest, ACompleteJsonAnswerGoesThroughTheSamePath) {
  dir.write("notes.txt", "alpha\n");
  struct Case {
    const char* name;
    std::vector<Reply> replies;
    std::string reasoning, content, tool;
  };
  const Case cases[] = {
      {"content", {completion_reply({"", "Hello \xC3\xA9", {}})}, "", "Hello \xC3\xA9", ""},
      {"reasoning and content", {completion_reply({"Think.", "Done.", {}})}, "Think.", "Done.", ""},
      {"tool call, then a streamed answer",
       {completion_reply({"", "", {{"read_file", R"({"path":"notes.txt"})"}}}),
        stream_reply({answer_stream("", "It says alpha.")})},
       "",
       "It says alpha.",
       "read_file"},
      {"tool call, then a complete answer",
       {completion_reply({"", "", {{"read_file", R"({"path":"notes.txt"})"}}}),
        completion_reply({"", "It says alpha.", {}})},
       "",
       "It says alpha.",
       "read_file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& r : c.replies) server.enqueue(r);
    OutputManager fresh;
    Recorder r(fresh);
    agent().run_turn("x", fresh);
    EXPECT_EQ(r.names().back(), "done");
    EXPECT_TRUE(r.named("error").empty()) << r.text("error", "message");
    EXPECT_EQ(r.text("thinking_done", "text"), c.reasoning);
    EXPECT_EQ(r.text("content", "chunk"), c.content);
    EXPECT_EQ(r.text("tool_start", "name"), c.tool);
    if (!c.tool.empty()) {
      EXPECT_EQ(r.text("tool_result", "result"), "alpha");
    }
    EXPECT_EQ(agent().conversation().back()["content"], c.content);
  }
  // A configuration asking for complete answers: strict servers refuse stream_options with it.
  AgentSettings whole = settings();
  whole.extra_request_fields = {{"stream", false}};
  EXPECT_EQ(agent(whole).request_body()["stream"], false);
  EXPECT_FALSE(agent().request_body().contains("stream_options"));
  // A JSON body that is no completion is an error that says so.
  server.enqueue(error_reply(200, R"({"object":"list","data":[]})"));
  OutputManager fresh;
  Recorder r(fresh);
  agent().run_turn("x", fresh);
  EXPECT_EQ(r.text("error", "message"),
            "the server's answer is not a chat completion (no choices)");
}

// The server's token counts replace the estimate and reach the summary in both front-ends; a
// turn of several requests adds them up.
TEST_F(AgentTest, ServerUsageReachesTheStateAndTheSummary) {
  server.enqueue(stream_reply({tool_stream("list_files", "{}")}));  // usage 100 in, 10 out
  server.enqueue(stream_reply({answer_stream("", "ok")}));          // usage 100 in, 20 out
  run("x");
  const auto done = rec.named("done");
  ASSERT_EQ(done.size(), 1u);
  const auto number = [&](const char* key) {
    const auto* v = done[0].payload.find(key);
    return v ? std::get<std::int64_t>(*v) : -1;
  };
  EXPECT_EQ(number("tokens_in"), 200);
  EXPECT_EQ(number("tokens_out"), 30);
  EXPECT_GE(number("generation_ms"), 0);
  EXPECT_EQ(out.snapshot().tokens, 30);
  EXPECT_EQ(out.snapshot().prompt_tokens, 200);
  EXPECT_NE(cap.take().find("tools: list_files \xE2\x80\x94 200 tokens in, 30 out"),
            std::string::npos);

  // Without usage the estimate stays and the summary reads as before.
  server.enqueue(stream_reply(
      {sse(content_chunk("plain answer")), sse(chunk(json::object(), "stop")), kDone}));
  OutputManager fresh;
  Recorder r(fresh);
  agent().run_turn("y", fresh);
  ASSERT_EQ(r.named("done").size(), 1u);
  EXPECT_FALSE(r.named("done")[0].payload.contains("tokens_in"));
  EXPECT_FALSE(fresh.snapshot().usage_reported);
  EXPECT_EQ(fresh.snapshot().tokens, 3);
  const std::string plain = cap.take();
  EXPECT_EQ(plain.find("tokens in"), std::string::npos) << plain;
}

// A 17 MB delta was dropped without a word; now the turn ends with one note about everything
// skipped, also across the requests of a tool loop.
TEST_F(AgentTest, DroppedAndSkippedDataIsNotedOncePerTurn) {
  const std::string huge = sse(content_chunk(std::string(17u * 1024 * 1024, 'x')));
  server.enqueue(stream_reply({"data: {oops\n\n", sse(tool_call_chunk(0, "c1", "list_files", "{}")),
                               sse(chunk(json::object(), "tool_calls")), kDone}));
  server.enqueue(stream_reply({sse(content_chunk("kept")), huge, "data: [1]\n\n",
                               sse(chunk(json::object(), "stop")), kDone}));
  run("x");
  EXPECT_EQ(last_event(), "done");
  EXPECT_EQ(rec.text("content", "chunk"), "kept\n");
  const auto notes = rec.named("notice");
  ASSERT_EQ(notes.size(), 1u);
  const std::string note =
      "skipped 2 malformed events from the server (not JSON); dropped a 17 MB event from the "
      "server: larger than the 16 MB limit";
  EXPECT_EQ(notes[0].payload.text("text"), note);
  EXPECT_NE(cap.take().find(note), std::string::npos);
  // The next turn starts clean.
  server.enqueue(stream_reply({answer_stream("", "fine")}));
  OutputManager fresh;
  Recorder r(fresh);
  agent().run_turn("y", fresh);
  EXPECT_TRUE(r.named("notice").empty());
}

// After a failed turn the next prompt was merged into the failed one's user message; now every
// prompt is its own message and the conversation stays one a server accepts.
TEST_F(AgentTest, AFailedTurnDoesNotSwallowTheNextPrompt) {
  struct Case {
    const char* name;
    std::vector<Reply> replies;      // of the failing turn
    std::vector<std::string> roles;  // of the next request, system message left out
  };
  const Case cases[] = {
      {"error before any answer",
       {error_reply(500, R"({"error":"boom"})")},
       {"user", "assistant", "user"}},
      {"answer cut off",
       {stream_reply({sse(content_chunk("half"))})},
       {"user", "assistant", "user"}},
      {"error after a tool call",
       {stream_reply({tool_stream("list_files", "{}")}), error_reply(500, R"({"error":"boom"})")},
       {"user", "assistant", "tool", "user"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    agent(settings());
    const std::size_t first = server.requests().size();
    for (const auto& r : c.replies) server.enqueue(r);
    server.enqueue(stream_reply({answer_stream("", "fine")}));
    OutputManager fresh;
    Recorder r(fresh);
    agent().run_turn("first", fresh);
    EXPECT_EQ(r.names().back(), "error");
    agent().run_turn("second", fresh);
    EXPECT_EQ(r.names().back(), "done");
    const json msgs = request(first + c.replies.size())["messages"];
    std::vector<std::string> roles;
    for (std::size_t i = 1; i < msgs.size(); ++i) roles.push_back(msgs[i]["role"]);
    EXPECT_EQ(roles, c.roles);
    EXPECT_EQ(msgs[1]["content"], "first");
    EXPECT_EQ(msgs.back()["content"], "second");
  }
}

TEST_F(AgentTest, BadToolCallsGetErrorResultsAndTheLoopGoesOn) {
  server.enqueue(
      stream_reply({sse(tool_call_chunk(0, "c1", "read_file", "{\"path\": 7}")),
                    sse(tool_call_chunk(1, "c2", "launch_rockets", "{}")),
                    sse(tool_call_chunk(2, "c3", "bash", "{\"command\": \"ec")),  // cut off
                    sse(chunk(json::object(), "tool_calls")), kDone}));
  server.enqueue(stream_reply({answer_stream("", "Sorry.")}));
  run("x");
  const auto results = rec.named("tool_result");
  ASSERT_EQ(results.size(), 3u);
  for (const auto& r : results) EXPECT_EQ(r.payload.text("error"), "true");
  EXPECT_EQ(results[0].payload.text("result"), "argument \"path\" must be a string");
  EXPECT_EQ(results[1].payload.text("result"), "unknown tool \"launch_rockets\"");
  const auto msgs = request(1)["messages"];
  EXPECT_EQ(msgs[3]["content"], "argument \"path\" must be a string");
  EXPECT_EQ(msgs[5]["tool_call_id"], "c3");
  EXPECT_EQ(last_event(), "done");
}

TEST_F(AgentTest, HostileFilesGetErrorResultsAndLeftoversEndWithTheAgent) {
  ASSERT_EQ(::mkfifo((dir.path() / "pipe").c_str(), 0600), 0);
  server.enqueue(stream_reply(
      {sse(tool_call_chunk(0, "c1", "read_file", R"({"path": "pipe"})")),
       sse(tool_call_chunk(1, "c2", "grep", R"({"pattern": "x", "path": "pipe"})")),
       sse(tool_call_chunk(
           2, "c3", "bash",
           R"({"command": "sleep 1000 >/dev/null 2>&1 & echo $$", "timeout": 1e300})")),
       sse(chunk(json::object(), "tool_calls")), kDone}));
  server.enqueue(stream_reply({answer_stream("", "Done.")}));
  const auto start = std::chrono::steady_clock::now();
  run("x");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(last_event(), "done");
  const auto results = rec.named("tool_result");
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].payload.text("result"), "pipe is a FIFO, not a regular file");
  EXPECT_EQ(results[1].payload.text("result"), "pipe is a FIFO, not a regular file");
  const pid_t pgid = std::stoi(results[2].payload.text("result"));
  EXPECT_EQ(::kill(-pgid, 0), 0);
  // The host's exit: leftovers are ended whether the agent goes away or is only told to.
  agent().kill_leftovers();
  bool gone = false;
  for (int i = 0; i < 300 && !gone; ++i) {
    gone = ::kill(-pgid, 0) != 0;
    if (!gone) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(gone);
}

TEST_F(AgentTest, ConsentIsAskedAndADenialGoesBackToTheModel) {
  dir.write("keep.txt", "k");
  std::vector<std::pair<std::string, std::string>> asked;
  bool answer = false;
  out.set_approval_callback([&](const std::string& tool, const std::string& cmd) {
    asked.emplace_back(tool, cmd);
    return answer;
  });
  for (bool allow : {false, true}) {
    answer = allow;
    server.enqueue(stream_reply({tool_stream("bash", R"({"command":"rm keep.txt"})")}));
    server.enqueue(stream_reply({answer_stream("", "ok")}));
    run("clean up");
    EXPECT_EQ(fs_exists(dir.path() / "keep.txt"), !allow);
  }
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0], (std::pair<std::string, std::string>{"bash", "rm keep.txt"}));
  EXPECT_EQ(request(1)["messages"][3]["content"], "denied by the user");
  EXPECT_EQ(rec.named("tool_result")[0].payload.text("result"), "denied by the user");
  // Harmless commands ask nobody.
  server.enqueue(stream_reply({tool_stream("bash", R"({"command":"ls"})")}));
  server.enqueue(stream_reply({answer_stream("", "ok")}));
  run("list");
  EXPECT_EQ(asked.size(), 2u);
}

TEST_F(AgentTest, ConsentAsksWithTheReasonAndTheCommandAsShown) {
  dir.write("keep.txt", "k");
  std::vector<std::string> asked;
  out.set_approval_callback(ReasonedApprovalCallback(
      [&](const std::string& tool, const std::string& cmd, const std::string& reason) {
        asked = {tool, cmd, reason};
        return false;
      }));
  server.enqueue(stream_reply({tool_stream("bash", R"({"command":"rm keep.txt"})")}));
  server.enqueue(stream_reply({answer_stream("", "ok")}));
  run("clean up");
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[0], "bash");
  EXPECT_EQ(asked[1], "rm keep.txt");
  EXPECT_FALSE(asked[2].empty());  // the consent analyser's words, whatever they are
  EXPECT_TRUE(fs_exists(dir.path() / "keep.txt"));
}

TEST_F(AgentTest, ConversationIsKeptAcrossTurnsUntilReset) {
  server.enqueue(stream_reply({answer_stream("", "first answer")}));
  server.enqueue(stream_reply({answer_stream("", "second answer")}));
  server.enqueue(stream_reply({answer_stream("", "third answer")}));
  run("one");
  run("two");
  agent().reset_conversation();
  run("three");
  EXPECT_EQ(request(1)["messages"].size(), 4u);
  EXPECT_EQ(request(1)["messages"][2]["content"], "first answer");
  EXPECT_EQ(request(2)["messages"].size(), 2u);
  EXPECT_EQ(request(2)["messages"][1]["content"], "three");
}

TEST_F(AgentTest, ContextBudgetDropsOldToolOutputs) {
  dir.write("big.txt", std::string(40000, 'z'));
  AgentSettings s = settings();
  s.context_budget_tokens = 12000;
  agent(s);
  server.enqueue(stream_reply({tool_stream("read_file", R"({"path":"big.txt"})", "r1")}));
  server.enqueue(stream_reply({tool_stream("read_file", R"({"path":"big.txt"})", "r2")}));
  server.enqueue(stream_reply({answer_stream("", "done")}));
  run("read it twice");
  const json msgs = request(2)["messages"];
  EXPECT_EQ(msgs[3]["content"], kDroppedOutput);
  EXPECT_EQ(msgs[5]["content"], std::string(40000, 'z'));
}

TEST_F(AgentTest, StepLimitEndsTheTurn) {
  AgentSettings s = settings();
  s.max_steps = 2;
  agent(s);
  server.set_responder(
      [](const Request&) { return stream_reply({tool_stream("list_files", "{}")}); });
  run("loop forever");
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(last_event(), "done");
  EXPECT_NE(cap.take().find("stopped after 2 model requests"), std::string::npos);
}

// --- cancellation: the turn ends within moments, whatever it is doing ---

class CancelTest : public AgentTest {
 protected:
  void cancel_when(const std::string& event) {
    ASSERT_TRUE(rec.wait_for(event)) << "never saw " << event;
    const auto start = std::chrono::steady_clock::now();
    agent().cancel();
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(last_event(), "done");
    EXPECT_NE(cap.take().find("interrupted"), std::string::npos);
  }
  std::thread worker;
};

Reply endless(const std::function<json(int)>& make) {
  Reply r;
  for (int i = 0; i < 2000; ++i) r.pieces.push_back({sse(make(i)), 20ms});
  return r;
}

TEST_F(CancelTest, DuringReasoning) {
  server.enqueue(endless([](int) { return reasoning_chunk("thinking "); }));
  worker = run_async("x");
  cancel_when("thinking_chunk");
  EXPECT_EQ(rec.named("content").size(), 0u);
}

TEST_F(CancelTest, DuringTheAnswerKeepsWhatWasSaid) {
  server.enqueue(endless([](int) { return content_chunk("word "); }));
  worker = run_async("x");
  cancel_when("content");
  const auto conv = agent().conversation();
  ASSERT_EQ(conv.size(), 2u);
  EXPECT_EQ(conv[1]["role"], "assistant");
  EXPECT_EQ(conv[1]["content"].get<std::string>().rfind("word ", 0), 0u);
}

TEST_F(CancelTest, DuringARunningCommand) {
  server.enqueue(stream_reply({tool_stream("bash", R"({"command":"sleep 60"})")}));
  worker = run_async("x");
  cancel_when("tool_start");
  EXPECT_EQ(server.requests().size(), 1u);
  ASSERT_EQ(rec.named("tool_result").size(), 1u);
  EXPECT_NE(rec.named("tool_result")[0].payload.text("result").find("cancelled"),
            std::string::npos);
  // The conversation stays valid: the call has its result.
  EXPECT_EQ(agent().conversation().back()["role"], "tool");
}

TEST_F(CancelTest, DuringAWaitingApprovalNothingRunsEvenIfApprovedLate) {
  dir.write("victim.txt", "v");
  std::mutex m;
  std::condition_variable cv;
  bool asked = false, released = false;
  out.set_approval_callback([&](const std::string&, const std::string&) {
    std::unique_lock g(m);
    asked = true;
    cv.notify_all();
    cv.wait(g, [&] { return released; });
    return true;
  });
  server.enqueue(stream_reply({tool_stream("bash", R"({"command":"rm victim.txt"})")}));
  worker = run_async("x");
  {
    std::unique_lock g(m);
    ASSERT_TRUE(cv.wait_for(g, 20s, [&] { return asked; }));
  }
  agent().cancel();
  {
    std::lock_guard g(m);
    released = true;  // the host answers the prompt it drew
  }
  cv.notify_all();
  worker.join();
  EXPECT_TRUE(fs_exists(dir.path() / "victim.txt"));
  EXPECT_EQ(rec.named("tool_result")[0].payload.text("result"), "cancelled by the user");
  EXPECT_EQ(last_event(), "done");
}

}  // namespace
}  // namespace orvo::agent
