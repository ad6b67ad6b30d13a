#include "agent/glob.hpp"

#include <string>
#include <vector>

namespace orvo::agent {
namespace {

// Expands the first {a,b} group (recursively), bounded so a hostile pattern cannot explode:
// at most 257 alternatives, and `budget` bytes of pattern copied in all (nested or comma-heavy
// groups in a long pattern would otherwise copy it once per level or per comma). A pattern that
// runs out of budget is left with fewer alternatives, possibly none.
void expand_braces(const std::string& p, std::vector<std::string>& out, long& budget) {
  budget -= static_cast<long>(p.size()) + 1;
  if (out.size() > 256 || budget < 0) return;
  const auto open = p.find('{');
  if (open == std::string::npos) {
    out.push_back(p);
    return;
  }
  int depth = 0;
  std::vector<std::size_t> commas;
  std::size_t close = std::string::npos;
  for (std::size_t i = open; i < p.size(); ++i) {
    if (p[i] == '{') ++depth;
    if (p[i] == '}' && --depth == 0) {
      close = i;
      break;
    }
    if (p[i] == ',' && depth == 1) commas.push_back(i);
  }
  if (close == std::string::npos) {
    out.push_back(p);
    return;
  }
  std::size_t start = open + 1;
  commas.push_back(close);
  for (const auto c : commas) {
    if (out.size() > 256 || budget < 0) return;
    expand_braces(p.substr(0, open) + p.substr(start, c - start) + p.substr(close + 1), out,
                  budget);
    start = c + 1;
  }
}

// Reading the class is paid from `budget` too: a long class after a star is read once per try.
bool match_class(std::string_view pat, std::size_t& pi, char c, long& budget) {
  // pat[pi] == '['
  std::size_t i = pi + 1;
  bool negate = false;
  if (i < pat.size() && (pat[i] == '!' || pat[i] == '^')) {
    negate = true;
    ++i;
  }
  bool hit = false;
  bool first = true;
  while (i < pat.size() && (pat[i] != ']' || first)) {
    first = false;
    if (i + 2 < pat.size() && pat[i + 1] == '-' && pat[i + 2] != ']') {
      if (pat[i] <= c && c <= pat[i + 2]) hit = true;
      i += 3;
    } else {
      if (pat[i] == c) hit = true;
      ++i;
    }
  }
  budget -= static_cast<long>(i - pi);
  if (i >= pat.size()) return false;  // unterminated: treat as no match
  pi = i + 1;
  return hit != negate;
}

// `budget` is shared by the whole match and pays for every step, so neither many stars
// (exponential) nor one star before a long literal (quadratic) can make a match slow.
bool match_here(std::string_view pat, std::string_view s, long& budget) {
  if (--budget <= 0) return false;
  std::size_t pi = 0, si = 0;
  while (pi < pat.size()) {
    if (--budget <= 0) return false;
    const char c = pat[pi];
    if (c == '*') {
      const bool dbl = pi + 1 < pat.size() && pat[pi + 1] == '*';
      if (dbl) {
        std::size_t rest = pi + 2;
        if (rest < pat.size() && pat[rest] == '/') {
          // "**/" matches zero or more whole components.
          if (match_here(pat.substr(rest + 1), s.substr(si), budget)) return true;
          for (std::size_t k = si; k < s.size(); ++k) {
            if (--budget <= 0) return false;
            if (s[k] == '/' && match_here(pat.substr(rest + 1), s.substr(k + 1), budget)) {
              return true;
            }
          }
          return false;
        }
        for (std::size_t k = si; k <= s.size(); ++k) {
          if (match_here(pat.substr(rest), s.substr(k), budget)) return true;
        }
        return false;
      }
      for (std::size_t k = si; k <= s.size(); ++k) {
        if (match_here(pat.substr(pi + 1), s.substr(k), budget)) return true;
        if (k < s.size() && s[k] == '/') break;
      }
      return false;
    }
    if (si >= s.size()) return false;
    if (c == '?') {
      if (s[si] == '/') return false;
      ++pi;
      ++si;
    } else if (c == '[') {
      if (s[si] == '/' || !match_class(pat, pi, s[si], budget)) return false;
      ++si;
    } else {
      if (c == '\\' && pi + 1 < pat.size()) ++pi;
      if (pat[pi] != s[si]) return false;
      ++pi;
      ++si;
    }
  }
  return si == s.size();
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view path) {
  std::vector<std::string> alts;
  long expand_budget = 1L << 20;
  expand_braces(std::string(pattern), alts, expand_budget);
  // One budget for all alternatives: a path of a few thousand bytes needs a small part of it.
  long budget = 1L << 20;
  for (const auto& a : alts) {
    if (match_here(a, path, budget)) return true;
  }
  return false;
}

}  // namespace orvo::agent
