// Chunk splits for stream fuzzers: the first bytes of the input choose where a stream is cut,
// so the fuzzer explores split points as well as content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kv_fuzz {

// Number of leading bytes that choose the splits; the rest is the stream.
inline constexpr std::size_t kSplitHeader = 4;

// Cuts `body` into pieces. Plan 0 is the whole body at once, plan 1 single bytes, plan 2 pieces of
// a fixed size from the header, plan 3 sizes cycling through the header bytes (a zero adds an
// empty read, which a parser must take in its stride).
inline std::vector<std::string_view> split(std::string_view body, const std::uint8_t* header,
                                           int plan) {
  std::vector<std::string_view> out;
  if (plan == 0) {
    out.push_back(body);
    return out;
  }
  std::size_t pos = 0;
  std::size_t turn = 0;
  while (pos < body.size()) {
    std::size_t n = 1;
    if (plan == 2) n = 1 + header[0] % 64;
    if (plan == 3) {
      n = header[turn++ % kSplitHeader] % 32;
      if (n == 0) {
        out.push_back(body.substr(pos, 0));
        n = 1;  // the empty read comes on top, so the cut always moves on
      }
    }
    n = n < body.size() - pos ? n : body.size() - pos;
    out.push_back(body.substr(pos, n));
    pos += n;
  }
  return out;
}

inline constexpr int kSplitPlans = 4;

}  // namespace kv_fuzz
