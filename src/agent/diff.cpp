#include "agent/diff.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace orvo::agent {

namespace {

struct Line {
  std::string_view text;  // without its "\n"
  bool newline;           // false only for a last line without one
  bool operator==(const Line& o) const { return text == o.text && newline == o.newline; }
};

std::vector<Line> lines_of(std::string_view s) {
  std::vector<Line> out;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const auto nl = s.find('\n', pos);
    if (nl == std::string_view::npos) {
      out.push_back({s.substr(pos), false});
      break;
    }
    out.push_back({s.substr(pos, nl - pos), true});
    pos = nl + 1;
  }
  return out;
}

enum class Op : std::uint8_t { keep, del, add };
struct Edit {
  Op op;
  std::size_t a, b;  // line index in before / after
};

// Common prefix and suffix are matched directly; the middle by a longest common subsequence
// when it is small enough, else replaced as one block (big rewrites still give a valid diff).
std::vector<Edit> script(const std::vector<Line>& a, const std::vector<Line>& b) {
  std::size_t pre = 0;
  while (pre < a.size() && pre < b.size() && a[pre] == b[pre]) ++pre;
  std::size_t suf = 0;
  while (suf < a.size() - pre && suf < b.size() - pre &&
         a[a.size() - 1 - suf] == b[b.size() - 1 - suf]) {
    ++suf;
  }
  std::vector<Edit> out;
  for (std::size_t i = 0; i < pre; ++i) out.push_back({Op::keep, i, i});
  const std::size_t n = a.size() - pre - suf, m = b.size() - pre - suf;
  if (n * m <= 4'000'000) {
    std::vector<std::uint32_t> dp((n + 1) * (m + 1), 0);
    auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& { return dp[i * (m + 1) + j]; };
    for (std::size_t i = n; i-- > 0;) {
      for (std::size_t j = m; j-- > 0;) {
        at(i, j) =
            a[pre + i] == b[pre + j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
      }
    }
    std::size_t i = 0, j = 0;
    while (i < n || j < m) {
      if (i < n && j < m && a[pre + i] == b[pre + j]) {
        out.push_back({Op::keep, pre + i++, pre + j++});
      } else if (j < m && (i == n || at(i, j + 1) > at(i + 1, j))) {
        out.push_back({Op::add, pre + i, pre + j++});
      } else {
        out.push_back({Op::del, pre + i++, pre + j});
      }
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) out.push_back({Op::del, pre + i, pre});
    for (std::size_t j = 0; j < m; ++j) out.push_back({Op::add, pre + n, pre + j});
  }
  for (std::size_t k = 0; k < suf; ++k) {
    out.push_back({Op::keep, a.size() - suf + k, b.size() - suf + k});
  }
  return out;
}

void put_line(std::string& out, char mark, const Line& l) {
  out.push_back(mark);
  out.append(l.text);
  out.push_back('\n');
  if (!l.newline) out.append("\\ No newline at end of file\n");
}

}  // namespace

std::string unified_diff(std::string_view path, std::string_view before, std::string_view after,
                         int context) {
  if (before == after) return {};
  const auto a = lines_of(before);
  const auto b = lines_of(after);
  const auto ed = script(a, b);
  const std::size_t ctx = static_cast<std::size_t>(std::max(context, 0));
  std::string out = "--- a/" + std::string(path) + "\n+++ b/" + std::string(path) + "\n";
  std::size_t k = 0;
  while (k < ed.size()) {
    while (k < ed.size() && ed[k].op == Op::keep) ++k;
    if (k == ed.size()) break;
    // A hunk: from ctx lines before this change to ctx lines after the last change that is at
    // most 2*ctx unchanged lines from the next.
    const std::size_t start = k >= ctx ? k - ctx : 0;
    std::size_t end = k;
    while (true) {
      while (end < ed.size() && ed[end].op != Op::keep) ++end;
      std::size_t run = end;
      while (run < ed.size() && ed[run].op == Op::keep) ++run;
      if (run < ed.size() && run - end <= 2 * ctx) {
        end = run;
        continue;
      }
      end = std::min(ed.size(), end + ctx);
      break;
    }
    std::size_t na = 0, nb = 0;
    for (std::size_t i = start; i < end; ++i) {
      if (ed[i].op != Op::add) ++na;
      if (ed[i].op != Op::del) ++nb;
    }
    const std::size_t la = na ? ed[start].a + 1 : ed[start].a;
    const std::size_t lb = nb ? ed[start].b + 1 : ed[start].b;
    out += "@@ -" + std::to_string(la) + "," + std::to_string(na) + " +" + std::to_string(lb) +
           "," + std::to_string(nb) + " @@\n";
    for (std::size_t i = start; i < end; ++i) {
      switch (ed[i].op) {
        case Op::keep:
          put_line(out, ' ', a[ed[i].a]);
          break;
        case Op::del:
          put_line(out, '-', a[ed[i].a]);
          break;
        case Op::add:
          put_line(out, '+', b[ed[i].b]);
          break;
      }
    }
    k = end;
  }
  return out;
}

}  // namespace orvo::agent
