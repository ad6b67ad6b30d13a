// The web tools: web_fetch (pages as plain text) and web_search (a SearXNG-style JSON endpoint).
#include <cctype>

#include "agent/http.hpp"
#include "agent/tool_table.hpp"
#include "common/utf8.hpp"
#include "html/text.hpp"

namespace orvo::agent {

using nlohmann::json;

namespace {

std::string url_encode(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

json web_fetch_schema() {
  return tool_schema("web_fetch", "Fetch a web page (http or https) and return its text.",
                     {{"url", string_param("The URL to fetch")}}, {"url"});
}

json web_search_schema() {
  return tool_schema("web_search", "Search the web; returns titles, URLs and snippets.",
                     {{"query", string_param("What to search for")}}, {"query"});
}

bool search_configured(const AgentSettings& s) {
  return !s.search_endpoint.empty();
}

void prepare_web_fetch(const Toolbox&, Args& a, PreparedCall& c) {
  c.summary = a.string("url", true).value_or("");
}

void prepare_web_search(const Toolbox&, Args& a, PreparedCall& c) {
  c.summary = a.string("query", true).value_or("");
}

}  // namespace

void add_web_tools(std::vector<ToolSpec>& table) {
  table.push_back({"web_fetch", web_fetch_schema, nullptr, prepare_web_fetch,
                   [](Toolbox& box, const PreparedCall& c) { return box.web_fetch(c.args); }});
  table.push_back({"web_search", web_search_schema, search_configured, prepare_web_search,
                   [](Toolbox& box, const PreparedCall& c) { return box.web_search(c.args); }});
}

std::string html_to_text(std::string_view page) {
  return html::html_to_text(page);
}

ToolResult Toolbox::web_fetch(const json& args) {
  const std::string url = args["url"].get<std::string>();
  if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
    return {"only http:// and https:// URLs can be fetched", true};
  }
  HttpRequest req;
  req.url = url;
  req.method = "GET";
  req.connect_timeout = settings_.connect_timeout;
  req.stall_timeout = std::chrono::milliseconds(30000);
  req.deadline = settings_.web_fetch_timeout;
  req.headers = {"User-Agent: kestravel", "Accept: text/html,text/plain,application/json,*/*"};
  std::string body;
  bool truncated = false;
  const std::size_t cap = settings_.web_fetch_max_bytes;
  const auto r = http_transfer(
      req,
      [&](std::string_view piece) {
        if (body.size() + piece.size() > cap) {
          body.append(piece.substr(0, cap - body.size()));
          truncated = true;
          return false;
        }
        body.append(piece);
        return true;
      },
      canceller_);
  if (r.kind == HttpOutcome::Kind::cancelled) return {"cancelled by the user", true};
  if (r.kind != HttpOutcome::Kind::ok && r.kind != HttpOutcome::Kind::stopped) {
    return {r.message, true};
  }
  const std::string_view head = std::string_view(body).substr(0, 2048);
  const bool is_html = head.find("<html") != std::string_view::npos ||
                       head.find("<HTML") != std::string_view::npos ||
                       head.find("<!DOCTYPE") != std::string_view::npos ||
                       head.find("<!doctype") != std::string_view::npos;
  // Converting stops soon after the cap, so a huge page costs no more text than is kept.
  std::string out = is_html ? html::html_to_text(body, settings_.tool_output_cap) : body;
  if (out.size() > settings_.tool_output_cap) {
    out.resize(std::string(text::take_chars(out, settings_.tool_output_cap)).size());
    out.resize(std::min(out.size(), settings_.tool_output_cap));
    truncated = true;
  }
  if (truncated) out += "\n[truncated]";
  return {out, false};
}

ToolResult Toolbox::web_search(const json& args) {
  const std::string query = args["query"].get<std::string>();
  HttpRequest req;
  req.url = settings_.search_endpoint +
            (settings_.search_endpoint.find('?') == std::string::npos ? "?" : "&") +
            "q=" + url_encode(query) + "&format=json";
  req.method = "GET";
  req.connect_timeout = settings_.connect_timeout;
  req.stall_timeout = std::chrono::milliseconds(30000);
  req.deadline = settings_.web_fetch_timeout;
  std::string body;
  const std::size_t cap = settings_.web_fetch_max_bytes;
  const auto r = http_transfer(
      req,
      [&](std::string_view piece) {
        body.append(piece.substr(0, cap - std::min(cap, body.size())));
        return body.size() < cap;
      },
      canceller_);
  if (r.kind == HttpOutcome::Kind::cancelled) return {"cancelled by the user", true};
  if (r.kind != HttpOutcome::Kind::ok) return {r.message, true};
  const json j = json::parse(body, nullptr, false);
  if (!j.is_object() || !j.contains("results") || !j["results"].is_array()) {
    return {"the search service answered something that is not a result list", true};
  }
  std::string out;
  int n = 0;
  for (const auto& item : j["results"]) {
    if (!item.is_object() || ++n > 10) break;
    auto field = [&](const char* k) {
      return item.contains(k) && item[k].is_string() ? item[k].get<std::string>() : std::string();
    };
    out += std::to_string(n) + ". " + field("title") + "\n   " + field("url") + "\n";
    const std::string snippet = field("content");
    if (!snippet.empty()) out += "   " + std::string(text::take_chars(snippet, 300)) + "\n";
  }
  if (out.empty()) return {"no results", false};
  out.pop_back();
  return {out, false};
}

}  // namespace orvo::agent
