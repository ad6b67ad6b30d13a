// The runtime gateway: how Kestravel reaches the model server, and whether it is ready.
//
//   OrvoRuntimeGateway gw(config.runtime);
//   auto [ok, details] = gw.healthcheck();   // blocks for at most healthcheck_timeout
//
// Endpoint "builtin" is the embedded demo runtime, always ready. An http:// or https:// endpoint
// is the base URL of an OpenAI-compatible server (llama.cpp's server, Ollama, vLLM, LM Studio);
// its health check is GET <endpoint>/models.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/cancel.hpp"
#include "config/config.hpp"

namespace orvo::runtime {

// The one model of the embedded demo runtime.
inline constexpr std::string_view kBuiltinModel = "kestravel-demo";

// The models a server lists, or why they could not be read.
struct ModelList {
  bool ok = false;
  std::vector<std::string> ids;  // as the server names them, in its order (unnamed ones left out)
  std::size_t count = 0;         // entries in the list, named or not
  std::string error;             // when not ok: one line, as healthcheck() words it
};

// Whether `listed` names `model` (Ollama lists "qwen:latest" for a model pulled as "qwen").
bool names_model(const std::string& listed, const std::string& model);

class OrvoRuntimeGateway {
 public:
  explicit OrvoRuntimeGateway(const config::RuntimeSection& runtime);

  // (ok, details): details say what is ready or, when not ok, why not (connection refused, timed
  // out, HTTP status with the server's message, a 404 that suggests the missing /v1, an empty
  // model list, a configured model the list lacks ...), on one line without control characters.
  // Never throws for a server that is down or answers nonsense.
  // A cancel (from another thread) ends the check at once as not ready.
  std::pair<bool, std::string> healthcheck(Canceller* cancel = nullptr) const;

  // GET <endpoint>/models within healthcheck_timeout; the builtin runtime lists kBuiltinModel.
  ModelList list_models(Canceller* cancel = nullptr) const;

  bool is_builtin() const { return kind_ == Kind::Builtin; }
  bool is_http() const { return kind_ == Kind::Http; }
  // The endpoint without trailing slashes.
  const std::string& endpoint() const { return endpoint_; }
  // <endpoint>/models.
  std::string models_url() const { return endpoint_ + "/models"; }

 private:
  enum class Kind { Builtin, Http, Unsupported };
  Kind kind_;
  std::string endpoint_;
  std::string model_;  // the configured model, which the list must name ("" for any)
  double connect_timeout_;
  double total_timeout_;
};

}  // namespace orvo::runtime
