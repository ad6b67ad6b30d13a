#include "fake_openai_server.hpp"

#include <cstdio>

#include "common/utf8.hpp"

namespace orvo::agent::testing {

using nlohmann::json;

json chunk(json delta, const char* finish_reason) {
  return {
      {"id", "chatcmpl-1"},
      {"object", "chat.completion.chunk"},
      {"created", 1700000000},
      {"model", "fake"},
      {"choices",
       json::array({{{"index", 0},
                     {"delta", std::move(delta)},
                     {"finish_reason", finish_reason ? json(finish_reason) : json(nullptr)}}})}};
}

json content_chunk(const std::string& text) {
  return chunk({{"content", text}});
}

json reasoning_chunk(const std::string& text, const char* field) {
  return chunk({{field, text}});
}

json tool_call_chunk(int index, const std::string& id, const std::string& name,
                     const std::string& arguments) {
  json call = {{"index", index}, {"function", {{"arguments", arguments}}}};
  if (!id.empty()) {
    call["id"] = id;
    call["type"] = "function";
  }
  if (!name.empty()) call["function"]["name"] = name;
  return chunk({{"tool_calls", json::array({call})}});
}

json usage_chunk(long prompt_tokens, long completion_tokens) {
  return {{"id", "chatcmpl-1"},
          {"object", "chat.completion.chunk"},
          {"choices", json::array()},
          {"usage",
           {{"prompt_tokens", prompt_tokens},
            {"completion_tokens", completion_tokens},
            {"total_tokens", prompt_tokens + completion_tokens}}}};
}

std::string sse(const json& data) {
  return "data: " + data.dump() + "\n\n";
}

Reply stream_reply(const std::vector<std::string>& events, std::chrono::milliseconds delay) {
  Reply r;
  for (const auto& e : events) r.pieces.push_back({e, delay});
  return r;
}

Reply split_reply(const std::string& bytes, std::size_t size, std::chrono::milliseconds delay) {
  Reply r;
  for (std::size_t i = 0; i < bytes.size(); i += size)
    r.pieces.push_back({bytes.substr(i, size), delay});
  return r;
}

std::string answer_stream(const std::string& reasoning, const std::string& content) {
  std::string s;
  if (!reasoning.empty()) s += sse(reasoning_chunk(reasoning));
  s += sse(content_chunk(content));
  s += sse(chunk(json::object(), "stop"));
  s += sse(usage_chunk(100, 20));
  s += kDone;
  return s;
}

std::string tool_stream(const std::string& name, const std::string& arguments,
                        const std::string& id, const std::string& reasoning) {
  std::string s;
  if (!reasoning.empty()) s += sse(reasoning_chunk(reasoning));
  s += sse(tool_call_chunk(0, id, name, ""));
  s += sse(tool_call_chunk(0, "", "", arguments));
  s += sse(chunk(json::object(), "tool_calls"));
  s += sse(usage_chunk(100, 10));
  s += kDone;
  return s;
}

Reply error_reply(int status, const std::string& body) {
  Reply r;
  r.status = status;
  r.content_type = "application/json";
  r.pieces.push_back({body, {}});
  return r;
}

namespace {

std::u16string utf16(const std::string& utf8) {
  std::u16string out;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    char32_t cp = b;
    std::size_t n = 1;
    if (b >= 0xF0) {
      cp = b & 0x07;
      n = 4;
    } else if (b >= 0xE0) {
      cp = b & 0x0F;
      n = 3;
    } else if (b >= 0xC0) {
      cp = b & 0x1F;
      n = 2;
    }
    for (std::size_t k = 1; k < n && i + k < utf8.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

}  // namespace

std::string js_json_string(const std::u16string& u) {
  std::string out = "\"";
  char buf[8];
  for (std::size_t i = 0; i < u.size(); ++i) {
    const char16_t c = u[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 &&
        u[i + 1] <= 0xDFFF) {
      text::encode(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (u[i + 1] - 0xDC00),
                   out);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));  // well-formed stringify
      out += buf;
    } else if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else {
      text::encode(c, out);
    }
  }
  return out + "\"";
}

std::vector<std::string> js_sliced_events(const std::string& field, const std::string& text,
                                          std::size_t units) {
  const std::u16string all = utf16(text);
  std::vector<std::string> events;
  for (std::size_t i = 0; i < all.size(); i += units) {
    const std::string value = js_json_string(all.substr(i, units));
    std::string delta;
    if (field == "arguments") {
      delta = R"({"tool_calls":[{"index":0,"function":{"arguments":)" + value + "}}]}";
    } else {
      delta = "{\"" + field + "\":" + value + "}";
    }
    events.push_back(
        R"(data: {"id":"chatcmpl-1","object":"chat.completion.chunk","choices":[{"index":0,"delta":)" +
        delta + R"(,"finish_reason":null}]})" + "\n\n");
  }
  return events;
}

json completion_body(const Completion& c) {
  json message = {{"role", "assistant"}, {"content", c.content}};
  if (!c.reasoning.empty()) message["reasoning_content"] = c.reasoning;
  if (!c.tool_calls.empty()) {
    json calls = json::array();
    int n = 0;
    for (const auto& [name, args] : c.tool_calls) {
      calls.push_back({{"id", "call_" + std::to_string(++n)},
                       {"type", "function"},
                       {"function", {{"name", name}, {"arguments", args}}}});
    }
    message["tool_calls"] = std::move(calls);
    if (c.content.empty()) message["content"] = nullptr;
  }
  return {
      {"id", "chatcmpl-1"},
      {"object", "chat.completion"},
      {"created", 1700000000},
      {"model", "fake"},
      {"choices", json::array({{{"index", 0},
                                {"message", std::move(message)},
                                {"finish_reason", c.tool_calls.empty() ? "stop" : "tool_calls"}}})},
      {"usage",
       {{"prompt_tokens", c.prompt_tokens},
        {"completion_tokens", c.completion_tokens},
        {"total_tokens", c.prompt_tokens + c.completion_tokens}}}};
}

Reply completion_reply(const Completion& c) {
  Reply r;
  r.content_type = "application/json";
  r.chunked = false;
  r.pieces.push_back({completion_body(c).dump(2), {}});
  return r;
}

Reply html_error_reply(int status, const std::string& title, const std::string& message) {
  Reply r;
  r.status = status;
  r.content_type = "text/html; charset=utf-8";
  r.chunked = false;
  r.pieces.push_back(
      {"<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       "<title>" +
           title +
           "</title>\n<style>body{font-family:sans-serif}</style>\n"
           "</head>\n<body>\n<h1>" +
           title + "</h1>\n<pre>" + message +
           "<br> &nbsp;at Object.handler (/srv/app/server.js:42:17)</pre>\n"
           "</body>\n</html>\n",
       {}});
  return r;
}

Reply models_reply(const std::vector<std::string>& ids) {
  json data = json::array();
  for (const auto& id : ids) data.push_back({{"id", id}, {"object", "model"}});
  Reply r;
  r.content_type = "application/json";
  r.chunked = false;
  r.pieces.push_back({json{{"object", "list"}, {"data", std::move(data)}}.dump(), {}});
  return r;
}

}  // namespace orvo::agent::testing
