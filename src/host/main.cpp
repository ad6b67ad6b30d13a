// kestravel: the host program.
//
//   kestravel [--plain] [--project DIR] [--config FILE] [--endpoint URL] [--mode fast|reasoning]
//             [--model NAME] [--continue | --resume]
//   kestravel replay [SCRIPT] [--events FILE] [--fast] [--dump-demo]
//   kestravel view ...
//   kestravel --version
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/utf8.hpp"
#include "config/config.hpp"
#include "host/fullscreen.hpp"
#include "host/plain.hpp"
#include "host/project.hpp"
#include "host/replay.hpp"
#include "host/version.hpp"
#include "host/view.hpp"
#include "runtime/gateway.hpp"

namespace {

// KESTRAVEL_DEMO_SPEED scales the demo runtime's pauses (0: none), for scripted runs.
double demo_speed() {
  const char* s = std::getenv("KESTRAVEL_DEMO_SPEED");
  if (s == nullptr || *s == '\0') return 1.0;
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  return (end != s && *end == '\0' && v >= 0) ? v : 1.0;
}

// The view lays a whole script's rows out at once: megabytes of small objects that stay until the
// process ends. The heap is reserved for them in one step, kept (not trimmed between documents)
// and offered to the kernel for huge pages, so touching it takes a fault per 2 MiB rather than
// per 4 KiB. Nothing is committed here: an untouched reservation costs no memory.
void prepare_heap_for_view() {
  constexpr std::size_t kReserve = std::size_t{32} << 20;
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  mallopt(M_TRIM_THRESHOLD, 2 * kReserve);
  mallopt(M_MMAP_THRESHOLD, kReserve);
  mallopt(M_TOP_PAD, kReserve);
  const auto before = reinterpret_cast<std::uintptr_t>(sbrk(0));
  // Grows the heap by the reservation (volatile: a malloc freed at once may be left out).
  void* volatile block = std::malloc(kReserve / 2);
  std::free(block);
  const auto after = reinterpret_cast<std::uintptr_t>(sbrk(0));
  const std::uintptr_t lo = (before + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t hi = after & ~(kHuge - 1);
  // Advice only: where huge pages are off, the heap is used as it is.
  constexpr std::uintptr_t kFailed = ~std::uintptr_t{0};  // sbrk's (void*)-1
  if (before != kFailed && after != kFailed && hi > lo)
    madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
}

}  // namespace

namespace {

int run_main(int argc, char** argv) {
  // A closed pipe must surface as a write error, not kill the process silently.
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App cli{"Kestravel: a terminal front-end for a coding agent whose model runs locally.",
               "kestravel"};
  bool plain = false;
  std::string config_file;
  std::string endpoint;
  std::string mode;
  std::string model;
  std::string project;
  cli.add_flag("--plain", plain,
               "no full-screen interface: prompts from standard input, one per line, each turn "
               "drawn on the terminal");
  CLI::Option* project_option =
      cli.add_option("--project", project,
                     "the directory the agent works in (default: the current one). The file "
                     "tools cannot leave it; bash runs in it, in a sandbox where bwrap works "
                     "([agent] sandbox). The agent is not started in / or in your home directory "
                     "itself unless --project names it")
          ->type_name("DIR");
  cli.add_option("--config", config_file,
                 "configuration file (default: $XDG_CONFIG_HOME/kestravel/config.toml, else "
                 "~/.config/kestravel/config.toml)")
      ->type_name("FILE");
  cli.add_option("--endpoint", endpoint,
                 "runtime for this run: builtin (the demo runtime) or the URL of an "
                 "OpenAI-compatible server, e.g. http://127.0.0.1:8080/v1")
      ->type_name("URL");
  cli.add_option("--mode", mode, "fast or reasoning, for this run (no mode screen)")
      ->check(CLI::IsMember({"fast", "reasoning"}))
      ->type_name("");
  CLI::Option* model_option =
      cli.add_option("--model", model,
                     "the model name sent with each request, for this run (instead of model "
                     "under [runtime])")
          ->type_name("NAME");

  bool continue_latest = false;
  bool resume_pick = false;
  CLI::Option* continue_option = cli.add_flag(
      "--continue", continue_latest,
      "reopen the latest session of this project: its conversation is shown and goes on");
  cli.add_flag("--resume", resume_pick,
               "list this project's sessions (date, first prompt, turns) to pick one to resume")
      ->excludes(continue_option);

  CLI::App* replay = cli.add_subcommand("replay", "play a turn script on this terminal");
  replay->set_help_flag();  // its own --help
  replay->prefix_command();
  CLI::App* view = cli.add_subcommand(
      "view", "play a script on the conversation view, headless, and print the screen");
  view->set_help_flag();
  view->prefix_command();
  cli.set_version_flag("--version",
                       std::string("kestravel ") + KV_VERSION + " (commit " + KV_COMMIT + ")",
                       "print the version and the commit it was built from");
  cli.require_subcommand(0, 1);
  cli.footer(
      "Configuration, [agent] table: sandbox = \"auto\" (default) runs the bash tool in bwrap "
      "where it works, with the project writable and the rest of the file system read-only; "
      "\"off\" never does. sandbox_network = false also takes the network away from it. "
      "Without the sandbox, bash is confined only by the consent rule: commands that may delete "
      "or overwrite files, discard git work or write outside the project ask first.\n\n"
      "Run `kestravel replay --help` or `kestravel view --help` for their options.");

  try {
    cli.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return orvo::host::write_help(std::cout, cli.help(), 0);
  } catch (const CLI::CallForVersion& v) {
    return orvo::host::write_help(std::cout, std::string(v.what()) + "\n", 0);
  } catch (const CLI::CallForAllHelp&) {
    return orvo::host::write_help(std::cout, cli.help("", CLI::AppFormatMode::All), 0);
  } catch (const CLI::ParseError& e) {
    // The message may quote what was typed: never echo its control characters.
    std::cerr << "kestravel: " << orvo::text::message_safe(e.what())
              << "\nRun `kestravel --help` for the options.\n";
    return 2;
  }

  if (replay->parsed()) return orvo::host::replay_main(replay->remaining());
  if (view->parsed()) {
    prepare_heap_for_view();
    return orvo::host::view::view_main(view->remaining(), std::cout, std::cerr,
                                       /*end_process=*/true);
  }

  // The configuration is read, and any fault in it reported, before anything is drawn.
  orvo::config::Config config;
  try {
    orvo::config::LoadOptions options;
    if (!config_file.empty()) options.path = config_file;
    if (!endpoint.empty()) options.endpoint = endpoint;
    if (!mode.empty())
      options.mode = mode == "fast" ? orvo::config::kModeFast : orvo::config::kModeReasoning;
    if (model_option->count() > 0) options.model = model;
    config = orvo::config::load_config(options);
  } catch (const orvo::config::ConfigParseError& e) {
    std::cerr << "kestravel: configuration error\n  " << e.path().string() << ":" << e.line() << ":"
              << e.column() << ": " << orvo::text::terminal_safe(e.reason())
              << "\n  Fix the file (it was left as it is) or start with --config FILE.\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "kestravel: " << orvo::text::terminal_safe(e.what()) << "\n";
    return 2;
  }

  // An endpoint no agent can use is a usage error in either front-end, found before anything is
  // drawn.
  const orvo::runtime::OrvoRuntimeGateway gateway(config.runtime);
  if (!gateway.is_builtin() && !gateway.is_http()) {
    std::cerr << "kestravel: unsupported endpoint \""
              << orvo::text::terminal_safe(config.runtime.endpoint)
              << "\": use builtin or an http:// or https:// URL\n";
    return 2;
  }
  if (!plain) {
    if (const std::string why = orvo::host::fullscreen_refusal(std::getenv("TERM")); !why.empty()) {
      std::cerr << "kestravel: " << why << "\n";
      return 2;
    }
  }

  // The demo runtime touches no files: only a real agent needs a project it may act on.
  std::optional<std::string> given;
  if (project_option->count() > 0) given = project;
  std::error_code ec;
  const std::filesystem::path cwd = std::filesystem::current_path(ec);
  const orvo::host::ProjectChoice chosen =
      orvo::host::choose_project(given, cwd, std::getenv("HOME"), !gateway.is_builtin());
  if (!chosen.error.empty()) {
    std::cerr << "kestravel: " << chosen.error << "\n";
    return 2;
  }

  try {
    const orvo::host::ResumeRequest resume =
        continue_latest
            ? orvo::host::ResumeRequest::latest
            : (resume_pick ? orvo::host::ResumeRequest::pick : orvo::host::ResumeRequest::none);
    if (plain) return orvo::host::plain_main(config, demo_speed(), chosen.dir, resume);
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
      std::cerr << "kestravel: the full-screen interface needs a terminal, but standard "
                << (::isatty(STDIN_FILENO) ? "output" : "input") << " is not one.\n"
                << "  Use `kestravel --plain` to read prompts from standard input.\n";
      return 2;
    }
    return orvo::host::run_fullscreen(std::move(config), {.project = chosen.dir,
                                                          .demo_speed = demo_speed(),
                                                          .mode_given = !mode.empty(),
                                                          .resume = resume});
  } catch (const std::exception& e) {
    std::cerr << "kestravel: " << orvo::text::terminal_safe(e.what()) << "\n";
    return 1;
  } catch (...) {
    std::cerr << "kestravel: unknown error\n";
    return 1;
  }
}

}  // namespace

// Nothing may end the process with an uncaught exception: set-up and subcommands report too.
int main(int argc, char** argv) {
  try {
    return run_main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "kestravel: " << orvo::text::terminal_safe(e.what()) << "\n";
  } catch (...) {
    std::cerr << "kestravel: unknown error\n";
  }
  return 1;
}
