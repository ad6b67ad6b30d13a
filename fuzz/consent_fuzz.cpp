// Splits arbitrary command lines into simple commands and asks the consent policy about them, in
// a small project directory made once per process.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "agent/consent.hpp"

namespace fs = std::filesystem;
using namespace orvo::agent;

namespace {

fs::path g_root;
std::unique_ptr<ConsentPolicy> g_policy;

void remove_root() {
  std::error_code ec;
  if (!g_root.empty()) fs::remove_all(g_root, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string tmpl = (fs::temp_directory_path() / "kv-consent-fuzz-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
  g_root = fs::canonical(tmpl);
  std::atexit(remove_root);
  // Existing files and a subdirectory, so "overwrites an existing file" and "cd sub" paths run.
  fs::create_directories(g_root / "sub" / "deeper");
  std::ofstream(g_root / "main.cpp") << "int main() {}\n";
  std::ofstream(g_root / "notes.txt") << "notes\n";
  std::ofstream(g_root / "sub" / "x") << "x\n";
  // A configured pattern that backtracking engines take exponential time on.
  g_policy = std::make_unique<ConsentPolicy>(
      g_root, std::vector<ConsentRuleSpec>{{"bash", "(x+x+)+y", "configured"}});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto commands = split_commands(line);
  (void)commands;
  // The part named as the trigger is always a piece of the command line itself.
  if (const auto finding = g_policy->analyse_command(line)) {
    if (finding->reason.empty() || line.find(finding->trigger) == std::string_view::npos) {
      std::abort();
    }
  }
  return 0;
}
