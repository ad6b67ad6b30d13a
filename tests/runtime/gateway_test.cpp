// label: threaded
#include "runtime/gateway.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "http_server.hpp"

using orvo::config::RuntimeSection;
using orvo::runtime::OrvoRuntimeGateway;
using orvo::testing::HttpServer;
using namespace std::chrono_literals;

namespace {

RuntimeSection section(const std::string& endpoint, double timeout = 2.0) {
  RuntimeSection r;
  r.endpoint = endpoint;
  r.healthcheck_timeout = timeout;
  r.connect_timeout = timeout;
  return r;
}

TEST(Gateway, BuiltinIsAlwaysReady) {
  OrvoRuntimeGateway gw(section("builtin"));
  EXPECT_TRUE(gw.is_builtin());
  EXPECT_EQ(gw.healthcheck(), std::make_pair(true, std::string("embedded demo runtime")));
}

TEST(Gateway, UnsupportedEndpointsSaySo) {
  for (const char* e : {"", "ftp://x/v1", "localhost:8080", "builtin2", "file:///etc/passwd"}) {
    auto [ok, details] = OrvoRuntimeGateway(section(e)).healthcheck();
    EXPECT_FALSE(ok) << e;
    EXPECT_NE(details.find("unsupported endpoint"), std::string::npos) << details;
  }
}

TEST(Gateway, ServerThatListsModelsIsReady) {
  HttpServer server({200, "OK", R"({"object":"list","data":[{"id":"qwen"}]})"});
  // A trailing slash does not double the one before "models".
  OrvoRuntimeGateway gw(section(server.url("/v1/")));
  EXPECT_EQ(gw.models_url(), server.url("/v1/models"));
  auto [ok, details] = gw.healthcheck();
  EXPECT_TRUE(ok) << details;
  EXPECT_EQ(details, "ready: 1 model at " + server.url("/v1/models"));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].line(), "GET /v1/models HTTP/1.1");
}

TEST(Gateway, NotReadyReasons) {
  struct Case {
    const char* name;
    HttpServer::Answer answer;
    const char* details_prefix;
  };
  const std::string loading =
      R"({"error":{"code":503,"message":"Loading model","type":"unavailable_error"}})";
  const Case cases[] = {
      {"503 while loading", {503, "Service Unavailable", loading}, "HTTP 503: Loading model"},
      {"404 with a text body",
       {404, "Not Found", "no such route\nsecond line"},
       "HTTP 404: no such route"},
      {"500 without a body", {500, "Internal Server Error", ""}, "HTTP 500"},
      // The same reader as the agent's: FastAPI-style servers name the reason in "detail".
      {"422 with a detail",
       {422, "Unprocessable", R"({"detail":"no such model"})"},
       "HTTP 422: no such model"},
      {"redirect, not followed", {301, "Moved", ""}, "HTTP 301"},
      {"garbage body", {200, "OK", "<html>\x1b[31mhello</html>\n"}, "not a model list from "},
      {"JSON of another shape", {200, "OK", R"({"data": 3})"}, "not a model list from "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpServer server(c.answer);
    auto [ok, details] = OrvoRuntimeGateway(section(server.url())).healthcheck();
    EXPECT_FALSE(ok);
    EXPECT_EQ(details.rfind(c.details_prefix, 0), 0u) << details;
    // Whatever the server says arrives on one line, without control characters.
    EXPECT_EQ(details.find_first_of("\n\r\x1b"), std::string::npos) << details;
  }
}

TEST(Gateway, ConnectionRefused) {
  const std::string url = "http://127.0.0.1:" + std::to_string(HttpServer::closed_port()) + "/v1";
  auto [ok, details] = OrvoRuntimeGateway(section(url)).healthcheck();
  EXPECT_FALSE(ok);
  EXPECT_EQ(details, "connection refused: " + url + "/models");
}

TEST(Gateway, SlowServerTimesOutWithinTheLimit) {
  HttpServer server({200, "OK", R"({"data":[]})", 5s});
  const auto t0 = std::chrono::steady_clock::now();
  auto [ok, details] = OrvoRuntimeGateway(section(server.url(), 0.3)).healthcheck();
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_FALSE(ok);
  EXPECT_EQ(details, "timed out after 0.3 s: " + server.url("/v1/models"));
  EXPECT_LT(took, 2s);
}

TEST(Gateway, OverlongAnswerIsCutNotHeld) {
  HttpServer server({503, "Service Unavailable", std::string(200000, 'x')});
  auto [ok, details] = OrvoRuntimeGateway(section(server.url())).healthcheck();
  EXPECT_FALSE(ok);
  EXPECT_EQ(details, "HTTP 503: " + std::string(200, 'x'));
}

}  // namespace
