// The one HTTP client of the program (the only code that links libcurl): one transfer on libcurl's
// multi interface, so that a cancel wakes it at once. The body of a successful answer is handed
// over as it arrives; an error answer's body is collected (capped) to name the server's reason.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/cancel.hpp"

namespace orvo::net {

struct HttpRequest {
  std::string url;
  std::string method = "POST";  // "POST" or "GET"
  std::vector<std::string> headers;
  std::string body;
  std::chrono::milliseconds connect_timeout{5000};
  // No byte for this long ends the transfer (also before the first byte of the answer).
  std::chrono::milliseconds stall_timeout{120000};
  // The whole transfer ends after this long, however steadily bytes arrive; 0: no limit.
  std::chrono::milliseconds deadline{0};
  // Redirects followed (to http or https only) before the transfer fails; 0: none is followed,
  // a 3xx answer is an http_error.
  long max_redirects = 5;
};

struct HttpOutcome {
  enum class Kind {
    ok,              // 2xx, body complete
    stopped,         // the body handler asked to stop
    cancelled,       // Canceller fired
    connect_failed,  // refused, unresolvable, unreachable
    connect_timeout,
    stalled,          // no byte for stall_timeout
    http_error,       // status >= 400 (or another non-2xx)
    transfer_failed,  // connection dropped or broken mid-transfer
    deadline,         // the whole transfer took longer than `deadline`
    bad_redirect,     // a redirect to another scheme, a loop, or too many of them
  };
  Kind kind = Kind::ok;
  long status = 0;
  bool host_unknown = false;  // connect_failed because the name did not resolve
  std::string message;
  std::string server_says;  // http_error: the message of the error body (error_body_message)  //
                            // for the user: what went wrong, with the server's own message if any
};

// Runs the transfer. on_body gets every piece of a 2xx body and returns false to stop. An
// exception thrown by on_body stops the transfer and is rethrown here.
HttpOutcome http_transfer(const HttpRequest& request,
                          const std::function<bool(std::string_view)>& on_body,
                          Canceller& canceller);
// The same without a way to cancel (the request's timeouts still bound it).
HttpOutcome http_transfer(const HttpRequest& request,
                          const std::function<bool(std::string_view)>& on_body);

// The message of an error body, the informative field first: {"error": {"message": ...}},
// {"message": ...}, {"detail": ...} (a string, or FastAPI's list of {"msg": ...}), {"error":
// "..."}; an "error" string beside a message is a type name in front of it ("TypeError: Cannot read
// properties of null"). An HTML page gives its visible text on one line; anything else its first
// non-empty line. Line breaks and control characters removed, cut to `max_chars` characters.
std::string error_body_message(std::string_view body, std::size_t max_chars = 300);

}  // namespace orvo::net
