#include "tui/framework/highlight/highlight.hpp"

#include <utility>

#include "tui/framework/highlight/lexers.hpp"

namespace orvo::tui {
namespace {

constexpr int kTabSize = 4;
constexpr std::size_t kCacheBytes = 16u << 20;

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

LruCache<HighlightedCode>& cache() {
  static LruCache<HighlightedCode> c(kCacheBytes);
  return c;
}

std::vector<CodeLine> split_code(std::string_view code) {
  std::vector<CodeLine> lines;
  std::size_t pos = 0;
  while (pos < code.size()) {
    std::size_t end = code.find('\n', pos);
    if (end == std::string_view::npos) end = code.size();
    CodeLine line;
    int col = 0;
    for (std::size_t i = pos; i < end; ++i) {
      const char c = code[i];
      if (c == '\t') {
        const int n = kTabSize - col % kTabSize;
        line.text.append(static_cast<std::size_t>(n), ' ');
        col += n;
      } else if (c == '\r' && i + 1 == end) {
        // CR LF line ends
      } else {
        line.text += c;
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++col;
      }
    }
    lines.push_back(std::move(line));
    pos = end + 1;
  }
  return lines;
}

}  // namespace

std::string_view language_of(std::string_view fence_name) {
  return lex::lexer_for(lower(fence_name));
}

std::shared_ptr<const HighlightedCode> highlight_code(std::string_view code,
                                                      std::string_view fence_name) {
  const std::string_view lexer = language_of(fence_name);
  std::string key;
  key.reserve(lexer.size() + 1 + code.size());
  key.append(lexer).append(1, '\0').append(code);
  if (auto hit = cache().get(key)) return hit;

  auto lines = std::make_shared<HighlightedCode>(split_code(code));
  if (!lexer.empty()) lex::tokenize(lexer, *lines);
  std::size_t cost = 0;
  for (CodeLine& line : *lines) {
    if (lexer.empty() || (line.tokens.empty() && !line.text.empty())) {
      line.tokens.clear();
      if (!line.text.empty()) {
        line.tokens.push_back({0, static_cast<std::uint32_t>(line.text.size()), TokenKind::Plain});
      }
    }
    cost += sizeof(CodeLine) + line.text.size() + line.tokens.size() * sizeof(CodeToken);
  }
  cache().put(key, lines, cost);
  return lines;
}

void clear_highlight_cache() {
  cache().clear();
}

CacheStats highlight_cache_stats() {
  return cache().stats();
}

}  // namespace orvo::tui
