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

// A 404 used to read as a server still starting up; an empty list, or one without the configured
// model, used to read as ready.
TEST(Gateway, MissingVersionEmptyListsAndAbsentModelsAreNotReady) {
  struct Case {
    const char* name;
    HttpServer::Answer answer;
    const char* path;   // of the endpoint
    const char* model;  // configured
    bool ok;
    std::string details;  // with PORT for the server's port
  };
  const std::string two = R"({"object":"list","data":[{"id":"llama3"},{"id":"qwen:latest"}]})";
  const std::string five = R"({"data":[{"id":"a"},{"id":"b"},{"id":"c"},{"id":"d"},{"id":"e"}]})";
  const Case cases[] = {
      {"404 without /v1",
       {404, "Not Found", "Cannot GET /models"},
       "",
       "",
       false,
       "HTTP 404: the endpoint is probably missing /v1 (try http://127.0.0.1:PORT/v1); the "
       "server says: Cannot GET /models"},
      {"404 with /v1",
       {404, "Not Found", ""},
       "/v1",
       "",
       false,
       "HTTP 404 (no model list at http://127.0.0.1:PORT/v1/models)"},
      {"empty list",
       {200, "OK", R"({"object":"list","data":[]})"},
       "/v1",
       "",
       false,
       "not ready: the server lists no models at http://127.0.0.1:PORT/v1/models"},
      {"configured model listed",
       {200, "OK", two},
       "/v1",
       "llama3",
       true,
       "ready: 2 models at http://127.0.0.1:PORT/v1/models"},
      {"Ollama's tag",
       {200, "OK", two},
       "/v1",
       "qwen",
       true,
       "ready: 2 models at http://127.0.0.1:PORT/v1/models"},
      {"configured model absent",
       {200, "OK", two},
       "/v1",
       "mistral",
       false,
       "not ready: the server does not list the model \"mistral\"; it offers \"llama3\", "
       "\"qwen:latest\""},
      {"absent from a long list",
       {200, "OK", five},
       "/v1",
       "z",
       false,
       "not ready: the server does not list the model \"z\"; it offers \"a\", \"b\", \"c\", "
       "\u2026 (5 in all)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpServer server(c.answer);
    RuntimeSection r = section(server.url(c.path));
    r.model = c.model;
    auto [ok, details] = OrvoRuntimeGateway(r).healthcheck();
    std::string expected = c.details;
    for (auto at = expected.find("PORT"); at != std::string::npos; at = expected.find("PORT"))
      expected.replace(at, 4, std::to_string(server.port()));
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(details, expected);
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
