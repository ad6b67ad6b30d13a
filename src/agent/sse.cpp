#include "agent/sse.hpp"

#include <cstring>

namespace orvo::agent {

std::size_t SseParser::find_eol(std::string_view s, std::size_t from) {
  const char* begin = s.data() + from;
  const std::size_t n = s.size() - from;
  // memchr for LF runs at memory speed; a CR is rare, so look for it only up to the first LF.
  const void* lf = std::memchr(begin, '\n', n);
  const std::size_t lf_len =
      lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) : n;
  const void* cr = std::memchr(begin, '\r', lf_len);
  if (cr) return from + static_cast<std::size_t>(static_cast<const char*>(cr) - begin);
  if (lf) return from + lf_len;
  return std::string_view::npos;
}

void SseParser::reset() {
  line_.clear();
  data_.clear();
  event_.clear();
  has_data_ = false;
  skip_lf_ = false;
  oversized_ = false;
  line_dropped_ = false;
}

void SseParser::check_line_size() {
  if (line_.size() > kMaxEventBytes) {
    // Keep a marker so the rest of this line is recognised as part of a dropped line: a data line
    // without its start would otherwise parse as a field of its own.
    if (!oversized_) ++dropped_;
    dropped_bytes_ += line_.size() - (line_dropped_ ? 1 : 0);
    line_.assign("x");
    line_dropped_ = true;
    oversized_ = true;
  }
}

}  // namespace orvo::agent
