// The configuration file: a TOML file at $XDG_CONFIG_HOME/kestravel/config.toml (else
// ~/.config/kestravel/config.toml, or the file given with --config).
//
//   [runtime]
//   laptop_26b_runtime_mode = "turbo"        # or "turbo-think"
//   endpoint = "builtin"                     # or http://127.0.0.1:8080/v1
//   model = ""
//   api_key_env = ""                         # name of the environment variable with the key
//   connect_timeout = 2.0                    # seconds
//   healthcheck_timeout = 2.0
//   stall_timeout = 60.0
//   [runtime.modes.turbo]                    # request fields sent in each mode
//   think = false
//   chat_template_kwargs = { enable_thinking = false }
//   [agent]
//   context_budget = 32000                   # tokens
//   max_steps = 40
//   sandbox = "auto"                         # bash in bwrap where it works; or "off"
//   sandbox_network = true                   # false: no network inside the sandbox
//   web_fetch_timeout = 30.0                 # seconds for a whole web_fetch
//   keep_background = false                  # true: leave commands' background processes running
//   max_edit_bytes = 8388608                 # larger files are not loaded by edit_file
//   [[agent.consent]]                        # extra commands that need the user's consent
//   tool = "bash"
//   pattern = "terraform\\s+destroy"
//   [ui]
//   theme = "auto"                           # "auto" (ask the terminal), "dark" or "light"
//
// A missing file means defaults. Keys and tables this program does not know are kept on save.
// Saving writes the mode and every other setting changed since loading; the rest of the file
// (as it is on disk at that moment) stays as it is.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvo::config {

inline constexpr const char* kModeFast = "turbo";
inline constexpr const char* kModeReasoning = "turbo-think";

// True for "turbo" and "turbo-think".
bool is_known_mode(const std::string& mode);

struct RuntimeSection {
  std::string laptop_26b_runtime_mode = kModeFast;
  // "builtin" (the embedded demo runtime) or the base URL of an OpenAI-compatible server.
  std::string endpoint = "builtin";
  std::string model;        // model name sent with each request; "" lets the server choose
  std::string api_key_env;  // environment variable holding the API key; "" for none
  double connect_timeout = 2.0;
  double healthcheck_timeout = 2.0;  // whole health check, connect included
  double stall_timeout = 60.0;       // a stream with no byte for this long is given up
  // Request fields merged into each chat request, per mode.
  std::map<std::string, nlohmann::json> modes = default_modes();

  static std::map<std::string, nlohmann::json> default_modes();
  friend bool operator==(const RuntimeSection&, const RuntimeSection&) = default;
};

// A command that needs the user's consent before it runs, besides the built-in rules.
struct ConsentRule {
  std::string tool;     // tool name; "" or "*" for any tool
  std::string pattern;  // ECMAScript regular expression searched in the command
  friend bool operator==(const ConsentRule&, const ConsentRule&) = default;
};

// Sessions and checkpoints (read only; never written back).
struct SessionsSection {
  long long keep_days = 30;            // session files older than this are removed at start-up
  long long checkpoint_max_mb = 1024;  // larger projects get no checkpoints (so no /undo)
  friend bool operator==(const SessionsSection&, const SessionsSection&) = default;
};

struct AgentSection {
  long long context_budget = 32000;  // tokens kept of the conversation
  long long max_steps = 40;          // model requests in one turn
  // "auto": the bash tool runs in bwrap (project writable, the rest read-only) where bwrap works;
  // "off": never.
  std::string sandbox = "auto";
  bool sandbox_network = true;      // false: no network inside the sandbox
  double web_fetch_timeout = 30.0;  // seconds for one whole web_fetch
  // Background processes left by the agent's commands are killed on exit unless this is set.
  bool keep_background = false;
  long long max_edit_bytes = 8LL * 1024 * 1024;  // edit_file refuses larger files
  std::vector<ConsentRule> consent;
  friend bool operator==(const AgentSection&, const AgentSection&) = default;
};

// The full-screen UI.
struct UiSection {
  // "auto": light or dark after the terminal's background colour (dark when it does not say);
  // "dark" or "light" force one.
  std::string theme = "auto";
  friend bool operator==(const UiSection&, const UiSection&) = default;
};

struct Document;  // the file's table as read (opaque: keeps TOML out of this header)

struct Config {
  RuntimeSection runtime;
  AgentSection agent;
  UiSection ui;
  SessionsSection sessions;
  // Where the configuration is saved (where it was loaded from).
  std::filesystem::path path;

  // The file as loaded and the values it gave, for keeping unknown keys and writing only what
  // changed. Shared between copies.
  std::shared_ptr<Document> document;
};

// An ordinary configuration error (the message is meant for the user).
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that cannot be read as a configuration: where, and why.
class ConfigParseError : public ConfigError {
 public:
  ConfigParseError(std::filesystem::path path, int line, int column, std::string reason);
  const std::filesystem::path& path() const { return path_; }
  int line() const { return line_; }
  int column() const { return column_; }
  const std::string& reason() const { return reason_; }

 private:
  std::filesystem::path path_;
  int line_;
  int column_;
  std::string reason_;
};

// $XDG_CONFIG_HOME/kestravel/config.toml if XDG_CONFIG_HOME is set and absolute, else
// $HOME/.config/kestravel/config.toml; throws ConfigError when neither can be found.
std::filesystem::path default_config_path();

struct LoadOptions {
  std::optional<std::filesystem::path> path;  // --config
  // Command-line values for this run only: used, never saved unless changed again.
  std::optional<std::string> endpoint;
  std::optional<std::string> mode;
  std::optional<std::string> model;
};

// Reads the configuration. A missing file gives the defaults. Throws ConfigParseError for a file
// that does not parse or holds a known key of the wrong type, ConfigError when it cannot be read
// (a directory, a file over 16 MiB).
Config load_config(const LoadOptions& options = {});

// Writes the configuration to config.path: directories made (0700), a temporary file in the same
// directory written, flushed and renamed over the old one, so the file is always whole (a
// symbolic link is followed: its target is replaced, the link stays). Writes
// the mode and the settings changed since loading over the file as it is now; a file that no
// longer parses is not written over (ConfigError). Throws ConfigError on any failure.
void save_config(const Config& config);

// Sets the model for this run only, as --model does: a later save_config leaves the file's model
// as it is.
void set_session_model(Config& config, const std::string& model);

}  // namespace orvo::config
