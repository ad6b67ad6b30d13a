// One HTTP transfer on libcurl's multi interface, so that a cancel wakes it at once. The body of a
// successful answer is handed over as it arrives; an error answer's body is collected (capped) to
// name the server's reason.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/cancel.hpp"

namespace orvo::agent {

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
  // Redirects followed (to http or https only) before the transfer fails.
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
  std::string message;  // for the user: what went wrong, with the server's own message if any
};

// Runs the transfer. on_body gets every piece of a 2xx body and returns false to stop. An
// exception thrown by on_body stops the transfer and is rethrown here.
HttpOutcome http_transfer(const HttpRequest& request,
                          const std::function<bool(std::string_view)>& on_body,
                          Canceller& canceller);

// The message of an error body: {"error": {"message": ...}}, {"error": "..."}, {"message": ...}
// or {"detail": ...}, else the first line of the text (control characters removed, cut).
std::string error_body_message(std::string_view body);

}  // namespace orvo::agent
