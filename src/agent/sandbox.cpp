#include "agent/sandbox.hpp"

#include <utility>

#include "agent/cancel.hpp"
#include "agent/process.hpp"

namespace orvo::agent {

namespace fs = std::filesystem;

std::vector<std::string> bwrap_argv(const SandboxOptions& options, const fs::path& project,
                                    const std::vector<std::string>& command) {
  const std::string dir = project.string();
  std::vector<std::string> argv = {
      options.bwrap, "--ro-bind", "/",    "/",      "--dev", "/dev", "--proc",
      "/proc",       "--tmpfs",   "/tmp", "--bind", dir,     dir,    "--die-with-parent"};
  if (!options.network) argv.push_back("--unshare-net");
  argv.insert(argv.end(), {"--chdir", dir, "--"});
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

SandboxProbe run_sandbox_probe(const std::vector<std::string>& argv,
                               std::chrono::milliseconds timeout) {
  Canceller never;
  const ProcessResult r = run_process(argv, "/", timeout, 4096, never);
  if (!r.started) return {false, r.start_error};
  if (r.timed_out) return {false, argv[0] + " did not finish a trial run"};
  if (r.exit_code == 0) return {true, {}};
  // bwrap says why on its first line, e.g. "bwrap: No permissions to create new namespace".
  std::string why = r.output.substr(0, r.output.find('\n'));
  if (why.size() > 200) why.resize(200);
  if (why.empty()) {
    why = argv[0] + (r.signal != 0 ? " was killed by signal " + std::to_string(r.signal)
                                   : " failed with exit code " + std::to_string(r.exit_code));
  }
  return {false, why};
}

Sandbox::Sandbox(SandboxOptions options, Probe probe)
    : options_(std::move(options)), probe_(std::move(probe)) {
  if (!probe_)
    probe_ = [](const std::vector<std::string>& argv) { return run_sandbox_probe(argv); };
}

void Sandbox::probe_once(const fs::path& project) {
  if (probed_ || !options_.enabled) return;
  probed_ = true;
  // The trial run uses the very options of the real ones, so a setting bwrap cannot honour here
  // (e.g. --unshare-net) shows up now rather than as every command failing.
  SandboxProbe p;
  try {
    p = probe_(bwrap_argv(options_, project, {"true"}));
  } catch (const std::exception& e) {
    p = {false, e.what()};
  }
  works_ = p.works;
  if (!works_) {
    notice_ = "bash runs without a sandbox: " +
              (p.reason.empty() ? "bwrap does not work here" : p.reason) +
              " (set [agent] sandbox = \"off\" to silence this)";
  }
}

bool Sandbox::active(const fs::path& project) {
  std::lock_guard lock(m_);
  probe_once(project);
  return options_.enabled && works_;
}

std::vector<std::string> Sandbox::wrap(const std::vector<std::string>& command,
                                       const fs::path& project) {
  if (!active(project)) return command;
  return bwrap_argv(options_, project, command);
}

std::optional<std::string> Sandbox::take_notice() {
  std::lock_guard lock(m_);
  return std::exchange(notice_, std::nullopt);
}

}  // namespace orvo::agent
