// What every lexer shares: byte classes, the token emitter, word tables and string scanning.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.hpp"
#include "tui/framework/highlight/highlight.hpp"

namespace orvo::tui::lex {

using K = TokenKind;

// ---- bytes

inline constexpr std::uint8_t kBlank = 1, kIdStart = 2, kIdPart = 4, kDigit = 8, kOp = 16,
                              kHex = 32;

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    std::uint8_t v = 0;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') v |= kBlank;
    // Bytes of multi-byte characters count as letters: identifiers in any script, and a UTF-8
    // sequence (valid or not) is never cut between two tokens.
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80) {
      v |= kIdStart | kIdPart;
    }
    if (c >= '0' && c <= '9') v |= kDigit | kIdPart | kHex;
    if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) v |= kHex;
    for (char o : std::string_view("!%&*+-/<=>?^|~:;,.()[]")) {
      if (c == static_cast<unsigned char>(o)) v |= kOp;
    }
    t[static_cast<std::size_t>(c)] = v;
  }
  return t;
}
inline constexpr auto kClass = make_classes();

inline bool is(char c, std::uint8_t cls) {
  return (kClass[static_cast<unsigned char>(c)] & cls) != 0;
}
inline char lower_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
inline bool is_upper(char c) {
  return c >= 'A' && c <= 'Z';
}
inline bool is_lower(char c) {
  return c >= 'a' && c <= 'z';
}

inline std::size_t skip_blanks(std::string_view s, std::size_t i) {
  while (i < s.size() && is(s[i], kBlank)) ++i;
  return i;
}
inline std::size_t ident_end(std::string_view s, std::size_t i, bool dollar = false) {
  while (i < s.size() && (is(s[i], kIdPart) || (dollar && s[i] == '$'))) ++i;
  return i;
}

// Appends tokens to one line; neighbours of one kind merge, empty ranges are dropped. Callers
// hand over consecutive ranges, so the tokens tile the line.
class Emit {
 public:
  explicit Emit(CodeLine& line) : toks_(line.tokens) { toks_.clear(); }
  void operator()(std::size_t from, std::size_t to, K kind) {
    if (to <= from) return;
    const auto len = static_cast<std::uint32_t>(to - from);
    if (!toks_.empty() && toks_.back().kind == kind) {
      toks_.back().length += len;
    } else {
      toks_.push_back({static_cast<std::uint32_t>(from), len, kind});
    }
  }

 private:
  std::vector<CodeToken>& toks_;
};

// ---- word tables

// Open addressing over the words of a few space-separated lists; built once per language.
class Words {
 public:
  void add(std::string_view list, K kind) {
    std::size_t i = 0;
    while (i < list.size()) {
      while (i < list.size() && list[i] == ' ') ++i;
      std::size_t j = i;
      while (j < list.size() && list[j] != ' ') ++j;
      if (j > i) insert(list.substr(i, j - i), kind);
      i = j;
    }
  }
  // The kind of `w`, or Plain.
  K find(std::string_view w) const {
    if (w.empty() || w.size() > kMaxWord || used_ == 0) return K::Plain;
    for (std::size_t h = hash(w) & kMask;; h = (h + 1) & kMask) {
      const Slot& s = slots_[h];
      if (s.word.empty()) return K::Plain;
      if (s.word == w) return s.kind;
    }
  }
  static constexpr std::size_t kMaxWord = 32;

 private:
  static constexpr std::size_t kSize = 1024;
  static constexpr std::size_t kMask = kSize - 1;
  struct Slot {
    std::string_view word;
    K kind = K::Plain;
  };
  static std::size_t hash(std::string_view w) {
    std::uint32_t h = 2166136261u;
    for (char c : w) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return h;
  }
  void insert(std::string_view w, K kind) {
    if (used_ + 1 >= kSize / 2) return;  // tables stay sparse; our lists are far smaller
    for (std::size_t h = hash(w) & kMask;; h = (h + 1) & kMask) {
      Slot& s = slots_[h];
      if (s.word.empty()) {
        s = {w, kind};
        ++used_;
        return;
      }
      if (s.word == w) return;  // the first list naming a word wins
    }
  }
  std::array<Slot, kSize> slots_{};
  std::size_t used_ = 0;
};

// ---- strings (shared by the lexers)

// Scans string text from `i` up to and including `close`, showing backslash escapes as Escape
// when `escapes` is set. Returns the end; `closed` tells whether `close` was found on this line.
inline std::size_t scan_string(std::string_view s, std::size_t i, std::string_view close,
                               bool escapes, Emit& emit, bool& closed, K kind = K::String) {
  std::size_t from = i;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\\' && escapes) {
      emit(from, i, kind);
      std::size_t e = i + 1;
      if (e < s.size()) {
        const char x = s[e++];
        if (x == 'x' || x == 'u' || x == 'U') {
          const std::size_t limit = std::min(s.size(), e + 10);
          while (e < limit && (is(s[e], kHex) || s[e] == '{' || s[e] == '}')) ++e;
        } else if (static_cast<unsigned char>(x) >= 0x80) {
          e = text::char_start_from(s, e);
        }
      }
      emit(i, e, K::Escape);
      i = from = e;
      continue;
    }
    if (c == close[0] && s.substr(i, close.size()) == close) {
      emit(from, i + close.size(), kind);
      closed = true;
      return i + close.size();
    }
    ++i;
  }
  emit(from, i, kind);
  closed = false;
  return i;
}

}  // namespace orvo::tui::lex
