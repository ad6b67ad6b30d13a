// The replay script parser on arbitrary bytes: only ScriptError ever leaves it, its message never
// carries a control character, and an accepted script reads back the same after dump_script.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/utf8.hpp"
#include "host/replay.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvo;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<host::Step> steps;
  try {
    steps = host::parse_script(in);
  } catch (const host::ScriptError& e) {
    const std::string what = e.what();
    if (text::message_safe(what) != what) std::abort();
    if (e.line() < 1) std::abort();
    return 0;
  }  // anything else escapes and is reported by libFuzzer
  const auto again = host::parse_script(host::dump_script(steps));
  if (again.size() != steps.size()) std::abort();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (again[i].call != steps[i].call || again[i].args != steps[i].args ||
        again[i].sleep != steps[i].sleep) {
      std::abort();
    }
  }
  return 0;
}
