// kestravel: the host program.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "host/replay.hpp"
#include "host/view.hpp"

namespace {

const char* kUsage =
    "usage: kestravel <command> [options]\n"
    "commands:\n"
    "  replay [SCRIPT] [--events FILE] [--fast]   play a turn on this terminal\n"
    "  view SCRIPT [--size COLSxROWS] [--ansi] [--state]   play a script on the conversation view\n"
    "Run `kestravel replay --help` for details.\n";

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe must surface as a write error, not kill the process silently.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    std::cout << kUsage;
    return args.empty() ? 2 : 0;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "replay") return orvo::host::replay_main(args);
  if (command == "view") return orvo::host::view::view_main(args, std::cout, std::cerr);
  std::cerr << "kestravel: unknown command '" << command << "'\n" << kUsage;
  return 2;
}
