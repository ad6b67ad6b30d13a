// The fast path of the stream decoder: chunks that only carry a bit of text, read without
// building a JSON document.
#include <cstring>
#include <string>
#include <string_view>

#include "agent/chat_stream.hpp"
#include "common/utf8.hpp"

namespace orvo::agent {

namespace {

// Nearly every event of a stream is one small chunk whose first choice's delta holds a bit of
// answer or reasoning text. Building a JSON document for each costs more than the rest of a
// token's way to the screen, so such chunks are read by this scanner instead. It accepts only
// input it reads exactly as the full parse does: valid JSON, no duplicates among the keys that
// matter, no tool calls, usage or error. Anything else (including every malformed event) is
// declined and goes to the full parse, which is the reference.
class ChunkScanner {
 public:
  explicit ChunkScanner(std::string_view s) : p_(s.data()), end_(s.data() + s.size()) {}

  bool decode(ChunkDelta& out) {
    if (!consume('{')) return false;
    bool seen_choices = false;
    if (consume('}')) return false;  // no choices: reported as malformed by the full parse
    do {
      std::string_view key;
      if (!read_key(key) || !consume(':')) return false;
      if (key == "choices") {
        if (seen_choices || !read_choices(out)) return false;
        seen_choices = true;
      } else if (key == "usage" || key == "error") {
        if (!consume_literal("null")) return false;  // only the null these servers send
      } else if (!skip_value(0)) {
        return false;
      }
    } while (consume(','));
    if (!consume('}')) return false;
    skip_ws();
    return p_ == end_ && seen_choices;
  }

 private:
  static constexpr int kMaxDepth = 64;

  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  bool consume(char c) {
    skip_ws();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool peek(char c) {
    skip_ws();
    return p_ < end_ && *p_ == c;
  }
  bool consume_literal(std::string_view word) {
    skip_ws();
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::string_view(p_, word.size()) != word) {
      return false;
    }
    p_ += word.size();
    return true;
  }

  // Length of the well-formed UTF-8 sequence at p_ (its lead byte is >= 0x80), 0 if there is
  // none: overlong forms, surrogates and code points past U+10FFFF are rejected, as JSON
  // parsers do.
  std::size_t utf8_length() const {
    return text::sequence_length(std::string_view(p_, static_cast<std::size_t>(end_ - p_)), 0);
  }

  bool read_hex4(std::uint32_t& v) {
    if (end_ - p_ < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = *p_++;
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    return true;
  }

  // A string value; its text goes to `out` unless that is null (the value is only checked).
  bool read_string(std::string* out) {
    if (!consume('"')) return false;
    const char* run = p_;
    const auto flush = [&] {
      if (out) out->append(run, static_cast<std::size_t>(p_ - run));
    };
    while (p_ < end_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        flush();
        ++p_;
        return true;
      }
      if (c == '\\') {
        flush();
        if (++p_ == end_) return false;
        const char e = *p_++;
        char plain = 0;
        switch (e) {
          case '"':
            plain = '"';
            break;
          case '\\':
            plain = '\\';
            break;
          case '/':
            plain = '/';
            break;
          case 'b':
            plain = '\b';
            break;
          case 'f':
            plain = '\f';
            break;
          case 'n':
            plain = '\n';
            break;
          case 'r':
            plain = '\r';
            break;
          case 't':
            plain = '\t';
            break;
          case 'u': {
            std::uint32_t cp = 0;
            if (!read_hex4(cp)) return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a low surrogate alone
            if (cp >= 0xD800 && cp <= 0xDBFF) {
              std::uint32_t lo = 0;
              if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
              p_ += 2;
              if (!read_hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            }
            if (out) text::encode(static_cast<char32_t>(cp), *out);  // a valid code point here
            break;
          }
          default:
            return false;
        }
        if (plain != 0 && out) out->push_back(plain);
        run = p_;
        continue;
      }
      if (c < 0x20) return false;  // control characters must be escaped
      if (c < 0x80) {
        ++p_;
        continue;
      }
      const std::size_t n = utf8_length();
      if (n == 0) return false;
      p_ += n;
    }
    return false;
  }

  // A key without escapes (a key with one is declined rather than decoded).
  bool read_key(std::string_view& key) {
    if (!consume('"')) return false;
    const char* start = p_;
    while (p_ < end_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        key = std::string_view(start, static_cast<std::size_t>(p_ - start));
        ++p_;
        return true;
      }
      if (c == '\\' || c < 0x20) return false;
      if (c < 0x80) {
        ++p_;
      } else {
        const std::size_t n = utf8_length();
        if (n == 0) return false;
        p_ += n;
      }
    }
    return false;
  }

  // A number without exponent and of modest length: one that can neither overflow nor round
  // differently matters to nobody here, but an exponent could overflow, which the full parse
  // reports as an error.
  bool skip_number() {
    const char* start = p_;
    const auto digit = [&] { return p_ < end_ && *p_ >= '0' && *p_ <= '9'; };
    if (p_ < end_ && *p_ == '-') ++p_;
    if (!digit()) return false;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (digit()) ++p_;
    }
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      if (!digit()) return false;
      while (digit()) ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) return false;
    return p_ - start <= 64;
  }

  bool skip_value(int depth) {
    if (depth > kMaxDepth) return false;
    skip_ws();
    if (p_ == end_) return false;
    switch (*p_) {
      case '"':
        return read_string(nullptr);
      case 't':
        return consume_literal("true");
      case 'f':
        return consume_literal("false");
      case 'n':
        return consume_literal("null");
      case '{': {
        ++p_;
        if (consume('}')) return true;
        do {
          if (!read_string(nullptr) || !consume(':') || !skip_value(depth + 1)) return false;
        } while (consume(','));
        return consume('}');
      }
      case '[': {
        ++p_;
        if (consume(']')) return true;
        do {
          if (!skip_value(depth + 1)) return false;
        } while (consume(','));
        return consume(']');
      }
      default:
        return skip_number();
    }
  }

  // A string, or null for none; `seen` guards against duplicate keys.
  bool read_optional_string(std::string& out, bool& seen, bool& is_string) {
    if (seen) return false;
    seen = true;
    if (peek('"')) {
      is_string = true;
      return read_string(&out);
    }
    return consume_literal("null");
  }

  bool read_choices(ChunkDelta& out) {
    if (!consume('[') || !peek('{')) return false;  // empty choices or an odd first choice
    ++p_;
    bool seen_delta = false;
    bool seen_finish = false;
    bool finish_is_string = false;
    if (!consume('}')) {
      do {
        std::string_view key;
        if (!read_key(key) || !consume(':')) return false;
        if (key == "message") return false;  // a complete answer: the full parse reads it
        if (key == "delta") {
          if (seen_delta || !read_delta(out)) return false;
          seen_delta = true;
        } else if (key == "finish_reason") {
          if (!read_optional_string(out.finish_reason, seen_finish, finish_is_string)) {
            return false;
          }
        } else if (!skip_value(1)) {
          return false;
        }
      } while (consume(','));
      if (!consume('}')) return false;
    }
    while (consume(',')) {
      if (!skip_value(1)) return false;  // only the first choice is read
    }
    return consume(']');
  }

  bool read_delta(ChunkDelta& out) {
    if (!consume('{')) return false;
    if (consume('}')) return true;
    bool seen_content = false, seen_rc = false, seen_r = false;
    bool content_str = false, rc_str = false, r_str = false;
    std::string reasoning;
    do {
      std::string_view key;
      if (!read_key(key) || !consume(':')) return false;
      bool ok = true;
      if (key == "content") {
        ok = read_optional_string(out.content, seen_content, content_str);
      } else if (key == "reasoning_content") {
        ok = read_optional_string(out.reasoning, seen_rc, rc_str);
      } else if (key == "reasoning") {
        ok = read_optional_string(reasoning, seen_r, r_str);
      } else if (key == "tool_calls") {
        ok = consume_literal("null");
      } else {
        ok = skip_value(2);
      }
      if (!ok) return false;
    } while (consume(','));
    if (!rc_str && r_str) out.reasoning = std::move(reasoning);
    return consume('}');
  }

  const char* p_;
  const char* end_;
};

}  // namespace

namespace detail {

bool decode_chunk_fast(std::string_view trimmed, ChunkDelta& out) {
  ChunkDelta d;
  if (!ChunkScanner(trimmed).decode(d)) return false;
  out = std::move(d);
  return true;
}

}  // namespace detail

}  // namespace orvo::agent
