// label: threaded
#include "net/http.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "http_server.hpp"

namespace orvo::net {
namespace {

using orvo::testing::HttpServer;
using orvo::testing::Reply;
using namespace std::chrono_literals;

TEST(ErrorBodyMessage, NamesTheServersReasonOnOneShortLine) {
  struct Case {
    const char* name;
    std::string body;
    std::size_t max_chars;
    std::string expected;
  };
  const Case cases[] = {
      {"OpenAI error object", R"({"error":{"message":"model not loaded","code":503}})", 300,
       "model not loaded"},
      {"error as a string", R"({"error":"busy"})", 300, "busy"},
      {"top-level message", R"({"message":"bad request"})", 300, "bad request"},
      {"FastAPI detail", R"({"detail":"not found"})", 300, "not found"},
      {"line breaks and escapes in a JSON message", R"({"error":"a\nb\u001b[31m c"})", 300,
       "a b [31m c"},
      {"plain text: its first non-empty line", "\n\n  first line \nsecond", 300, "first line"},
      {"JSON without a known key: its text", R"({"data":3})", 300, R"({"data":3})"},
      {"cut to the limit", std::string(500, 'x'), 200, std::string(200, 'x')},
      {"empty", "", 300, ""},
      // A bare type name used to hide the message beside it.
      {"type name beside a message",
       R"j({"error":"TypeError","message":"Cannot read properties of null (reading 'x')"})j", 300,
       "TypeError: Cannot read properties of null (reading 'x')"},
      {"message beside a type field",
       R"({"error":{"type":"server_error","message":"out of memory"},"type":"x"})", 300,
       "out of memory"},
      {"FastAPI validation list",
       R"({"detail":[{"loc":["body","model"],"msg":"field required"},{"msg":"bad mode"}]})", 300,
       "field required; bad mode"},
      {"detail beside an error string", R"({"error":"Bad Request","detail":"no messages"})", 300,
       "Bad Request: no messages"},
      {"HTML error page: its text on one line",
       "<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title>"
       "<style>h1{color:red}</style></head><body><h1>Internal Server Error</h1>\n"
       "<p>TypeError: Cannot read properties of null</p><hr><address>mock</address></body></html>",
       300, "Internal Server Error TypeError: Cannot read properties of null mock"},
      {"HTML page cut to the limit",
       "<html><body><pre>" + std::string(5000, 'y') + "</pre></body></html>", 40,
       std::string(40, 'y')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_body_message(c.body, c.max_chars), c.expected);
  }
}

TEST(HttpTransfer, RedirectsAreFollowedOnlyWhenAllowed) {
  HttpServer target({200, "OK", "arrived"});
  HttpServer server;
  server.set_responder([&](const orvo::testing::Request&) {
    Reply r;
    r.status = 302;
    r.headers = {"Location: " + target.url("/there")};
    return r;
  });
  HttpRequest request;
  request.method = "GET";
  request.url = server.url("/here");
  std::string body;
  const auto collect = [&body](std::string_view piece) {
    body += piece;
    return true;
  };
  auto outcome = http_transfer(request, collect);
  EXPECT_EQ(outcome.kind, HttpOutcome::Kind::ok) << outcome.message;
  EXPECT_EQ(body, "arrived");

  body.clear();
  request.max_redirects = 0;
  outcome = http_transfer(request, collect);
  EXPECT_EQ(outcome.kind, HttpOutcome::Kind::http_error) << outcome.message;
  EXPECT_EQ(outcome.status, 302);
  EXPECT_EQ(body, "");
}

TEST(HttpTransfer, UnknownHostIsToldApartFromARefusedConnection) {
  HttpRequest request;
  request.method = "GET";
  request.connect_timeout = 5s;
  request.url = "http://127.0.0.1:" + std::to_string(HttpServer::closed_port()) + "/";
  auto outcome = http_transfer(request, [](std::string_view) { return true; });
  EXPECT_EQ(outcome.kind, HttpOutcome::Kind::connect_failed);
  EXPECT_FALSE(outcome.host_unknown);
  // ".invalid" never resolves (RFC 2606).
  request.url = "http://no-such-host.invalid/";
  outcome = http_transfer(request, [](std::string_view) { return true; });
  EXPECT_EQ(outcome.kind, HttpOutcome::Kind::connect_failed) << outcome.message;
  EXPECT_TRUE(outcome.host_unknown);
}

TEST(HttpTransfer, CancelWakesAStalledTransferAtOnce) {
  HttpServer server;
  server.set_responder([](const orvo::testing::Request&) {
    Reply r;
    r.end = Reply::End::stall;
    return r;
  });
  HttpRequest request;
  request.method = "GET";
  request.url = server.url("/");
  request.stall_timeout = 60s;
  Canceller canceller;
  std::thread canceller_thread([&] {
    server.wait_for_requests(1);
    std::this_thread::sleep_for(50ms);
    canceller.cancel();
  });
  const auto t0 = std::chrono::steady_clock::now();
  const auto outcome = http_transfer(
      request, [](std::string_view) { return true; }, canceller);
  const auto took = std::chrono::steady_clock::now() - t0;
  canceller_thread.join();
  EXPECT_EQ(outcome.kind, HttpOutcome::Kind::cancelled);
  EXPECT_LT(took, 5s);
  // The waker is gone with the transfer: a later cancel touches no freed curl handle.
  canceller.reset();
  canceller.cancel();
}

}  // namespace
}  // namespace orvo::net
