// Confinement of the bash tool with bubblewrap (bwrap): the whole file system read-only, the
// project writable, a private /tmp, optionally no network. Where bwrap is missing or cannot create
// its namespaces (some containers), commands run without it and the user is told once.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvo::agent {

struct SandboxOptions {
  bool enabled = true;          // "auto"; false for "off"
  bool network = true;          // false adds --unshare-net
  std::string bwrap = "bwrap";  // program name (searched on PATH) or path
};

// What a probe found: whether bwrap works, and if not, why (one line, for the user).
struct SandboxProbe {
  bool works = false;
  std::string reason;
};

// The bwrap command line that runs `command` with `project` writable and the rest read-only.
// The /tmp tmpfs comes before the project's bind, so a project under /tmp stays visible.
std::vector<std::string> bwrap_argv(const SandboxOptions& options,
                                    const std::filesystem::path& project,
                                    const std::vector<std::string>& command);

// Runs `argv` (a bwrap command line running `true`) with a short timeout.
SandboxProbe run_sandbox_probe(const std::vector<std::string>& argv,
                               std::chrono::milliseconds timeout = std::chrono::seconds(3));

class Sandbox {
 public:
  using Probe = std::function<SandboxProbe(const std::vector<std::string>& argv)>;

  // `probe` defaults to run_sandbox_probe; it is asked at most once, on the first wrap().
  explicit Sandbox(SandboxOptions options, Probe probe = {});

  // `command` as it should be run in `project`: inside bwrap when the sandbox is on and works,
  // else unchanged. Thread-safe.
  std::vector<std::string> wrap(const std::vector<std::string>& command,
                                const std::filesystem::path& project);

  // The one-line notice that commands run unconfined because bwrap does not work, the first
  // time it is asked after a wrap() fell back; nullopt otherwise (and ever after).
  std::optional<std::string> take_notice();

  // Whether wrap() confines commands (probes if not yet done).
  bool active(const std::filesystem::path& project);

 private:
  void probe_once(const std::filesystem::path& project);

  SandboxOptions options_;
  Probe probe_;
  std::mutex m_;
  bool probed_ = false;
  bool works_ = false;
  std::optional<std::string> notice_;
};

}  // namespace orvo::agent
