#include "agent/sse.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "agent/chat_stream.hpp"

namespace orvo::agent {
namespace {

using Events = std::vector<std::pair<std::string, std::string>>;

Events parse_in_pieces(const std::string& stream, std::size_t piece) {
  SseParser p;
  Events out;
  for (std::size_t i = 0; i < stream.size(); i += piece) {
    p.feed(std::string_view(stream).substr(i, piece),
           [&](std::string_view ev, std::string_view data) {
             out.emplace_back(std::string(ev), std::string(data));
           });
  }
  return out;
}

struct SseCase {
  const char* name;
  std::string stream;
  Events expected;
};

TEST(SseParser, FollowsTheEventStreamRulesWhereverTheBytesAreSplit) {
  const std::vector<SseCase> cases = {
      {"lf", "data: a\n\ndata: b\n\n", {{"", "a"}, {"", "b"}}},
      {"crlf", "data: a\r\n\r\ndata: b\r\n\r\n", {{"", "a"}, {"", "b"}}},
      {"lone cr", "data: a\r\rdata: b\r\r", {{"", "a"}, {"", "b"}}},
      {"mixed ends", "data: a\r\n\ndata: b\r\r\n", {{"", "a"}, {"", "b"}}},
      {"comments and keep-alives", ": ping\n\n:\ndata: x\n: mid\n\n", {{"", "x"}}},
      {"multi-line data joined with LF", "data: one\ndata: two\ndata:\n\n", {{"", "one\ntwo\n"}}},
      {"only one leading space removed",
       "data:  two spaces\n\ndata:none\n\n",
       {{"", " two spaces"}, {"", "none"}}},
      {"event name",
       "event: error\ndata: {\"x\":1}\n\ndata: plain\n\n",
       {{"error", "{\"x\":1}"}, {"", "plain"}}},
      {"id, retry and unknown fields ignored",
       "id: 7\nretry: 10\nfoo: bar\ndata: d\n\n",
       {{"", "d"}}},
      {"event without data is not dispatched", "event: x\n\ndata: y\n\n", {{"", "y"}}},
      {"field without colon", "data\n\n", {{"", ""}}},
      {"byte order mark",
       "\xEF\xBB\xBF"
       "data: a\n\n",
       {{"", "a"}}},
      {"unfinished event at the end stays pending", "data: a\n\ndata: b\n", {{"", "a"}}},
      {"utf-8 kept whole",
       "data: h\xC3\xA9llo \xF0\x9F\x98\x80\n\n",
       {{"", "h\xC3\xA9llo \xF0\x9F\x98\x80"}}},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {c.stream.size(), std::size_t{1}, std::size_t{2}, std::size_t{3},
                              std::size_t{5}, std::size_t{7}}) {
      if (piece == 0) continue;
      EXPECT_EQ(parse_in_pieces(c.stream, piece), c.expected) << c.name << ", pieces of " << piece;
    }
  }
}

TEST(SseParser, EverySplitPointOfARealisticStreamGivesTheSameEvents) {
  const std::string stream =
      ": keep-alive\r\n\r\ndata: {\"a\":\"\xE2\x82\xAC\"}\r\n\r\ndata: [DONE]\r\n\r\n";
  const Events whole = parse_in_pieces(stream, stream.size());
  ASSERT_EQ(whole.size(), 2u);
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    SseParser p;
    Events got;
    auto sink = [&](std::string_view ev, std::string_view d) { got.emplace_back(ev, d); };
    p.feed(std::string_view(stream).substr(0, cut), sink);
    p.feed(std::string_view(stream).substr(cut), sink);
    EXPECT_EQ(got, whole) << "cut at " << cut;
  }
}

TEST(SseParser, CrAtTheEndOfAReadDoesNotSwallowAnEmptyLineThatFollows) {
  SseParser p;
  Events got;
  auto sink = [&](std::string_view ev, std::string_view d) { got.emplace_back(ev, d); };
  p.feed("data: a\r", sink);
  p.feed("\r", sink);  // lone CR ends the event: not the LF of a CR LF pair
  EXPECT_EQ(got, (Events{{"", "a"}}));
}

TEST(SseParser, AnOversizedLineIsDroppedAndParsingGoesOn) {
  SseParser p;
  Events got;
  auto sink = [&](std::string_view ev, std::string_view d) {
    got.emplace_back(ev, std::string(d.substr(0, 10)));
  };
  const std::string big(1024 * 1024, 'x');
  p.feed("data: ", sink);
  for (std::size_t i = 0; i < SseParser::kMaxEventBytes / big.size() + 2; ++i) p.feed(big, sink);
  p.feed("\n\ndata: after\n\n", sink);
  EXPECT_EQ(got, (Events{{"", "after"}}));
  EXPECT_EQ(p.dropped(), 1u);
}

// The note about dropped data names its size: an event counts once, however it was too long.
TEST(SseParser, DroppedEventsAreCountedOnceWithTheirSize) {
  const std::string mb(1024 * 1024, 'x');
  struct Case {
    const char* name;
    std::vector<std::string> feeds;
    std::size_t dropped;
    std::uint64_t at_least, at_most;
  };
  std::vector<std::string> one_line = {"data: "};
  for (int i = 0; i < 40; ++i) one_line.push_back(mb);  // 40 MB on one line, in pieces
  one_line.push_back("\n\n");
  std::vector<std::string> many_lines;
  for (int i = 0; i < 17; ++i) many_lines.push_back("data: " + mb + "\n");  // 17 lines of 1 MB
  many_lines.push_back("\n");
  const Case cases[] = {
      {"one long line", one_line, 1, 40u << 20, (40u << 20) + 64},
      {"many data lines", many_lines, 1, 17u << 20, (17u << 20) + 64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SseParser p;
    Events got;
    auto sink = [&](std::string_view e, std::string_view d) { got.emplace_back(e, d); };
    for (const auto& f : c.feeds) p.feed(f, sink);
    p.feed("data: after\n\n", sink);
    EXPECT_EQ(got, (Events{{"", "after"}}));
    EXPECT_EQ(p.dropped(), c.dropped);
    EXPECT_GE(p.dropped_bytes(), c.at_least);
    EXPECT_LE(p.dropped_bytes(), c.at_most);
  }
}

// --- chunk decoding ---

TEST(DecodeChunk, ReadsEachKindOfDelta) {
  auto d = decode_chunk(R"({"choices":[{"index":0,"delta":{"reasoning_content":"hm"}}]})");
  EXPECT_EQ(d.reasoning, "hm");
  d = decode_chunk(R"({"choices":[{"delta":{"reasoning":"ollama style"}}]})");
  EXPECT_EQ(d.reasoning, "ollama style");
  d = decode_chunk(
      R"({"choices":[{"delta":{"content":"Hi","role":"assistant"},"finish_reason":null}]})");
  EXPECT_EQ(d.content, "Hi");
  EXPECT_EQ(d.finish_reason, "");
  d = decode_chunk(R"({"choices":[{"delta":{},"finish_reason":"stop"}]})");
  EXPECT_EQ(d.finish_reason, "stop");
  d = decode_chunk(R"({"choices":[],"usage":{"prompt_tokens":12,"completion_tokens":34}})");
  ASSERT_TRUE(d.usage);
  EXPECT_EQ(d.usage->prompt_tokens, 12);
  EXPECT_EQ(d.usage->completion_tokens, 34);
  EXPECT_TRUE(d.malformed.empty());
  d = decode_chunk(
      R"({"choices":[{"delta":{"tool_calls":[{"index":1,"id":"c1","type":"function","function":{"name":"bash","arguments":"{\"co"}}]}}]})");
  ASSERT_EQ(d.tool_calls.size(), 1u);
  EXPECT_EQ(d.tool_calls[0].index, 1);
  EXPECT_EQ(d.tool_calls[0].id, "c1");
  EXPECT_EQ(d.tool_calls[0].name, "bash");
  EXPECT_EQ(d.tool_calls[0].arguments, "{\"co");
  d = decode_chunk(
      R"({"choices":[{"delta":{"tool_calls":[{"function":{"name":"ls","arguments":{"path":"."}}}]}}]})");
  ASSERT_EQ(d.tool_calls.size(), 1u);
  EXPECT_EQ(d.tool_calls[0].index, -1);
  EXPECT_EQ(d.tool_calls[0].arguments, R"({"path":"."})");
  EXPECT_TRUE(decode_chunk("[DONE]").done);
  EXPECT_TRUE(decode_chunk(" [DONE]\n").done);
}

TEST(DecodeChunk, ErrorsAndMalformedEventsAreReportedNotThrown) {
  EXPECT_EQ(decode_chunk(R"({"error":{"message":"context too long","code":400}})").error,
            "context too long");
  EXPECT_EQ(decode_chunk(R"({"error":"model not loaded"})").error, "model not loaded");
  for (const char* bad : {"{", "not json", "[1,2]", "\"str\"", "{\"choices\":5}", "{}",
                          "{\"choices\":[7]}", "\xFF\xFE{", ""}) {
    const auto d = decode_chunk(bad);
    EXPECT_FALSE(d.malformed.empty()) << bad;
    EXPECT_TRUE(d.content.empty() && d.reasoning.empty() && d.tool_calls.empty()) << bad;
  }
  // Wrong types inside a delta are ignored field by field.
  const auto d = decode_chunk(
      R"({"choices":[{"delta":{"content":5,"reasoning_content":null,"tool_calls":[3,{"index":"x"}]}}]})");
  EXPECT_TRUE(d.malformed.empty());
  EXPECT_TRUE(d.content.empty());
  EXPECT_EQ(d.tool_calls.size(), 1u);
}

TEST(ToolCallAssembler, JoinsFragmentsByIndexAndKeepsCallOrder) {
  ToolCallAssembler a;
  a.add({1, "b", "grep", "{\"pat"});
  a.add({0, "a", "read_file", "{\"path\""});
  a.add({1, "", "", "tern\":\"x\"}"});
  a.add({0, "", "", ":\"f\"}"});
  const auto calls = a.take();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].id, "a");
  EXPECT_EQ(calls[0].name, "read_file");
  EXPECT_EQ(calls[0].arguments, "{\"path\":\"f\"}");
  EXPECT_EQ(calls[1].arguments, "{\"pattern\":\"x\"}");
  EXPECT_TRUE(a.empty());
}

TEST(ToolCallAssembler, WholeCallsWithoutIndexAndRepeatedNames) {
  ToolCallAssembler a;
  a.add({-1, "", "bash", "{\"command\":\"ls\"}"});
  a.add({-1, "", "list_files", "{}"});
  auto calls = a.take();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].name, "bash");
  EXPECT_EQ(calls[1].name, "list_files");
  EXPECT_NE(calls[0].id, calls[1].id);  // ids made up where the server sent none

  a.add({0, "x", "bash", "{\"com"});
  a.add({0, "", "bash", "mand\":\"ls\"}"});  // a server that repeats the name
  calls = a.take();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].name, "bash");
  EXPECT_EQ(calls[0].arguments, "{\"command\":\"ls\"}");
}

}  // namespace
}  // namespace orvo::agent
