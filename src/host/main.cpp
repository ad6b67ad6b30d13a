// kestravel: the host program.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "host/replay.hpp"

namespace {

const char* kUsage =
    "usage: kestravel <command> [options]\n"
    "commands:\n"
    "  replay [SCRIPT] [--events FILE] [--fast]   play a turn on this terminal\n"
    "Run `kestravel replay --help` for details.\n";

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe must surface as a write error, not kill the process silently.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    return orvo::host::write_help(std::cout, kUsage, args.empty() ? 2 : 0);
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "replay") return orvo::host::replay_main(args);
  std::cerr << "kestravel: unknown command '" << orvo::host::safe_text(command) << "'\n" << kUsage;
  return 2;
}
