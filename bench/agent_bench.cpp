// Agent loop costs: event-stream parsing, the path of one streamed token from the socket to the
// output controller, and the time from a cancel to an idle worker.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <thread>

#include "agent/chat_stream.hpp"
#include "agent/openai_agent.hpp"
#include "agent/sse.hpp"
#include "fake_openai_server.hpp"
#include "output/output_manager.hpp"

namespace {

using namespace orvo::agent;
using namespace orvo::agent::testing;
using nlohmann::json;

class NullBuf : public std::streambuf {
 protected:
  int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct QuietCout {
  NullBuf buf;
  std::streambuf* old = std::cout.rdbuf(&buf);
  ~QuietCout() { std::cout.rdbuf(old); }
};

// A stream as servers send it: one small JSON chunk per token.
std::string token_stream(int tokens) {
  std::string s;
  for (int i = 0; i < tokens; ++i) s += sse(content_chunk(i % 8 == 7 ? "word\n" : "word "));
  s += sse(chunk(json::object(), "stop"));
  s += sse(usage_chunk(10, tokens));
  s += kDone;
  return s;
}

void BM_SseParse(benchmark::State& state) {
  const std::string stream = token_stream(20000);
  std::size_t events = 0;
  for (auto _ : state) {
    SseParser p;
    for (std::size_t i = 0; i < stream.size(); i += 16384) {
      p.feed(std::string_view(stream).substr(i, 16384),
             [&](std::string_view, std::string_view data) { events += data.size() > 0; });
    }
  }
  benchmark::DoNotOptimize(events);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_SseParse);

void BM_SseParseAndDecode(benchmark::State& state) {
  const std::string stream = token_stream(20000);
  std::size_t chars = 0;
  for (auto _ : state) {
    SseParser p;
    for (std::size_t i = 0; i < stream.size(); i += 16384) {
      p.feed(std::string_view(stream).substr(i, 16384),
             [&](std::string_view, std::string_view data) {
               chars += decode_chunk(data).content.size();
             });
    }
  }
  benchmark::DoNotOptimize(chars);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["tokens/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * 20000,
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SseParseAndDecode);

// One turn of 20,000 tokens from the fake server on loopback through the whole agent into an
// OutputManager writing to a null stream; the per-token figure is the time over the tokens.
void BM_TokenSocketToOutput(benchmark::State& state) {
  constexpr int kTokens = 20000;
  QuietCout quiet;
  FakeOpenAIServer server;
  const std::string stream = token_stream(kTokens);
  server.set_responder([&](const Request&) { return split_reply(stream, 16384); });
  AgentSettings s;
  s.endpoint = server.endpoint();
  OpenAIAgent agent(s);
  double ns = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    orvo::OutputManager out;
    agent.reset_conversation();
    agent.run_turn("go", out);
    ns +=
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  }
  // Wall time per token (a plain value, so the aggregates of repetitions stay per token).
  state.counters["ns/token"] = ns / (static_cast<double>(state.iterations()) * kTokens);
}
BENCHMARK(BM_TokenSocketToOutput)->Unit(benchmark::kMillisecond)->UseRealTime();

// From cancel() while tokens trickle in to run_turn having returned.
void BM_CancelToIdle(benchmark::State& state) {
  QuietCout quiet;
  FakeOpenAIServer server;
  server.set_responder([](const Request&) {
    Reply r;
    for (int i = 0; i < 5000; ++i)
      r.pieces.push_back({sse(content_chunk("tok ")), std::chrono::milliseconds(5)});
    return r;
  });
  AgentSettings s;
  s.endpoint = server.endpoint();
  OpenAIAgent agent(s);
  for (auto _ : state) {
    orvo::OutputManager out;
    std::mutex m;
    std::condition_variable cv;
    bool streaming = false;
    out.set_event_callback([&](const std::string& name, orvo::Payload) {
      if (name != "content") return;
      std::lock_guard g(m);
      streaming = true;
      cv.notify_all();
    });
    std::thread worker([&] { agent.run_turn("go", out); });
    {
      std::unique_lock g(m);
      cv.wait(g, [&] { return streaming; });
    }
    const auto start = std::chrono::steady_clock::now();
    agent.cancel();
    worker.join();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_CancelToIdle)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
