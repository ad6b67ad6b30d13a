#include "agent/settings.hpp"

namespace orvo::agent {

nlohmann::json default_mode_fields(const std::string& server_kind, const std::string& mode) {
  const bool think = mode == "turbo-think";
  if (server_kind == "ollama") {
    // Ollama reads "think" natively and "reasoning_effort" on its OpenAI-compatible route.
    return {{"think", think}, {"reasoning_effort", think ? "medium" : "none"}};
  }
  if (server_kind == "generic") {
    return {{"reasoning_effort", think ? "medium" : "low"}};
  }
  // llama.cpp's server and vLLM pass these to the model's chat template (Qwen3, GLM, ...).
  return {{"chat_template_kwargs", {{"enable_thinking", think}}}};
}

nlohmann::json mode_fields_for(const AgentSettings& settings) {
  if (const auto it = settings.mode_fields.find(settings.mode); it != settings.mode_fields.end()) {
    return it->second;
  }
  return default_mode_fields(settings.server_kind, settings.mode);
}

}  // namespace orvo::agent
