// Glob matching of a pattern and a path split at the first NUL or newline. Besides not crashing
// or hanging, a path must match itself once its special characters are escaped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/tools.hpp"

using orvo::agent::glob_match;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const auto cut = in.find_first_of(std::string_view("\0\n", 2));
  const std::string_view pattern = in.substr(0, cut);
  const std::string_view path = cut == std::string_view::npos ? "" : in.substr(cut + 1);
  (void)glob_match(pattern, path);
  // Braces expand before escapes are read, so only paths without them have a literal pattern.
  if (path.find_first_of("{}") == std::string_view::npos) {
    std::string literal;
    for (const char c : path) {
      if (c == '*' || c == '?' || c == '[' || c == '\\') literal.push_back('\\');
      literal.push_back(c);
    }
    if (!glob_match(literal, path)) std::abort();
  }
  return 0;
}
