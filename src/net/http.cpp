#include "net/http.hpp"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>

#include <nlohmann/json.hpp>

#include "common/utf8.hpp"
#include "html/text.hpp"

namespace orvo::net {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxErrorBody = std::size_t{64} * 1024;

// libcurl is loaded on the first transfer, not linked: it pulls in some thirty libraries (TLS,
// Kerberos, LDAP, SSH...) whose loading and relocation would otherwise delay every start-up,
// also of runs that never talk to a server. Compiled against curl's headers, called through
// this table.
struct Curl {
  decltype(&::curl_global_init) global_init = nullptr;
  decltype(&::curl_easy_init) easy_init = nullptr;
  decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&::curl_easy_setopt) easy_setopt = nullptr;
  decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&::curl_easy_strerror) easy_strerror = nullptr;
  decltype(&::curl_multi_init) multi_init = nullptr;
  decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
  decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
  decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
  decltype(&::curl_multi_perform) multi_perform = nullptr;
  decltype(&::curl_multi_poll) multi_poll = nullptr;
  decltype(&::curl_multi_wakeup) multi_wakeup = nullptr;
  decltype(&::curl_multi_info_read) multi_info_read = nullptr;
  decltype(&::curl_slist_append) slist_append = nullptr;
  decltype(&::curl_slist_free_all) slist_free_all = nullptr;
  std::string error;  // why it could not be loaded; empty when loaded
};

constexpr const char* kCurlLibrary = "libcurl.so.4";

template <typename Fn>
bool bind_symbol(void* lib, const char* name, Fn& fn, std::string& error) {
  void* sym = dlsym(lib, name);
  if (sym == nullptr) {
    if (error.empty()) error = std::string(kCurlLibrary) + " has no " + name;
    return false;
  }
  fn = reinterpret_cast<Fn>(sym);  // NOLINT(bugprone-*): dlsym's documented use
  return true;
}

Curl load_curl() {
  Curl c;
  // Never unloaded: libcurl's global state lives until exit.
  void* lib = dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    const char* why = dlerror();
    c.error = "could not load the HTTP library " + std::string(kCurlLibrary) + " (" +
              (why != nullptr ? std::string(why) : std::string("not found")) +
              "); install the libcurl4 package";
    return c;
  }
  bool ok = true;
  ok &= bind_symbol(lib, "curl_global_init", c.global_init, c.error);
  ok &= bind_symbol(lib, "curl_easy_init", c.easy_init, c.error);
  ok &= bind_symbol(lib, "curl_easy_cleanup", c.easy_cleanup, c.error);
  ok &= bind_symbol(lib, "curl_easy_setopt", c.easy_setopt, c.error);
  ok &= bind_symbol(lib, "curl_easy_getinfo", c.easy_getinfo, c.error);
  ok &= bind_symbol(lib, "curl_easy_strerror", c.easy_strerror, c.error);
  ok &= bind_symbol(lib, "curl_multi_init", c.multi_init, c.error);
  ok &= bind_symbol(lib, "curl_multi_cleanup", c.multi_cleanup, c.error);
  ok &= bind_symbol(lib, "curl_multi_add_handle", c.multi_add_handle, c.error);
  ok &= bind_symbol(lib, "curl_multi_remove_handle", c.multi_remove_handle, c.error);
  ok &= bind_symbol(lib, "curl_multi_perform", c.multi_perform, c.error);
  ok &= bind_symbol(lib, "curl_multi_poll", c.multi_poll, c.error);
  ok &= bind_symbol(lib, "curl_multi_wakeup", c.multi_wakeup, c.error);
  ok &= bind_symbol(lib, "curl_multi_info_read", c.multi_info_read, c.error);
  ok &= bind_symbol(lib, "curl_slist_append", c.slist_append, c.error);
  ok &= bind_symbol(lib, "curl_slist_free_all", c.slist_free_all, c.error);
  if (!ok) {
    c.error = "could not use the HTTP library: " + c.error + " (libcurl 7.85 or later is needed)";
    return c;
  }
  if (c.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    c.error = "could not initialise the HTTP library " + std::string(kCurlLibrary);
  }
  return c;
}

// Loaded once, on first use, from whichever thread gets there first.
const Curl& curl() {
  static const Curl c = load_curl();
  return c;
}

struct Transfer {
  const std::function<bool(std::string_view)>* on_body = nullptr;
  CURL* easy = nullptr;
  Canceller* canceller = nullptr;  // may be null
  Clock::time_point last_byte;
  long status = 0;
  std::string error_body;
  std::string location;  // of the last redirect answer
  bool stopped = false;
  std::exception_ptr failure;
};

size_t on_write(char* ptr, size_t size, size_t nmemb, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * nmemb;
  t->last_byte = Clock::now();
  if (t->canceller != nullptr && t->canceller->cancelled()) return 0;
  if (t->status == 0) curl().easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &t->status);
  if (t->status < 200 || t->status >= 300) {
    if (t->error_body.size() < kMaxErrorBody) {
      t->error_body.append(ptr, std::min(n, kMaxErrorBody - t->error_body.size()));
    }
    return n;
  }
  try {
    if (!(*t->on_body)(std::string_view(ptr, n))) {
      t->stopped = true;
      return 0;
    }
  } catch (...) {
    // Exceptions must not cross libcurl's C frames; rethrown once the transfer is torn down.
    t->failure = std::current_exception();
    t->stopped = true;
    return 0;
  }
  return n;
}

size_t on_header(char* ptr, size_t size, size_t nmemb, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->last_byte = Clock::now();
  const size_t n = size * nmemb;
  // The last Location seen, to name a redirect that is not followed.
  const std::string_view line(ptr, n);
  constexpr std::string_view kName = "location:";
  if (line.size() > kName.size() && line.size() < 4096) {
    bool match = true;
    for (std::size_t i = 0; i < kName.size() && match; ++i) {
      match = std::tolower(static_cast<unsigned char>(line[i])) == kName[i];
    }
    if (match) t->location = std::string(text::strip(line.substr(kName.size())));
  }
  return n;
}

std::string first_line(std::string_view body, std::size_t max_chars) {
  std::size_t pos = 0;
  while (pos < body.size()) {
    const std::string_view line = text::strip(text::next_line(body, pos));
    if (!line.empty()) return std::string(text::take_chars(line, max_chars));
  }
  return {};
}

struct MultiDeleter {
  void operator()(CURLM* m) const { curl().multi_cleanup(m); }
};
struct EasyDeleter {
  void operator()(CURL* e) const { curl().easy_cleanup(e); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl().slist_free_all(l); }
};

// Keeps only printable text (server messages reach the terminal).
std::string clean(std::string_view s) {
  std::string out;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const char32_t cp = text::decode(s, pos);
    if (text::is_unsafe_control(cp) || cp == '\n' || cp == '\t') {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
      continue;
    }
    text::encode(cp, out);
  }
  return std::string(text::strip(out));
}

std::string seconds_text(std::chrono::milliseconds d) {
  if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
  return std::to_string(d.count()) + " ms";
}

}  // namespace

namespace {

// The text of a "detail" field: a string, FastAPI's list of {"msg": ...}, or an object with a
// message.
std::string detail_text(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_object()) {
    if (const auto m = v.find("message"); m != v.end() && m->is_string()) return *m;
    if (const auto m = v.find("msg"); m != v.end() && m->is_string()) return *m;
  }
  if (v.is_array()) {
    std::string out;
    for (const auto& item : v) {
      const std::string t = detail_text(item);
      if (t.empty()) continue;
      if (!out.empty()) out += "; ";
      out += t;
      if (out.size() > 4096) break;
    }
    return out;
  }
  return {};
}

std::string json_error_message(const nlohmann::json& j) {
  std::string said;  // the informative message
  std::string kind;  // "error" given as a string: a type name ("TypeError") or the message itself
  if (const auto e = j.find("error"); e != j.end()) {
    if (e->is_string()) {
      kind = e->get<std::string>();
    } else if (e->is_object()) {
      said = detail_text(*e);
    }
  }
  for (const char* key : {"message", "detail"}) {
    if (!said.empty()) break;
    if (const auto it = j.find(key); it != j.end()) said = detail_text(*it);
  }
  if (kind.empty() || kind == said) return said;
  if (said.empty()) return kind;
  return kind + ": " + said;
}

bool looks_like_html(std::string_view body) {
  const std::string_view head = text::strip(body.substr(0, 512));
  if (head.empty() || head[0] != '<') return false;
  std::string lower(head.substr(0, 64));
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* tag : {"<!doctype html", "<html", "<head", "<body", "<title", "<h1", "<p>",
                          "<pre", "<div", "<center", "<!--"}) {
    if (lower.rfind(tag, 0) == 0) return true;
  }
  return false;
}

// The visible text of an HTML error page on one line.
std::string html_error_text(std::string_view body, std::size_t max_chars) {
  const std::string page = html::html_to_text(body, max_chars * 4 + 64);
  std::string out;
  std::size_t pos = 0;
  std::string_view last;
  while (pos < page.size()) {
    const std::string_view line = text::strip(text::next_line(page, pos));
    if (line.empty() || line == last) continue;  // a heading repeating the title, say
    if (!out.empty()) out += ' ';
    out += line;
    last = line;
  }
  return out;
}

}  // namespace

std::string error_body_message(std::string_view body, std::size_t max_chars) {
  const auto j = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  std::string msg;
  if (j.is_object()) msg = json_error_message(j);
  if (msg.empty() && looks_like_html(body)) msg = html_error_text(body, max_chars);
  if (msg.empty()) msg = first_line(body, max_chars);
  return std::string(text::take_chars(clean(msg), max_chars));
}

namespace {

HttpOutcome transfer(const HttpRequest& request,
                     const std::function<bool(std::string_view)>& on_body, Canceller* canceller) {
  HttpOutcome out;
  const Curl& api = curl();
  if (!api.error.empty()) {
    out.kind = HttpOutcome::Kind::transfer_failed;
    out.message = api.error;
    return out;
  }
  std::unique_ptr<CURL, EasyDeleter> easy(api.easy_init());
  std::unique_ptr<CURLM, MultiDeleter> multi(api.multi_init());
  if (!easy || !multi) {
    out.kind = HttpOutcome::Kind::transfer_failed;
    out.message = "could not start an HTTP transfer";
    return out;
  }
  Transfer t;
  t.on_body = &on_body;
  t.easy = easy.get();
  t.canceller = canceller;
  const auto is_cancelled = [canceller] { return canceller != nullptr && canceller->cancelled(); };

  curl_slist* list = nullptr;
  for (const auto& h : request.headers) {
    curl_slist* next = api.slist_append(list, h.c_str());
    if (next == nullptr) break;
    list = next;
  }
  const std::unique_ptr<curl_slist, SlistDeleter> headers(list);
  char errbuf[CURL_ERROR_SIZE] = {0};
  CURL* e = easy.get();
  api.easy_setopt(e, CURLOPT_URL, request.url.c_str());
  api.easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  api.easy_setopt(e, CURLOPT_ERRORBUFFER, errbuf);
  api.easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connect_timeout.count()));
  api.easy_setopt(e, CURLOPT_WRITEFUNCTION, &on_write);
  api.easy_setopt(e, CURLOPT_WRITEDATA, &t);
  api.easy_setopt(e, CURLOPT_HEADERFUNCTION, &on_header);
  api.easy_setopt(e, CURLOPT_HEADERDATA, &t);
  api.easy_setopt(e, CURLOPT_FOLLOWLOCATION, request.max_redirects > 0 ? 1L : 0L);
  api.easy_setopt(e, CURLOPT_MAXREDIRS, request.max_redirects);
  api.easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  api.easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  api.easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
  api.easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
  if (headers) api.easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  if (request.method == "POST") {
    api.easy_setopt(e, CURLOPT_POST, 1L);
    api.easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
    api.easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  }
  api.multi_add_handle(multi.get(), e);
  CURLM* const woken = multi.get();
  if (canceller != nullptr) canceller->attach([woken, &api] { api.multi_wakeup(woken); });

  t.last_byte = Clock::now();
  const auto started = t.last_byte;
  const bool has_deadline = request.deadline.count() > 0;
  bool connected = false;
  bool stalled = false;
  bool overdue = false;
  bool cancelled = false;
  int running = 1;
  while (true) {
    if (api.multi_perform(multi.get(), &running) != CURLM_OK) break;
    if (running == 0 || t.stopped) break;
    if (is_cancelled()) {
      cancelled = true;
      break;
    }
    const auto now = Clock::now();
    if (has_deadline && now - started >= request.deadline) {
      overdue = true;
      break;
    }
    // While connecting, the connect timeout rules; the stall clock starts once connected.
    if (!connected) {
      curl_off_t connect_us = 0;
      api.easy_getinfo(e, CURLINFO_CONNECT_TIME_T, &connect_us);
      if (connect_us > 0) {
        connected = true;
        t.last_byte = std::max(t.last_byte, now);
      }
    }
    auto wait = std::chrono::milliseconds(50);
    if (connected) {
      const auto quiet = now - t.last_byte;
      if (quiet >= request.stall_timeout) {
        stalled = true;
        break;
      }
      wait = std::chrono::duration_cast<std::chrono::milliseconds>(request.stall_timeout - quiet);
      wait = std::clamp(wait, std::chrono::milliseconds(1), std::chrono::milliseconds(200));
    }
    if (has_deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(request.deadline - (now - started));
      wait = std::clamp(left, std::chrono::milliseconds(1), wait);
    }
    api.multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
  }
  if (canceller != nullptr) canceller->detach();

  CURLcode code = CURLE_OK;
  bool finished = false;
  int left = 0;
  while (CURLMsg* msg = api.multi_info_read(multi.get(), &left)) {
    if (msg->msg == CURLMSG_DONE) {
      code = msg->data.result;
      finished = true;
    }
  }
  if (t.status == 0) api.easy_getinfo(e, CURLINFO_RESPONSE_CODE, &t.status);
  out.status = t.status;
  api.multi_remove_handle(multi.get(), e);

  if (t.failure) std::rethrow_exception(t.failure);
  if (cancelled || is_cancelled()) {
    out.kind = HttpOutcome::Kind::cancelled;
    out.message = "cancelled";
    return out;
  }
  if (t.stopped) {
    out.kind = HttpOutcome::Kind::stopped;
    return out;
  }
  if (overdue) {
    out.kind = HttpOutcome::Kind::deadline;
    out.message = "gave up after the deadline of " + seconds_text(request.deadline) +
                  " for the whole transfer";
    return out;
  }
  if (finished && code == CURLE_TOO_MANY_REDIRECTS) {
    out.kind = HttpOutcome::Kind::bad_redirect;
    out.message = "too many redirects (more than " + std::to_string(request.max_redirects) +
                  "; a redirect loop?), last answer HTTP " + std::to_string(t.status);
    return out;
  }
  if (finished && t.status >= 300 && t.status < 400 && code == CURLE_UNSUPPORTED_PROTOCOL) {
    // Only http and https redirects are followed; anything else is named, not fetched.
    out.kind = HttpOutcome::Kind::bad_redirect;
    out.message =
        "the server redirected (HTTP " + std::to_string(t.status) + ") to " +
        (!t.location.empty() ? "\"" + std::string(text::take_chars(clean(t.location), 300)) + "\""
                             : std::string("another address")) +
        ", which is not http or https; not followed";
    return out;
  }
  if (stalled) {
    out.kind = HttpOutcome::Kind::stalled;
    out.message = "the server sent nothing for " +
                  std::to_string((request.stall_timeout.count() + 500) / 1000) + " s";
    return out;
  }
  if (t.status >= 300 || (finished && code == CURLE_OK && (t.status < 200))) {
    out.kind = HttpOutcome::Kind::http_error;
    out.server_says = error_body_message(t.error_body);
    out.message = "server answered HTTP " + std::to_string(t.status);
    if (!out.server_says.empty()) out.message += ": " + out.server_says;
    return out;
  }
  if (!finished || code != CURLE_OK) {
    const std::string reason = errbuf[0] ? clean(errbuf) : api.easy_strerror(code);
    switch (code) {
      case CURLE_COULDNT_CONNECT:
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_RESOLVE_PROXY:
        out.kind = HttpOutcome::Kind::connect_failed;
        out.host_unknown = code != CURLE_COULDNT_CONNECT;
        out.message = "could not connect to " + request.url + " (" + reason + ")";
        break;
      case CURLE_OPERATION_TIMEDOUT:
        out.kind =
            t.status == 0 ? HttpOutcome::Kind::connect_timeout : HttpOutcome::Kind::transfer_failed;
        out.message = t.status == 0 ? "timed out connecting to " + request.url
                                    : "the transfer timed out (" + reason + ")";
        break;
      default:
        out.kind = HttpOutcome::Kind::transfer_failed;
        out.message = "the connection to the server broke (" + reason + ")";
        break;
    }
    return out;
  }
  out.kind = HttpOutcome::Kind::ok;
  return out;
}

}  // namespace

HttpOutcome http_transfer(const HttpRequest& request,
                          const std::function<bool(std::string_view)>& on_body,
                          Canceller& canceller) {
  return transfer(request, on_body, &canceller);
}

HttpOutcome http_transfer(const HttpRequest& request,
                          const std::function<bool(std::string_view)>& on_body) {
  return transfer(request, on_body, nullptr);
}

}  // namespace orvo::net
