#include "runtime/gateway.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "common/utf8.hpp"

namespace orvo::runtime {

namespace {

constexpr std::size_t kMaxBody = 64 * 1024;  // enough for any model list; more is not read
constexpr std::size_t kMaxDetail = 200;      // characters of a server's answer kept

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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

// The first line of an answer body, or the message of a JSON error body.
std::string answer_text(const std::string& body) {
  const auto parsed = nlohmann::json::parse(body, nullptr, false);
  if (parsed.is_object() && parsed.contains("error")) {
    const auto& e = parsed["error"];
    if (e.is_string()) return one_line(e.get<std::string>());
    if (e.is_object() && e.contains("message") && e["message"].is_string())
      return one_line(e["message"].get<std::string>());
  }
  const auto lines = text::split_lines(text::strip(body));
  return lines.empty() ? std::string() : one_line(lines.front());
}

std::string seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f s", s);
  return buf;
}

size_t collect(char* data, size_t size, size_t n, void* user) {
  auto* body = static_cast<std::string*>(user);
  const std::size_t len = size * n;
  // Past the cap the transfer is aborted: the answer is not a model list anyway.
  if (body->size() + len > kMaxBody) {
    body->append(data, kMaxBody - body->size());
    return 0;
  }
  body->append(data, len);
  return len;
}

}  // namespace

OrvoRuntimeGateway::OrvoRuntimeGateway(const config::RuntimeSection& runtime)
    : kind_(Kind::Unsupported),
      endpoint_(runtime.endpoint),
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

std::pair<bool, std::string> OrvoRuntimeGateway::healthcheck() const {
  if (kind_ == Kind::Builtin) return {true, "embedded demo runtime"};
  if (kind_ == Kind::Unsupported)
    return {false, "unsupported endpoint \"" + one_line(endpoint_) +
                       "\": use builtin or an http:// or https:// URL"};

  global_init();
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return {false, "cannot start an HTTP request (libcurl)"};
  const std::string url = models_url();
  std::string body;
  char error[CURL_ERROR_SIZE] = {0};
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // no SIGALRM in a multi-threaded program
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(std::min(connect_timeout_, total_timeout_) * 1000));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(total_timeout_ * 1000));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_USERAGENT, "kestravel");

  const CURLcode rc = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  const std::string where = one_line(url);
  switch (rc) {
    case CURLE_OK:
    case CURLE_WRITE_ERROR:  // the body cap: judged below by its status and content
      break;
    case CURLE_COULDNT_CONNECT:
      return {false, "connection refused: " + where};
    case CURLE_OPERATION_TIMEDOUT:
      return {false, "timed out after " + seconds(total_timeout_) + ": " + where};
    case CURLE_COULDNT_RESOLVE_HOST:
      return {false, "unknown host: " + where};
    default:
      return {false, one_line(error[0] ? error : curl_easy_strerror(rc)) + ": " + where};
  }
  if (status < 200 || status > 299) {
    std::string d = "HTTP " + std::to_string(status);
    const std::string said = answer_text(body);
    if (!said.empty()) d += ": " + said;
    return {false, d};
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
    const std::string said = answer_text(body);
    if (!said.empty()) d += ": " + said;
    return {false, d};
  }
  const std::size_t n = models->size();
  return {true, "ready: " + std::to_string(n) + (n == 1 ? " model at " : " models at ") + where};
}

}  // namespace orvo::runtime
