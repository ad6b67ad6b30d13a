#include "runtime/gateway.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/utf8.hpp"
#include "net/http.hpp"

namespace orvo::runtime {

namespace {

constexpr std::size_t kMaxBody =
    std::size_t{64} * 1024;              // enough for any model list; more is not read
constexpr std::size_t kMaxDetail = 200;  // characters of a server's answer kept

bool starts_with_nocase(const std::string& s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

// One line, no control characters, cut: what a server says is shown to the user as it is.
std::string one_line(std::string_view text) {
  std::string out;
  for (std::string_view line : text::split_lines(text::strip(text))) {
    if (!out.empty()) out += ' ';
    out += text::strip(line);
  }
  for (char& c : out)
    if (c == '\t') c = ' ';
  out = std::string(text::take_chars(out, kMaxDetail));
  return text::terminal_safe(out);
}

// Whether the URL's path ends with the API version ("/v1"), as an OpenAI-compatible base does.
bool ends_with_v1(const std::string& url) {
  const auto q = url.find_first_of("?#");
  std::string_view path(url.data(), q == std::string::npos ? url.size() : q);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return false;
  const std::string_view last = path.substr(slash + 1);
  return last.size() >= 2 && (last[0] == 'v' || last[0] == 'V') &&
         last.find_first_not_of("0123456789", 1) == std::string_view::npos;
}

std::string seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f s", s);
  return buf;
}

std::chrono::milliseconds millis(double s) {
  return std::chrono::milliseconds(static_cast<long long>(s * 1000));
}

}  // namespace

OrvoRuntimeGateway::OrvoRuntimeGateway(const config::RuntimeSection& runtime)
    : kind_(Kind::Unsupported),
      endpoint_(runtime.endpoint),
      model_(runtime.model),
      connect_timeout_(runtime.connect_timeout),
      total_timeout_(runtime.healthcheck_timeout) {
  if (endpoint_ == "builtin") {
    kind_ = Kind::Builtin;
  } else if (starts_with_nocase(endpoint_, "http://") ||
             starts_with_nocase(endpoint_, "https://")) {
    kind_ = Kind::Http;
    while (endpoint_.size() > 8 && endpoint_.back() == '/') endpoint_.pop_back();
  }
}

bool names_model(const std::string& listed, const std::string& model) {
  return !model.empty() && (listed == model || listed == model + ":latest");
}

ModelList OrvoRuntimeGateway::list_models(Canceller* cancel) const {
  ModelList list;
  if (kind_ == Kind::Builtin) {
    list.ok = true;
    list.ids.emplace_back(kBuiltinModel);
    list.count = 1;
    return list;
  }
  auto fail = [&list](std::string why) {
    list.error = std::move(why);
    return list;
  };
  if (kind_ == Kind::Unsupported)
    return fail("unsupported endpoint \"" + one_line(endpoint_) +
                "\": use builtin or an http:// or https:// URL");

  const std::string url = models_url();
  net::HttpRequest request;
  request.url = url;
  request.method = "GET";
  request.headers = {"User-Agent: kestravel"};
  request.connect_timeout = millis(std::min(connect_timeout_, total_timeout_));
  // The whole check is bounded by the deadline; a stall can last no longer than that anyway.
  request.deadline = std::max(millis(total_timeout_), std::chrono::milliseconds(1));
  request.stall_timeout = request.deadline;
  // A health check names the address it was given: a redirect is reported, not followed.
  request.max_redirects = 0;
  std::string body;
  // Past the cap the transfer stops: the answer is not a model list anyway.
  const auto on_body = [&body](std::string_view piece) {
    body.append(piece.substr(0, kMaxBody - std::min(kMaxBody, body.size())));
    return body.size() < kMaxBody;
  };
  const auto outcome = cancel != nullptr ? net::http_transfer(request, on_body, *cancel)
                                         : net::http_transfer(request, on_body);

  const std::string where = one_line(url);
  using K = net::HttpOutcome::Kind;
  switch (outcome.kind) {
    case K::ok:
    case K::stopped:  // the body cap: judged below by its content
      break;
    case K::connect_failed:
      return fail((outcome.host_unknown ? "unknown host: " : "connection refused: ") + where);
    case K::connect_timeout:
    case K::stalled:
    case K::deadline:
      return fail("timed out after " + seconds(total_timeout_) + ": " + where);
    case K::http_error: {
      std::string d = "HTTP " + std::to_string(outcome.status);
      const std::string said = one_line(outcome.server_says);
      // The usual cause of a 404: the base URL without the API's version, so /models is no route.
      // Said first, since what the server says may be long.
      if (outcome.status == 404 && !ends_with_v1(endpoint_)) {
        d += ": the endpoint is probably missing /v1 (try " + one_line(endpoint_) + "/v1)";
        if (!said.empty()) d += "; the server says: " + said;
        return fail(d);
      }
      if (!said.empty()) d += ": " + said;
      if (outcome.status == 404) d += " (no model list at " + where + ")";
      return fail(d);
    }
    case K::cancelled:
    case K::transfer_failed:
    case K::bad_redirect:
      return fail(one_line(outcome.message) + ": " + where);
  }
  const auto parsed = nlohmann::json::parse(body, nullptr, false);
  const nlohmann::json* models = nullptr;
  if (parsed.is_object()) {
    // OpenAI-style {"data": [...]}; some servers answer {"models": [...]}.
    for (const char* key : {"data", "models"}) {
      if (parsed.contains(key) && parsed[key].is_array()) {
        models = &parsed[key];
        break;
      }
    }
  }
  if (models == nullptr) {
    std::string d = "not a model list from " + where;
    const std::string said = one_line(net::error_body_message(body, kMaxDetail));
    if (!said.empty()) d += ": " + said;
    return fail(d);
  }
  list.ok = true;
  list.count = models->size();
  for (const auto& m : *models) {
    std::string id;
    if (m.is_string()) {
      id = m.get<std::string>();
    } else if (m.is_object()) {
      for (const char* key : {"id", "name", "model"}) {
        if (const auto it = m.find(key); it != m.end() && it->is_string()) {
          id = it->get<std::string>();
          break;
        }
      }
    }
    // A name is shown to the user and sent back in requests: one safe line, bounded.
    id = one_line(id);
    if (!id.empty()) list.ids.push_back(std::move(id));
  }
  return list;
}

std::pair<bool, std::string> OrvoRuntimeGateway::healthcheck(Canceller* cancel) const {
  if (kind_ == Kind::Builtin) return {true, "embedded demo runtime"};
  const ModelList list = list_models(cancel);
  if (!list.ok) return {false, list.error};
  const std::string where = one_line(models_url());
  const std::size_t n = list.count;
  if (n == 0) return {false, "not ready: the server lists no models at " + where};
  if (!model_.empty()) {
    const std::vector<std::string>& names = list.ids;
    bool found = false;
    for (const auto& id : names) found = found || names_model(id, model_);
    if (!found) {
      std::string offers;
      const std::size_t shown = std::min<std::size_t>(names.size(), 3);
      for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) offers += ", ";
        offers += "\"" + names[i] + "\"";
      }
      if (names.size() > shown) offers += ", \u2026 (" + std::to_string(names.size()) + " in all)";
      return {false, one_line("not ready: the server does not list the model \"" + model_ +
                              "\"; it offers " + (offers.empty() ? "no named model" : offers))};
    }
  }
  return {true, "ready: " + std::to_string(n) + (n == 1 ? " model at " : " models at ") + where};
}

}  // namespace orvo::runtime
