// fake_openai_server: an OpenAI-compatible server for end-to-end runs of kestravel without a
// model. Prints its endpoint on the first line of standard output, then serves until killed.
//
//   fake_openai_server [--port N] [--delay-ms N] [--script FILE]
//
// Without a script every prompt gets a paced turn: reasoning, a list_files call, then a streamed
// Markdown answer after the tool result. A script is JSON Lines, one reply per request in order:
//   {"events": [<chunk object or raw SSE text>, ...], "status": 200, "delay_ms": 20,
//    "end": "close" | "stall" | "drop"}
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

Reply demo_reply(const Request& req, std::chrono::milliseconds delay) {
  const json body = req.json();
  bool after_tool = false;
  if (body.is_object() && body.contains("messages") && body["messages"].is_array() &&
      !body["messages"].empty()) {
    after_tool = body["messages"].back().value("role", "") == "tool";
  }
  std::vector<std::string> events;
  const bool think = !(body.is_object() && body.contains("chat_template_kwargs") &&
                       body["chat_template_kwargs"].value("enable_thinking", true) == false);
  if (!after_tool) {
    if (think) {
      for (const auto& w :
           words("The user wants an overview. Let me list the project files first."))
        events.push_back(sse(reasoning_chunk(w)));
    }
    events.push_back(sse(tool_call_chunk(0, "call_1", "list_files", "")));
    events.push_back(sse(tool_call_chunk(0, "", "", "{\"path\":")));
    events.push_back(sse(tool_call_chunk(0, "", "", " \".\"}")));
    events.push_back(sse(chunk(json::object(), "tool_calls")));
  } else {
    if (think) {
      for (const auto& w : words("I have the listing; a short summary will do.\n"))
        events.push_back(sse(reasoning_chunk(w)));
    }
    for (const auto& w :
         words("## Project overview\n\nThe listing shows the files above. This answer comes "
               "from the **fake server**, streamed word by word:\n\n- one\n- two\n\n```sh\nls "
               "-la\n```\n"))
      events.push_back(sse(content_chunk(w)));
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
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--port" && i + 1 < argc) {
        port = std::atoi(argv[++i]);
      } else if (a == "--delay-ms" && i + 1 < argc) {
        delay_ms = std::atoi(argv[++i]);
      } else if (a == "--script" && i + 1 < argc) {
        script = argv[++i];
      } else {
        std::cerr << "usage: fake_openai_server [--port N] [--delay-ms N] [--script FILE]\n";
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
    server.set_responder([delay](const Request& req) {
      if (req.path.find("/models") != std::string::npos) {
        Reply r;
        r.content_type = "application/json";
        r.pieces.push_back({R"({"object":"list","data":[{"id":"fake","object":"model"}]})", {}});
        return r;
      }
      return demo_reply(req, delay);
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
