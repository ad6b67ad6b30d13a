#include "agent/chat_stream.hpp"

#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "common/utf8.hpp"

namespace orvo::agent {

namespace {

using nlohmann::json;

const std::string* string_at(const json& obj, const char* key) {
  const auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return nullptr;
  return &it->get_ref<const std::string&>();
}

// --- lone surrogates -------------------------------------------------------------------------
//
// The JSON library refuses a string with a lone surrogate escape, so before it parses an event
// that has one, each such escape is rewritten as two escapes it accepts: the noncharacter U+FDD0
// as a marker, then U+E000 plus the surrogate's offset from U+D800. A U+FDD0 the server really
// sent is rewritten as the marker followed by U+E800, so every marker after the parse is ours.

int hex4(std::string_view s, std::size_t i) {
  if (i + 4 > s.size()) return -1;
  int v = 0;
  for (std::size_t k = i; k < i + 4; ++k) {
    const char c = s[k];
    v <<= 4;
    if (c >= '0' && c <= '9') {
      v |= c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v |= c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v |= c - 'A' + 10;
    } else {
      return -1;
    }
  }
  return v;
}

constexpr int kLiteralMarker = 0xE800;

void append_marker(std::string& out, int code) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\ufdd0\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(code >> shift) & 0xF]);
}

// Writes the rewritten text to `out` and returns true when `s` has a lone surrogate escape inside
// a string; returns false (`out` unspecified) when there is none and `s` can be parsed as it is.
bool mark_lone_surrogates(std::string_view s, std::string& out) {
  if (s.find("\\u") == std::string_view::npos) return false;
  bool any = false;
  bool in_string = false;
  out.clear();
  out.reserve(s.size() + 32);
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (!in_string || c == '"') {
      if (c == '"') in_string = !in_string;
      out.push_back(c);
      ++i;
      continue;
    }
    if (c == '\\' && i + 1 < s.size()) {
      if (s[i + 1] == 'u') {
        const int v = hex4(s, i + 2);
        if (v >= 0xD800 && v <= 0xDBFF && i + 7 < s.size() && s[i + 6] == '\\' && s[i + 7] == 'u') {
          const int lo = hex4(s, i + 8);
          if (lo >= 0xDC00 && lo <= 0xDFFF) {
            out.append(s.substr(i, 12));
            i += 12;
            continue;
          }
        }
        if (v >= 0xD800 && v <= 0xDFFF) {
          any = true;
          append_marker(out, 0xE000 + (v - 0xD800));
          i += 6;
          continue;
        }
        if (v == 0xFDD0) {
          append_marker(out, kLiteralMarker);
          i += 6;
          continue;
        }
      }
      out.append(s.substr(i, 2));
      i += 2;
      continue;
    }
    if (c == '\xEF' && s.substr(i, 3) == "\xEF\xB7\x90") {
      append_marker(out, kLiteralMarker);
      i += 3;
      continue;
    }
    out.push_back(c);
    ++i;
  }
  return any;
}

// Turns the markers of a parsed string back: a lone surrogate into its three-byte form, a marked
// U+FDD0 into itself.
void unmark(std::string& s) {
  static constexpr std::string_view kMarker = "\xEF\xB7\x90";
  std::size_t at = s.find(kMarker);
  if (at == std::string::npos) return;
  std::string out;
  out.reserve(s.size());
  std::size_t from = 0;
  while (at != std::string::npos) {
    out.append(s, from, at - from);
    std::size_t next = at + 3;
    std::size_t pos = next;
    const char32_t code = pos < s.size() ? text::decode(s, pos) : 0;
    if (code >= 0xE000 && code < 0xE800) {
      const char32_t u = 0xD800 + (code - 0xE000);
      out.push_back('\xED');
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
      next = pos;
    } else {
      out.append(kMarker);
      if (code == kLiteralMarker) next = pos;
    }
    from = next;
    at = s.find(kMarker, from);
  }
  out.append(s, from, std::string::npos);
  s = std::move(out);
}

// A field that is not text the model streams: lone surrogates become U+FFFD.
void unmark_whole(std::string& s) {
  unmark(s);
  if (s.find('\xED') == std::string::npos) return;
  SurrogateJoiner j;
  std::string joined = j.join(s);
  joined += j.finish();
  s = std::move(joined);
}

std::string error_text(const json& err) {
  if (err.is_string()) return err.get<std::string>();
  if (err.is_object()) {
    if (const auto* m = string_at(err, "message")) return *m;
  }
  return err.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Deepest nesting of arrays and objects in JSON text (strings skipped), stopping once past
// `limit`. Writing a value back out (an error object, arguments sent as an object) recurses once
// per level, so a server must not be able to make that recursion as deep as its event is long.
int nesting_depth(std::string_view s, int limit) {
  int depth = 0, deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) break;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// Far deeper than any chunk a server sends, far shallower than what could exhaust a stack.
constexpr int kMaxNesting = 256;

}  // namespace

namespace detail {

ChunkDelta decode_parsed(std::string_view trimmed);

ChunkDelta decode_chunk_full(std::string_view trimmed) {
  ChunkDelta out;
  if (nesting_depth(trimmed, kMaxNesting) > kMaxNesting) {
    out.malformed = "nested too deeply";
    return out;
  }
  std::string marked_text;
  const bool marked = mark_lone_surrogates(trimmed, marked_text);
  if (marked) trimmed = marked_text;
  out = decode_parsed(trimmed);
  if (marked) {
    unmark(out.reasoning);
    unmark(out.content);
    unmark_whole(out.finish_reason);
    unmark_whole(out.error);
    unmark_whole(out.malformed);
    for (auto& t : out.tool_calls) {
      unmark(t.arguments);
      unmark_whole(t.id);
      unmark_whole(t.name);
    }
  }
  return out;
}

ChunkDelta decode_parsed(std::string_view trimmed) {
  ChunkDelta out;
  json j = json::parse(trimmed.begin(), trimmed.end(), nullptr, false);
  if (j.is_discarded()) {
    out.malformed = "not JSON";
    return out;
  }
  if (!j.is_object()) {
    out.malformed = "not a JSON object";
    return out;
  }
  if (const auto it = j.find("error"); it != j.end() && !it->is_null()) {
    out.error = error_text(*it);
    return out;
  }
  if (const auto it = j.find("usage"); it != j.end() && it->is_object()) {
    Usage u;
    if (const auto p = it->find("prompt_tokens"); p != it->end() && p->is_number_integer()) {
      u.prompt_tokens = p->get<std::int64_t>();
    }
    if (const auto c = it->find("completion_tokens"); c != it->end() && c->is_number_integer()) {
      u.completion_tokens = c->get<std::int64_t>();
    }
    out.usage = u;
  }
  const auto choices = j.find("choices");
  if (choices == j.end() || !choices->is_array()) {
    if (!out.usage) out.malformed = "no choices";
    return out;
  }
  if (choices->empty()) return out;  // the final usage chunk
  const json& choice = choices->front();
  if (!choice.is_object()) {
    out.malformed = "choice is not an object";
    return out;
  }
  if (const auto* f = string_at(choice, "finish_reason")) out.finish_reason = *f;
  auto delta_it = choice.find("delta");
  // A complete answer carries the whole message where a stream carries a delta.
  if (delta_it == choice.end() || !delta_it->is_object()) delta_it = choice.find("message");
  if (delta_it == choice.end() || !delta_it->is_object()) return out;
  const json& delta = *delta_it;
  if (const auto* r = string_at(delta, "reasoning_content")) {
    out.reasoning = *r;
  } else if (const auto* r2 = string_at(delta, "reasoning")) {
    out.reasoning = *r2;
  }
  if (const auto* c = string_at(delta, "content")) out.content = *c;
  if (const auto tc = delta.find("tool_calls"); tc != delta.end() && tc->is_array()) {
    for (const auto& call : *tc) {
      if (!call.is_object()) continue;
      ToolCallDelta d;
      if (const auto i = call.find("index"); i != call.end() && i->is_number_integer()) {
        d.index = static_cast<int>(std::clamp<std::int64_t>(i->get<std::int64_t>(), -1, 1 << 20));
      }
      if (const auto* id = string_at(call, "id")) d.id = *id;
      if (const auto fn = call.find("function"); fn != call.end() && fn->is_object()) {
        if (const auto* n = string_at(*fn, "name")) d.name = *n;
        if (const auto a = fn->find("arguments"); a != fn->end()) {
          // Some servers send the arguments as an object rather than a JSON string.
          if (a->is_string()) {
            d.arguments = a->get<std::string>();
          } else if (!a->is_null()) {
            d.arguments = a->dump(-1, ' ', false, json::error_handler_t::replace);
          }
        }
      }
      out.tool_calls.push_back(std::move(d));
    }
  }
  return out;
}

}  // namespace detail

ChunkDelta decode_chunk(std::string_view data) {
  std::string_view trimmed = data;
  while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\n')) {
    trimmed.remove_prefix(1);
  }
  while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\n')) {
    trimmed.remove_suffix(1);
  }
  ChunkDelta out;
  if (trimmed == "[DONE]") {
    out.done = true;
    return out;
  }
  if (detail::decode_chunk_fast(trimmed, out)) return out;
  return detail::decode_chunk_full(trimmed);
}

namespace {

// The surrogate whose three-byte form starts at `k`, or 0.
char16_t surrogate_at(std::string_view s, std::size_t k) {
  if (k + 3 > s.size() || s[k] != '\xED') return 0;
  const auto b1 = static_cast<unsigned char>(s[k + 1]);
  const auto b2 = static_cast<unsigned char>(s[k + 2]);
  if (b1 < 0xA0 || b1 > 0xBF || b2 < 0x80 || b2 > 0xBF) return 0;
  return static_cast<char16_t>(0xD000 | ((b1 & 0x3F) << 6) | (b2 & 0x3F));
}

bool is_high(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool is_low(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

char32_t pair(char16_t hi, char16_t lo) {
  return 0x10000 + ((static_cast<char32_t>(hi) - 0xD800) << 10) + (lo - 0xDC00);
}

}  // namespace

std::string SurrogateJoiner::join(std::string_view piece) {
  std::string out;
  if (piece.empty()) return out;
  out.reserve(piece.size() + 4);
  std::size_t i = 0;
  if (pending_ != 0) {
    const char16_t lo = surrogate_at(piece, 0);
    if (is_low(lo)) {
      text::encode(pair(pending_, lo), out);
      i = 3;
    } else {
      text::encode(text::kReplacement, out);
    }
    pending_ = 0;
  }
  while (i < piece.size()) {
    const void* hit = std::memchr(piece.data() + i, '\xED', piece.size() - i);
    const std::size_t k =
        hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - piece.data()) : piece.size();
    out.append(piece.substr(i, k - i));
    if (k == piece.size()) break;
    const char16_t u = surrogate_at(piece, k);
    if (u == 0) {
      out.push_back(piece[k]);  // a Hangul syllable or the like, not a surrogate
      i = k + 1;
      continue;
    }
    i = k + 3;
    if (is_high(u)) {
      const char16_t lo = surrogate_at(piece, i);
      if (is_low(lo)) {
        text::encode(pair(u, lo), out);
        i += 3;
        continue;
      }
      if (i == piece.size()) {
        pending_ = u;  // its other half may start the next piece
        break;
      }
    }
    text::encode(text::kReplacement, out);
  }
  return out;
}

std::string SurrogateJoiner::finish() {
  std::string out;
  if (pending_ != 0) text::encode(text::kReplacement, out);
  pending_ = 0;
  return out;
}

namespace {

void join_field(SurrogateJoiner& j, std::string& s) {
  if (s.empty() || (!j.pending() && s.find('\xED') == std::string::npos)) return;
  s = j.join(s);
}

}  // namespace

ChunkDelta StreamDecoder::decode(std::string_view data) {
  ChunkDelta d = decode_chunk(data);
  join_field(reasoning_, d.reasoning);
  join_field(content_, d.content);
  for (auto& t : d.tool_calls) {
    if (t.arguments.empty()) continue;
    const auto it = arguments_.find(t.index);
    if (it == arguments_.end() && t.arguments.find('\xED') == std::string::npos) continue;
    SurrogateJoiner& j = it != arguments_.end() ? it->second : arguments_[t.index];
    join_field(j, t.arguments);
    if (!j.pending()) arguments_.erase(t.index);
  }
  return d;
}

ChunkDelta StreamDecoder::finish() {
  ChunkDelta d;
  d.reasoning = reasoning_.finish();
  d.content = content_.finish();
  for (auto& [index, j] : arguments_) {
    ToolCallDelta t;
    t.index = index;
    t.arguments = j.finish();
    d.tool_calls.push_back(std::move(t));
  }
  arguments_.clear();
  return d;
}

void ToolCallAssembler::add(const ToolCallDelta& d) {
  Slot* slot = nullptr;
  if (d.index >= 0) {
    for (auto& s : calls_) {
      if (s.index == d.index) slot = &s;
    }
  } else if (!calls_.empty() && d.id.empty() && d.name.empty()) {
    slot = &calls_.back();
  }
  if (slot == nullptr) {
    int index = d.index;
    if (index < 0) {
      index = 0;
      for (const auto& s : calls_) index = std::max(index, s.index + 1);
    }
    calls_.push_back({index, {}});
    slot = &calls_.back();
  }
  if (!d.id.empty()) slot->call.id = d.id;
  // A server that repeats the name in every fragment must not make it "bashbash".
  if (slot->call.name != d.name) slot->call.name += d.name;
  slot->call.arguments += d.arguments;
}

std::vector<ToolCall> ToolCallAssembler::take() {
  std::stable_sort(calls_.begin(), calls_.end(),
                   [](const Slot& a, const Slot& b) { return a.index < b.index; });
  std::vector<ToolCall> out;
  out.reserve(calls_.size());
  int n = 0;
  for (auto& s : calls_) {
    if (s.call.id.empty()) s.call.id = "call_" + std::to_string(n);
    ++n;
    out.push_back(std::move(s.call));
  }
  calls_.clear();
  return out;
}

}  // namespace orvo::agent
