// fake_openai_server: an OpenAI-compatible server for end-to-end runs of kestravel without a
// model. Prints its endpoint on the first line of standard output, then serves until killed.
//
//   fake_openai_server [--port N] [--delay-ms N] [--script FILE] [--answer SHAPE]
//                      [--models ID,ID,...]
//
// Without a script every prompt gets a paced turn: reasoning, a list_files call, then a streamed
// Markdown answer after the tool result. --answer changes how it arrives:
//   stream     (the default) word by word as server-sent events
//   complete   one chat.completion JSON body per request, no stream
//   js-sliced  streamed, with the texts cut every 3 UTF-16 code units as a server in JavaScript
//              cuts them (surrogate pairs split between events)
//   html-500   every chat request fails with an HTML error page
// --models sets the ids GET /models lists ("" for an empty list; default "fake").
// A script is JSON Lines, one reply per request in order:
//   {"events": [<chunk object or raw SSE text>, ...], "status": 200, "delay_ms": 20,
//    "end": "close" | "stall" | "drop"}
// or {"body": "<whole body>", "content_type": "application/json", "status": 200}.
// Chunk objects are sent as "data: <json>\n\n"; the string "[DONE]" as "data: [DONE]\n\n".
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "fake_openai_server.hpp"

using namespace orvo::agent::testing;
using nlohmann::json;

namespace {

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    cur.push_back(c);
    if (c == ' ' || c == '\n') {
      out.push_back(cur);
      cur.clear();
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

enum class Answer { stream, complete, js_sliced, html_500 };

constexpr const char* kReasoningFirst =
    "The user wants an overview. Let me list the project files first.";
constexpr const char* kReasoningAfter = "I have the listing; a short summary will do.\n";
constexpr const char* kAnswerText =
    "## Project overview\n\nThe listing shows the files above. This answer comes from the **fake "
    "server** \xF0\x9F\x98\x80, streamed word by word:\n\n- one\n- two\n\n```sh\nls -la\n```\n";

Reply demo_reply(const Request& req, std::chrono::milliseconds delay, Answer shape) {
  const json body = req.json();
  bool after_tool = false;
  if (body.is_object() && body.contains("messages") && body["messages"].is_array() &&
      !body["messages"].empty()) {
    after_tool = body["messages"].back().value("role", "") == "tool";
  }
  const bool think = !(body.is_object() && body.contains("chat_template_kwargs") &&
                       body["chat_template_kwargs"].value("enable_thinking", true) == false);
  if (shape == Answer::html_500) {
    return html_error_reply(500, "Internal Server Error",
                            "TypeError: Cannot read properties of null (reading 'content')");
  }
  if (shape == Answer::complete) {
    Completion c;
    if (!after_tool) {
      if (think) c.reasoning = kReasoningFirst;
      c.tool_calls.push_back({"list_files", R"({"path": "."})"});
    } else {
      if (think) c.reasoning = kReasoningAfter;
      c.content = kAnswerText;
    }
    Reply r = completion_reply(c);
    r.delay = delay;
    return r;
  }
  std::vector<std::string> events;
  if (shape == Answer::js_sliced) {
    const auto add = [&events](const std::string& field, const std::string& text) {
      for (auto& e : js_sliced_events(field, text, 3)) events.push_back(std::move(e));
    };
    if (!after_tool) {
      if (think) add("reasoning_content", kReasoningFirst);
      events.push_back(sse(tool_call_chunk(0, "call_1", "list_files", "")));
      add("arguments", R"({"path": "."})");
      events.push_back(sse(chunk(json::object(), "tool_calls")));
    } else {
      if (think) add("reasoning_content", kReasoningAfter);
      add("content", kAnswerText);
      events.push_back(sse(chunk(json::object(), "stop")));
    }
    events.push_back(sse(usage_chunk(200, static_cast<long>(events.size()))));
    events.push_back(kDone);
    return stream_reply(events, delay);
  }
  if (!after_tool) {
    if (think) {
      for (const auto& w : words(kReasoningFirst)) events.push_back(sse(reasoning_chunk(w)));
    }
    events.push_back(sse(tool_call_chunk(0, "call_1", "list_files", "")));
    events.push_back(sse(tool_call_chunk(0, "", "", "{\"path\":")));
    events.push_back(sse(tool_call_chunk(0, "", "", " \".\"}")));
    events.push_back(sse(chunk(json::object(), "tool_calls")));
  } else {
    if (think) {
      for (const auto& w : words(kReasoningAfter)) events.push_back(sse(reasoning_chunk(w)));
    }
    for (const auto& w : words(kAnswerText)) events.push_back(sse(content_chunk(w)));
    events.push_back(sse(chunk(json::object(), "stop")));
  }
  events.push_back(sse(usage_chunk(200, static_cast<long>(events.size()))));
  events.push_back(kDone);
  return stream_reply(events, delay);
}

}  // namespace

int main(int argc, char** argv) {
  // Blocked before any thread starts, so sigwait below receives them.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  try {
    int port = 0;
    int delay_ms = 40;
    std::string script;
    Answer shape = Answer::stream;
    std::vector<std::string> models = {"fake"};
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--answer" && i + 1 < argc) {
        const std::string v = argv[++i];
        if (v == "stream") {
          shape = Answer::stream;
        } else if (v == "complete") {
          shape = Answer::complete;
        } else if (v == "js-sliced") {
          shape = Answer::js_sliced;
        } else if (v == "html-500") {
          shape = Answer::html_500;
        } else {
          std::cerr << "--answer: stream, complete, js-sliced or html-500\n";
          return 2;
        }
        continue;
      }
      if (a == "--models" && i + 1 < argc) {
        models.clear();
        std::string list = argv[++i];
        for (std::size_t start = 0; start <= list.size() && !list.empty();) {
          const std::size_t comma = std::min(list.find(',', start), list.size());
          if (comma > start) models.push_back(list.substr(start, comma - start));
          start = comma + 1;
        }
        continue;
      }
      if (a == "--port" && i + 1 < argc) {
        port = std::atoi(argv[++i]);
      } else if (a == "--delay-ms" && i + 1 < argc) {
        delay_ms = std::atoi(argv[++i]);
      } else if (a == "--script" && i + 1 < argc) {
        script = argv[++i];
      } else {
        std::cerr << "usage: fake_openai_server [--port N] [--delay-ms N] [--script FILE] "
                     "[--answer stream|complete|js-sliced|html-500] [--models ID,...]\n";
        return 2;
      }
    }
    FakeOpenAIServer server(port);
    server.keep_requests(0);  // nobody reads them here, and a long session would pile them up
    const auto delay = std::chrono::milliseconds(delay_ms);
    if (!script.empty()) {
      std::ifstream in(script);
      if (!in) {
        std::cerr << "cannot read " << script << "\n";
        return 2;
      }
      std::string line;
      int n = 0;
      while (std::getline(in, line)) {
        ++n;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const json j = json::parse(line, nullptr, false);
        if (!j.is_object()) {
          std::cerr << script << ":" << n << ": not a JSON object\n";
          return 2;
        }
        if (j.contains("body") && j["body"].is_string()) {
          Reply r;
          r.status = j.value("status", 200);
          r.content_type = j.value("content_type", "application/json");
          r.chunked = false;
          r.pieces.push_back({j["body"].get<std::string>(), {}});
          server.enqueue(std::move(r));
          continue;
        }
        std::vector<std::string> events;
        for (const auto& e : j.value("events", json::array())) {
          if (e.is_string() && e.get<std::string>() == "[DONE]") {
            events.push_back(kDone);
          } else if (e.is_string()) {
            events.push_back(e.get<std::string>());
          } else {
            events.push_back(sse(e));
          }
        }
        Reply r = stream_reply(events, std::chrono::milliseconds(j.value("delay_ms", delay_ms)));
        r.status = j.value("status", 200);
        const std::string end = j.value("end", "close");
        r.end = end == "stall"  ? Reply::End::stall
                : end == "drop" ? Reply::End::drop
                                : Reply::End::close;
        server.enqueue(std::move(r));
      }
    }
    server.set_responder([delay, shape, models](const Request& req) {
      if (req.path.find("/models") != std::string::npos) return models_reply(models);
      return demo_reply(req, delay, shape);
    });
    std::cout << server.endpoint() << std::endl;
    int sig = 0;
    sigwait(&set, &sig);
    server.stop();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "fake_openai_server: " << e.what() << "\n";
    return 1;
  } catch (...) {
    return 1;
  }
}
