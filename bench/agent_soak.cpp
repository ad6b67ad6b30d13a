// agent_soak: a long run of the agent loop against the fake OpenAI-compatible server, sampling the
// process's memory, to show whether a long session grows it. Not a test: run it by hand.
//
//   agent_soak [--minutes N] [--tokens-per-s N] [--sample-s N] [--endpoint URL] [--reset]
//
// Without --endpoint the fake server runs in this process and streams, per model request,
// reasoning then an answer (every fourth request a list_files call instead, whose result goes
// back to the model), one token per event at the given rate. With --endpoint (for instance a
// fake_openai_server program started with --delay-ms 5) that server's turns are used instead.
// The conversation is kept across turns, as in an interactive session, so its trimming to the
// context budget is part of the run; --reset starts every turn afresh.
//
// Every sample prints the resident set size and the bytes the allocator has handed out (the
// latter ignores fragmentation and pages the allocator keeps, so it shows a leak more plainly).
// At the end: first and last samples after a warm-up and a least-squares slope per minute.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "agent/openai_agent.hpp"
#include "fake_openai_server.hpp"
#include "output/output_manager.hpp"

namespace {

using namespace orvo::agent;
using namespace orvo::agent::testing;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

class NullBuf : public std::streambuf {
 protected:
  int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct Sample {
  double minutes;
  long turns;
  long tokens;
  long rss_kb;
  long heap_kb;
};

long rss_kb() {
  std::ifstream in("/proc/self/statm");
  long size = 0;
  long resident = 0;
  in >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long heap_kb() {
  const struct mallinfo2 mi = mallinfo2();
  return static_cast<long>((mi.uordblks + mi.hblkhd) / 1024);
}

// Least-squares slope of y over x.
double slope(const std::vector<double>& x, const std::vector<double>& y) {
  const double n = static_cast<double>(x.size());
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sx += x[i];
    sy += y[i];
    sxx += x[i] * x[i];
    sxy += x[i] * y[i];
  }
  const double d = n * sxx - sx * sx;
  return d == 0 ? 0 : (n * sxy - sx * sy) / d;
}

// Text with what real answers hold: Markdown, escapes, a newline now and then, non-ASCII.
const std::vector<std::string> kWords = {
    "The ",   "change ", "keeps ",  "the ",   "\"cache\" ", "warm; ", "see ",  "`src/a.cpp`",
    ":\n\n",  "- one\n", "- two\n", "naïve ", "→ ",         "日本 ",  "ok 👍 ", "done.\n",
    "tab\t ", "back\\ ", "{x} ",    "<tag> ", "## Next\n",  "and ",   "then ", "more "};

constexpr std::size_t kEventsPerPiece = 4;

Reply model_reply(const Request& req, int tokens, std::chrono::milliseconds delay,
                  long& tokens_sent, long& requests) {
  const json body = req.json();
  bool after_tool = false;
  if (body.is_object() && body.contains("messages") && body["messages"].is_array() &&
      !body["messages"].empty()) {
    after_tool = body["messages"].back().value("role", "") == "tool";
  }
  const long n = requests++;
  std::vector<std::string> events;
  for (int i = 0; i < tokens / 8; ++i) events.push_back(sse(reasoning_chunk(kWords[i % 24])));
  if (!after_tool && n % 4 == 3) {
    events.push_back(sse(tool_call_chunk(0, "call_" + std::to_string(n), "list_files", "")));
    events.push_back(sse(tool_call_chunk(0, "", "", "{\"path\":")));
    events.push_back(sse(tool_call_chunk(0, "", "", " \".\"}")));
    events.push_back(sse(chunk(json::object(), "tool_calls")));
  } else {
    for (int i = 0; i < tokens; ++i) {
      events.push_back(sse(content_chunk(kWords[static_cast<std::size_t>(i + n) % 24])));
    }
    events.push_back(sse(chunk(json::object(), "stop")));
  }
  tokens_sent += static_cast<long>(events.size());
  events.push_back(sse(usage_chunk(1000, static_cast<long>(events.size()))));
  events.push_back(kDone);
  // Sent a few events per piece: a sleep per event would overshoot by the scheduler's latency
  // each time and fall well short of the rate under load.
  std::vector<std::string> pieces;
  for (std::size_t i = 0; i < events.size(); i += kEventsPerPiece) {
    std::string piece;
    for (std::size_t j = i; j < std::min(events.size(), i + kEventsPerPiece); ++j)
      piece += events[j];
    pieces.push_back(std::move(piece));
  }
  return stream_reply(pieces, delay);
}

int usage() {
  std::cerr << "usage: agent_soak [--minutes N] [--tokens-per-s N] [--sample-s N] "
               "[--endpoint URL] [--reset]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 30;
  int tokens_per_s = 200;
  double sample_s = 30;
  std::string endpoint;
  bool reset = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--minutes" && i + 1 < argc) {
      minutes = std::atof(argv[++i]);
    } else if (a == "--tokens-per-s" && i + 1 < argc) {
      tokens_per_s = std::clamp(std::atoi(argv[++i]), 1, 4000);
    } else if (a == "--sample-s" && i + 1 < argc) {
      sample_s = std::atof(argv[++i]);
    } else if (a == "--endpoint" && i + 1 < argc) {
      endpoint = argv[++i];
    } else if (a == "--reset") {
      reset = true;
    } else {
      return usage();
    }
  }

  // The tools work in a scratch directory with a few files to list.
  std::string tmpl = (std::filesystem::temp_directory_path() / "kv-soak-XXXXXX").string();
  const std::filesystem::path dir = ::mkdtemp(tmpl.data());
  for (int i = 0; i < 20; ++i) std::ofstream(dir / ("f" + std::to_string(i) + ".txt")) << i;

  std::atomic<long> tokens_sent{0};
  long tokens_local = 0;
  long requests = 0;
  std::unique_ptr<FakeOpenAIServer> server;
  AgentSettings s;
  s.project_dir = dir;
  if (endpoint.empty()) {
    server = std::make_unique<FakeOpenAIServer>();
    server->keep_requests(0);
    const auto delay = std::chrono::milliseconds(1000 * kEventsPerPiece / tokens_per_s);
    server->set_responder([&, delay](const Request& req) {
      Reply r = model_reply(req, 400, delay, tokens_local, requests);
      tokens_sent.store(tokens_local);
      return r;
    });
    endpoint = server->endpoint();
  }
  s.endpoint = endpoint;
  OpenAIAgent agent(s);

  NullBuf null;
  std::streambuf* old = std::cout.rdbuf(&null);
  orvo::OutputManager out;
  std::atomic<long> streamed{0};
  out.set_event_callback([&](const std::string& name, orvo::Payload) {
    if (name == "content" || name == "thinking_chunk")
      streamed.fetch_add(1, std::memory_order_relaxed);
  });

  std::vector<Sample> samples;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double, std::ratio<60>>(minutes);
  auto next_sample = start;
  long turns = 0;
  std::fprintf(stderr, "%8s %7s %9s %9s %9s\n", "minutes", "turns", "events", "rss_kb", "heap_kb");
  while (Clock::now() < end) {
    if (Clock::now() >= next_sample) {
      const double m = std::chrono::duration<double, std::ratio<60>>(Clock::now() - start).count();
      const long ev = server ? tokens_sent.load() : streamed.load();
      samples.push_back({m, turns, ev, rss_kb(), heap_kb()});
      std::fprintf(stderr, "%8.2f %7ld %9ld %9ld %9ld\n", m, turns, ev, samples.back().rss_kb,
                   samples.back().heap_kb);
      next_sample +=
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sample_s));
    }
    if (reset) agent.reset_conversation();
    agent.run_turn("Summarise the project, turn " + std::to_string(turns), out);
    ++turns;
  }
  std::cout.rdbuf(old);
  server.reset();
  std::filesystem::remove_all(dir);

  // The first minute fills caches, pools and the conversation up to its budget: leave it out.
  std::vector<double> x, rss, heap;
  for (const auto& sm : samples) {
    if (sm.minutes < 1.0 && samples.back().minutes > 3.0) continue;
    x.push_back(sm.minutes);
    rss.push_back(static_cast<double>(sm.rss_kb));
    heap.push_back(static_cast<double>(sm.heap_kb));
  }
  if (x.size() < 2) {
    std::fprintf(stderr, "too few samples for a trend\n");
    return 0;
  }
  std::fprintf(stderr,
               "after warm-up: rss %ld -> %ld kB (slope %.1f kB/min), heap %ld -> %ld kB "
               "(slope %.1f kB/min), %ld turns, %.0f events/s\n",
               static_cast<long>(rss.front()), static_cast<long>(rss.back()), slope(x, rss),
               static_cast<long>(heap.front()), static_cast<long>(heap.back()), slope(x, heap),
               turns,
               static_cast<double>(samples.back().tokens) / (samples.back().minutes * 60 + 1e-9));
  return 0;
}
