#include "host/chat/reasoning_line.hpp"

#include <algorithm>

#include "common/utf8.hpp"

namespace orvo::host {

namespace {

// Bytes at the end of `s` that start a UTF-8 sequence not yet complete.
std::size_t incomplete_tail(std::string_view s) {
  const std::size_t n = s.size();
  for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto b = static_cast<unsigned char>(s[n - back]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return need > back ? back : 0;
  }
  return 0;
}

}  // namespace

void ReasoningLine::clear() {
  current_.clear();
  previous_.clear();
  pending_.clear();
}

void ReasoningLine::feed(std::string_view chunk) {
  // A character split across chunks is put back together before it is judged.
  std::string joined;
  if (!pending_.empty()) {
    joined = pending_;
    joined.append(chunk);
    pending_.clear();
    chunk = joined;
  }
  const std::size_t tail = incomplete_tail(chunk);
  append(chunk.substr(0, chunk.size() - tail));
  pending_.assign(chunk.substr(chunk.size() - tail));
}

void ReasoningLine::append(std::string_view part) {
  while (!part.empty()) {
    const std::size_t nl = part.find_first_of("\n\r");
    const std::string_view piece = part.substr(0, nl);
    // Only the start of a long line is kept, cut before a character that would not fit whole.
    if (current_.size() < kMaxBytes) {
      std::size_t take = std::min(piece.size(), kMaxBytes - current_.size());
      while (take > 0 && take < piece.size() &&
             (static_cast<unsigned char>(piece[take]) & 0xC0) == 0x80)
        --take;
      current_.append(piece.substr(0, take));
    }
    if (nl == std::string_view::npos) break;
    // A line ends (a lone CR too: a line rewritten in place is a new line).
    if (text::has_visible(current_)) previous_ = std::move(current_);
    current_.clear();
    part.remove_prefix(nl + 1);
  }
}

std::string ReasoningLine::line() const {
  const std::string& src = text::has_visible(current_) ? current_ : previous_;
  std::string out = text::terminal_safe(text::strip_escapes(src));
  for (char& c : out)
    if (c == '\t') c = ' ';
  return std::string(text::strip(out));
}

}  // namespace orvo::host
