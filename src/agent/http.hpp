// The agent's HTTP transfers go through the program's one client (net/http.hpp).
#pragma once

#include "agent/cancel.hpp"
#include "net/http.hpp"

namespace orvo::agent {
using net::error_body_message;
using net::http_transfer;
using net::HttpOutcome;
using net::HttpRequest;
}  // namespace orvo::agent
