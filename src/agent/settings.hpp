// Plain settings of the agent loop. The configuration module maps its file onto this struct; the
// agent reads nothing else (no files, no globals) apart from the API key's environment variable.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvo::agent {

// One extra consent rule: when `pattern` (RE2 syntax) matches, the action needs the user's
// approval. For "bash" the pattern is searched in each simple command of the command line (words
// joined by single spaces, wrappers such as sudo/env/xargs removed); for the file tools it is
// searched in the path relative to the project directory.
struct ConsentRuleSpec {
  std::string tool = "bash";
  std::string pattern;
  std::string reason;
};

struct AgentSettings {
  // Base URL of the OpenAI-compatible API, e.g. "http://127.0.0.1:8080/v1".
  std::string endpoint = "http://127.0.0.1:8080/v1";
  // Model name sent with every request (llama.cpp ignores it; Ollama and vLLM need it).
  std::string model = "default";
  // Name of the environment variable holding the API key; empty: no Authorization header.
  std::string api_key_env;
  // "llama.cpp", "ollama", "vllm" or "generic": picks the default mode fields below.
  std::string server_kind = "llama.cpp";
  // "turbo" (no reasoning) or "turbo-think" (reasoning).
  std::string mode = "turbo-think";
  // Request fields merged (JSON merge patch) into the request body per mode. A mode missing here
  // gets the defaults of `server_kind` (see default_mode_fields).
  std::map<std::string, nlohmann::json> mode_fields;
  // Extra request fields for every request (e.g. temperature).
  nlohmann::json extra_request_fields = nlohmann::json::object();

  std::chrono::milliseconds connect_timeout{5000};
  // No byte from the server for this long ends the request.
  std::chrono::milliseconds stall_timeout{120000};

  // Directory the tools work in; file tools cannot leave it. Empty: the current directory.
  std::filesystem::path project_dir;
  // bash runs in bwrap (project writable, the rest read-only) where bwrap works; false: never.
  bool sandbox = true;
  bool sandbox_network = true;                     // false: no network inside the sandbox
  std::string bwrap_path = "bwrap";                // searched on PATH unless it holds a '/'
  std::chrono::milliseconds bash_timeout{120000};  // default when the model gives none
  std::chrono::milliseconds bash_max_timeout{600000};
  std::size_t tool_output_cap =
      std::size_t{64} * 1024;  // bytes of one tool's output kept for the model
  std::size_t web_fetch_max_bytes = std::size_t{1024} * 1024;
  // A whole web_fetch (connect, redirects, body) ends after this long, however slowly the server
  // keeps sending.
  std::chrono::milliseconds web_fetch_timeout{30000};
  // edit_file and multi_edit load the whole file; larger files are refused instead.
  std::size_t max_edit_bytes = std::size_t{8} * 1024 * 1024;
  // Background processes a bash command leaves behind are killed when the toolbox goes away
  // (the program exits), unless this is set.
  bool keep_background_processes = false;
  // Search service answering GET <search_endpoint>?q=<query>&format=json with {"results": [...]}
  // (SearxNG's format). Empty: web_search is not offered.
  std::string search_endpoint;

  std::vector<ConsentRuleSpec> extra_consent_rules;

  // Rough size of the conversation sent to the model, in tokens (about 4 characters each); the
  // oldest tool outputs are dropped first when it is exceeded.
  std::size_t context_budget_tokens = 24000;
  // Model requests per turn before the loop stops.
  int max_steps = 40;
  // Prepended as the system message; empty: a built-in prompt naming the project directory.
  std::string system_prompt;
  // The project's instructions (AGENTS.md, KESTRAVEL.md), added after the system prompt.
  std::string instructions;
};

// Request fields that ask `server_kind` for ("turbo-think") or against ("turbo") reasoning.
nlohmann::json default_mode_fields(const std::string& server_kind, const std::string& mode);

// The fields used for `settings.mode`: the configured ones, else the defaults.
nlohmann::json mode_fields_for(const AgentSettings& settings);

}  // namespace orvo::agent
