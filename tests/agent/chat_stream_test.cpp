// The fast reading of common chunks against the full JSON parse, which is the reference.
#include "agent/chat_stream.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fake_openai_server.hpp"

namespace orvo::agent {
namespace {

using nlohmann::json;
using namespace orvo::agent::testing;

std::string describe(const ChunkDelta& d) {
  json j = {{"reasoning", json::binary({d.reasoning.begin(), d.reasoning.end()})},
            {"content", json::binary({d.content.begin(), d.content.end()})},
            {"finish_reason", d.finish_reason},
            {"done", d.done},
            {"error", d.error},
            {"malformed", d.malformed},
            {"tool_calls", json::array()}};
  for (const auto& t : d.tool_calls) {
    j["tool_calls"].push_back({t.index, t.id, t.name, t.arguments});
  }
  if (d.usage) j["usage"] = {d.usage->prompt_tokens, d.usage->completion_tokens};
  return j.dump();
}

struct FastCase {
  const char* name;
  std::string chunk;
  bool fast;  // whether the fast reading is expected to take it
};

TEST(DecodeChunkFast, AgreesWithTheFullParseAndTakesOnlyTheCommonShapes) {
  const std::vector<FastCase> cases = {
      // Shapes servers send for every token.
      {"llama.cpp content", content_chunk("word ").dump(), true},
      {"reasoning_content", reasoning_chunk("hm ").dump(), true},
      {"ollama reasoning", reasoning_chunk("hm ", "reasoning").dump(), true},
      {"finish", chunk(json::object(), "stop").dump(), true},
      {"role only", R"({"choices":[{"index":0,"delta":{"role":"assistant","content":null}}]})",
       true},
      {"vllm with null usage",
       R"({"id":"c","object":"chat.completion.chunk","created":1,"model":"m","choices":[{"index":0,"delta":{"content":"x"},"logprobs":null,"finish_reason":null,"stop_reason":null}],"usage":null})",
       true},
      {"null error and tool_calls",
       R"({"error":null,"choices":[{"delta":{"content":"a","tool_calls":null}}]})", true},
      {"reasoning_content wins",
       R"({"choices":[{"delta":{"reasoning":"b","reasoning_content":"a"}}]})", true},
      {"null reasoning_content, ollama reasoning",
       R"({"choices":[{"delta":{"reasoning_content":null,"reasoning":"b"}}]})", true},
      {"empty content", R"({"choices":[{"delta":{"content":""}}]})", true},
      {"empty delta and choice", R"({"choices":[{"delta":{}},{}]})", true},
      {"empty first choice", R"({"choices":[{}]})", true},
      {"later choices ignored",
       R"({"choices":[{"delta":{"content":"a"}},{"delta":{"content":"b"}}]})", true},
      {"keys in another order",
       R"({"model":"m","choices":[{"finish_reason":"length","delta":{"content":"z"},"index":0}],"id":"x"})",
       true},
      {"whitespace everywhere",
       "\t{ \"choices\" :\r\n[ {\"delta\"\t: { \"content\" : \"a b\" } , \"finish_reason\" : null "
       "} ] "
       "}\r\t",
       true},
      {"escapes",
       R"({"choices":[{"delta":{"content":"q\" b\\ s\/ \b\f\n\r\t e\u00e9 \u20AC \ud83d\ude00 z\u0000"}}]})",
       true},
      {"raw UTF-8",
       R"({"choices":[{"delta":{"content":"日本語 👍 naïve ߿ ￿ 𐀀 􏿿"}}]})", true},
      {"other values of every kind",
       R"({"x":[true,false,null,-0,12.5,-3,0.25,"s\u0041",{},[],{"a":[{"b":{}}]}],"choices":[{"logprobs":{"content":[{"t":1}]},"delta":{"content":"k","extra":[1,{"c":"d"}]}}]})",
       true},
      {"non-ASCII key elsewhere", R"({"clé":1,"choices":[{"delta":{"content":"a"}}]})", true},
      {"escaped quote in another value", R"({"id":"a\"b","choices":[{"delta":{"content":"a"}}]})",
       true},
      // Everything else goes to the full parse.
      {"tool call", tool_call_chunk(0, "call_1", "bash", "{\"c").dump(), false},
      {"usage", usage_chunk(3, 4).dump(), false},
      {"usage beside a choice",
       R"({"choices":[{"delta":{"content":"a"}}],"usage":{"prompt_tokens":1}})", false},
      {"error object", R"({"error":{"message":"boom"}})", false},
      {"error beside a choice", R"({"choices":[{"delta":{"content":"a"}}],"error":"x"})", false},
      {"empty choices", R"({"choices":[]})", false},
      {"no choices", R"({"id":"x"})", false},
      {"empty object", "{}", false},
      {"choices not an array", R"({"choices":{}})", false},
      {"choice not an object", R"({"choices":[7]})", false},
      {"delta not an object", R"({"choices":[{"delta":"x"}]})", false},
      {"content not a string", R"({"choices":[{"delta":{"content":5}}]})", false},
      {"finish_reason not a string", R"({"choices":[{"delta":{},"finish_reason":1}]})", false},
      {"duplicate content", R"({"choices":[{"delta":{"content":"a","content":"b"}}]})", false},
      {"duplicate choices",
       R"({"choices":[{"delta":{"content":"a"}}],"choices":[{"delta":{"content":"b"}}]})", false},
      {"duplicate delta", R"({"choices":[{"delta":{"content":"a"},"delta":{}}]})", false},
      {"escaped key", R"({"choices":[{"delta":{"cont\u0065nt":"a"}}]})", false},
      {"exponent", R"({"created":1e999,"choices":[{"delta":{"content":"a"}}]})", false},
      {"small exponent", R"({"created":1e5,"choices":[{"delta":{"content":"a"}}]})", false},
      {"leading zero", R"({"created":01,"choices":[{"delta":{"content":"a"}}]})", false},
      {"bare minus", R"({"created":-,"choices":[{"delta":{"content":"a"}}]})", false},
      {"lone high surrogate", R"({"choices":[{"delta":{"content":"\ud83d"}}]})", false},
      {"high surrogate then letter", R"({"choices":[{"delta":{"content":"\ud83dx"}}]})", false},
      {"lone low surrogate", R"({"choices":[{"delta":{"content":"\ude00"}}]})", false},
      {"two high surrogates", R"({"choices":[{"delta":{"content":"\ud83d\ud83d"}}]})", false},
      {"bad escape", R"({"choices":[{"delta":{"content":"\x41"}}]})", false},
      {"short \\u", R"({"choices":[{"delta":{"content":"\u12"}}]})", false},
      {"raw control character", "{\"choices\":[{\"delta\":{\"content\":\"a\x01\"}}]}", false},
      {"raw tab in a string", "{\"choices\":[{\"delta\":{\"content\":\"a\tb\"}}]}", false},
      {"overlong UTF-8", "{\"choices\":[{\"delta\":{\"content\":\"\xC0\x80\"}}]}", false},
      {"UTF-8 surrogate", "{\"choices\":[{\"delta\":{\"content\":\"\xED\xA0\x80\"}}]}", false},
      {"past U+10FFFF", "{\"choices\":[{\"delta\":{\"content\":\"\xF4\x90\x80\x80\"}}]}", false},
      {"cut UTF-8", "{\"choices\":[{\"delta\":{\"content\":\"\xE6\x97\"}}]}", false},
      {"invalid UTF-8 elsewhere", "{\"id\":\"\xFF\",\"choices\":[{\"delta\":{\"content\":\"a\"}}]}",
       false},
      {"truncated", R"({"choices":[{"delta":{"content":"a"}}])", false},
      {"trailing comma", R"({"choices":[{"delta":{"content":"a"},}]})", false},
      {"trailing garbage", R"({"choices":[{"delta":{"content":"a"}}]}x)", false},
      {"two objects", R"({"choices":[{"delta":{"content":"a"}}]}{})", false},
      {"byte order mark", "\xEF\xBB\xBF{\"choices\":[{\"delta\":{\"content\":\"a\"}}]}", false},
      {"not an object", R"([{"choices":[]}])", false},
      {"bad literal", R"({"x":nul,"choices":[{"delta":{"content":"a"}}]})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string full = describe(detail::decode_chunk_full(c.chunk));
    ChunkDelta fast;
    EXPECT_EQ(detail::decode_chunk_fast(c.chunk, fast), c.fast);
    if (c.fast) {
      EXPECT_EQ(describe(fast), full);
    }
    EXPECT_EQ(describe(decode_chunk(c.chunk)), full);
  }
  // The decoded text itself, not only agreement.
  ChunkDelta d;
  ASSERT_TRUE(detail::decode_chunk_fast(
      R"({"choices":[{"delta":{"content":"\ud83d\ude00 \u00e9\n\"\u0000"}}]})", d));
  EXPECT_EQ(d.content, std::string("\xF0\x9F\x98\x80 \xC3\xA9\n\"\0", 10));
}

// Halves of a surrogate pair as decode_chunk leaves them: their three-byte forms.
const std::string kHigh = "\xED\xA0\xBD";  // U+D83D
const std::string kLow = "\xED\xB8\x80";   // U+DE00
const std::string kGrin = "\xF0\x9F\x98\x80";
const std::string kFffd = "\xEF\xBF\xBD";

TEST(SurrogateJoiner, JoinsHalvesAcrossPiecesAndReplacesLoneOnes) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    std::string expect;  // all pieces joined, then finish()
  };
  const Case cases[] = {
      {"split pair", {"a" + kHigh, kLow + "b"}, "a" + kGrin + "b"},
      {"pair inside one piece", {"a" + kHigh + kLow}, "a" + kGrin},
      {"an empty piece between the halves", {kHigh, "", kLow}, kGrin},
      {"high, then text", {"a" + kHigh, "b"}, "a" + kFffd + "b"},
      {"high inside a piece", {kHigh + "b"}, kFffd + "b"},
      {"low alone", {kLow + "b"}, kFffd + "b"},
      {"high at the end of all", {"a" + kHigh}, "a" + kFffd},
      {"two highs then a low", {kHigh, kHigh, kLow}, kFffd + kGrin},
      {"Hangul and other ED bytes pass", {"\xED\x95\x9C" + kHigh, kLow}, "\xED\x95\x9C" + kGrin},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SurrogateJoiner j;
    std::string got;
    for (const auto& p : c.pieces) got += j.join(p);
    got += j.finish();
    EXPECT_EQ(got, c.expect);
  }
}

TEST(StreamDecoder, KeepsAHalfPerFieldAndToolCall) {
  StreamDecoder d;
  const auto ev = [&](const std::string& delta) {
    return d.decode(R"({"choices":[{"delta":)" + delta + "}]}");
  };
  auto a = ev(R"({"content":"x\ud83d","reasoning_content":"r\ud83d",)"
              R"("tool_calls":[{"index":0,"function":{"arguments":"{\ud83d"}},)"
              R"({"index":1,"function":{"arguments":"[\ud83d"}}]})");
  EXPECT_TRUE(a.malformed.empty()) << a.malformed;
  EXPECT_EQ(a.content, "x");
  EXPECT_EQ(a.reasoning, "r");
  ASSERT_EQ(a.tool_calls.size(), 2u);
  EXPECT_EQ(a.tool_calls[0].arguments, "{");
  auto b =
      ev(R"({"content":"\ude00y","tool_calls":[{"index":1,"function":{"arguments":"\ude00]"}}]})");
  EXPECT_EQ(b.content, kGrin + "y");
  EXPECT_EQ(b.tool_calls[0].arguments, kGrin + "]");
  // The reasoning's and call 0's halves never found their other halves.
  const auto end = d.finish();
  EXPECT_EQ(end.reasoning, kFffd);
  EXPECT_EQ(end.content, "");
  ASSERT_EQ(end.tool_calls.size(), 1u);
  EXPECT_EQ(end.tool_calls[0].index, 0);
  EXPECT_EQ(end.tool_calls[0].arguments, kFffd);
  // Elsewhere than text a lone surrogate is U+FFFD at once, and an event is never malformed for it.
  const auto c = decode_chunk(
      R"({"choices":[{"delta":{"tool_calls":[{"index":0,"id":"i\ud83d","function":{"name":"n\ude00"}}]}}]})");
  ASSERT_EQ(c.tool_calls.size(), 1u);
  EXPECT_EQ(c.tool_calls[0].id, "i" + kFffd);
  EXPECT_EQ(c.tool_calls[0].name, "n" + kFffd);
}

TEST(DecodeChunk, ACompleteAnswerReadsItsMessage) {
  const auto d = decode_chunk(
      R"({"object":"chat.completion","choices":[{"index":0,"message":{"role":"assistant","content":"Hi","reasoning_content":"hm","tool_calls":[{"id":"c1","type":"function","function":{"name":"bash","arguments":"{}"}}]},"finish_reason":"tool_calls"}],"usage":{"prompt_tokens":7,"completion_tokens":3}})");
  EXPECT_TRUE(d.malformed.empty());
  EXPECT_EQ(d.content, "Hi");
  EXPECT_EQ(d.reasoning, "hm");
  ASSERT_EQ(d.tool_calls.size(), 1u);
  EXPECT_EQ(d.tool_calls[0].name, "bash");
  EXPECT_EQ(d.finish_reason, "tool_calls");
  ASSERT_TRUE(d.usage);
  EXPECT_EQ(d.usage->prompt_tokens, 7);
}

// Values a chunk carries as JSON (an error object, arguments sent as an object) are written back
// out by a recursion as deep as their nesting, so a hostile server nesting them tens of thousands
// deep overflowed the stack. Such chunks are now refused; realistic nesting still decodes.
TEST(DecodeChunk, RefusesNestingDeepEnoughToExhaustTheStack) {
  const auto nested = [](int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
  };
  const auto args_chunk = [](const std::string& args) {
    return R"({"choices":[{"delta":{"tool_calls":[{"index":0,"function":{"name":"x","arguments":)" +
           args + "}}]}}]}";
  };
  struct Case {
    const char* name;
    std::string chunk;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"deep arguments object", args_chunk(nested(40000)), true},
      {"deep error value", R"({"error":)" + nested(40000) + "}", true},
      {"deep value nobody reads", R"({"x":)" + nested(40000) + R"(,"choices":[]})", true},
      {"brackets inside strings do not count",
       args_chunk(""
                  " + std::string(40000, '[') + "
                  ""),
       false},
      {"moderate nesting", args_chunk(nested(100)), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ChunkDelta d = decode_chunk(c.chunk);
    EXPECT_EQ(d.malformed == "nested too deeply", c.refused) << d.malformed;
  }
  const ChunkDelta ok = decode_chunk(args_chunk(nested(100)));
  ASSERT_EQ(ok.tool_calls.size(), 1u);
  EXPECT_EQ(ok.tool_calls[0].arguments, nested(100));
}

// Chunks as servers write them (raw and \u-escaped text), then mutated byte-wise: wherever the
// fast reading takes one, it must read it as the full parse does.
TEST(DecodeChunkFast, AgreesWithTheFullParseOnMutatedChunks) {
  std::mt19937 rng(20240611);
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  const std::vector<std::string> texts = {
      "",  "word ", "a\nb", "q\"q", "back\\slash", "tab\t",
      "é", "日本",  "👍",    "\x7F", "\x01",        "mixed é 👍 \"x\"\n"};
  const std::vector<std::string> fragments = {"\\u00e9",
                                              "\\ud83d\\ude00",
                                              "\\ud83d",
                                              "\\ude00",
                                              "\\u0000",
                                              "\\n",
                                              "\\\"",
                                              "\\",
                                              "\"",
                                              ",",
                                              ":",
                                              "{",
                                              "}",
                                              "[",
                                              "]",
                                              "null",
                                              " ",
                                              "\t",
                                              "\r\n",
                                              "1e5",
                                              "-0",
                                              "01",
                                              "\xC3\xA9",
                                              "\xC3",
                                              "\xED\xA0\x80",
                                              "\xF0\x9F\x91\x8D",
                                              "\xFF",
                                              "\"content\":\"x\"",
                                              "\"usage\":null",
                                              "\"tool_calls\":[]",
                                              "true",
                                              "\"delta\":{}"};
  int taken = 0;
  int declined = 0;
  for (int i = 0; i < 20000; ++i) {
    json delta = json::object();
    const int shape = static_cast<int>(pick(4));
    const std::string text = texts[pick(texts.size())] + texts[pick(texts.size())];
    if (shape == 0) delta["content"] = text;
    if (shape == 1) delta["reasoning_content"] = text;
    if (shape == 2) delta["reasoning"] = text;
    if (shape == 3) delta = {{"role", "assistant"}, {"content", nullptr}};
    std::string s = chunk(delta, pick(4) == 0 ? "stop" : nullptr).dump(-1, ' ', pick(2) == 0);
    for (std::size_t m = pick(4); m > 0; --m) {
      const std::size_t at = pick(s.size() + 1);
      switch (pick(4)) {
        case 0:
          s.insert(at, fragments[pick(fragments.size())]);
          break;
        case 1:
          s.erase(at, 1 + pick(3));
          break;
        case 2:
          if (at < s.size()) s[at] = static_cast<char>(pick(256));
          break;
        default:
          s.insert(at, s.substr(pick(s.size()), 1 + pick(8)));
          break;
      }
    }
    SCOPED_TRACE(s);
    ChunkDelta fast;
    if (detail::decode_chunk_fast(s, fast)) {
      ++taken;
      ASSERT_EQ(describe(fast), describe(detail::decode_chunk_full(s)));
    } else {
      ++declined;
    }
  }
  // Both ways must have been exercised for the comparison to mean anything.
  EXPECT_GT(taken, 2000);
  EXPECT_GT(declined, 2000);
}

}  // namespace
}  // namespace orvo::agent
