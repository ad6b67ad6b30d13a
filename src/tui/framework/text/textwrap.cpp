// The greedy word wrapper declared in tui/framework/text/textwrap.hpp. Chunking follows Python
// textwrap's word-separator rules exactly (whitespace runs, words, hyphenated-word pieces,
// em-dashes), so the rows match textwrap.wrap for the same text, width and indents.
#include <utf8proc.h>
#include <cstring>
#include <stdexcept>

#include "common/utf8.hpp"
#include "tui/framework/text/textwrap.hpp"

namespace orvo::tui {
namespace {

constexpr unsigned char kWord = 1, kDigit = 2, kPunct = 4;

// Character classes of the chunker: \w (word), \d (decimal digit), and the punctuation that may
// precede an em-dash. "letter" is a word character that is not a digit.
struct Classes {
  unsigned char ascii[128] = {};
  constexpr Classes() {
    for (int c = 0; c < 128; ++c) {
      const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
      const bool digit = c >= '0' && c <= '9';
      unsigned char v = 0;
      if (alpha || digit) v |= kWord;
      if (digit) v |= kDigit;
      if (alpha || digit || c == '!' || c == '"' || c == '\'' || c == '&' || c == '.' || c == ',' ||
          c == '?')
        v |= kPunct;
      ascii[c] = v;
    }
  }
};
constexpr Classes kClasses;

unsigned char classify(char32_t cp) {
  if (cp < 128) return kClasses.ascii[cp];
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
      return kWord | kPunct;
    case UTF8PROC_CATEGORY_ND:
      return kWord | kDigit | kPunct;
    default:
      return 0;
  }
}

// Text as code points: the munged bytes directly when they are all ASCII, decoded otherwise.
struct AsciiText {
  std::string_view s;
  std::size_t size() const { return s.size(); }
  char32_t at(std::size_t i) const { return static_cast<unsigned char>(s[i]); }
  std::size_t offset(std::size_t i) const { return i; }
  unsigned char cls(std::size_t i) const {
    return kClasses.ascii[static_cast<unsigned char>(s[i])];
  }
};

struct WideText {
  std::vector<char32_t> cps;
  std::vector<std::uint32_t> offs;  // byte offset of each code point, plus the end
  std::vector<unsigned char> classes;
  std::size_t size() const { return cps.size(); }
  char32_t at(std::size_t i) const { return cps[i]; }
  std::size_t offset(std::size_t i) const { return offs[i]; }
  unsigned char cls(std::size_t i) const { return classes[i]; }
};

template <class T>
class Wrapper {
 public:
  explicit Wrapper(const T& t) : t_(t), n_(t.size()) {}

  // End of the chunk that starts at p (Python's wordsep_re, matched at p).
  std::size_t chunk_end(std::size_t p) const {
    if (t_.at(p) == ' ') {
      std::size_t e = p + 1;
      while (e < n_ && t_.at(e) == ' ') ++e;
      return e;
    }
    if (t_.at(p) == '-' && p > 0 && punct(p - 1)) {  // em-dash between words
      std::size_t k = p;
      while (k < n_ && t_.at(k) == '-') ++k;
      if (k - p >= 2 && k < n_ && word(k)) return k;
    }
    // A word ends before a space or the end, after the hyphen of a hyphenated word, or before
    // an em-dash; only a '-' needs a closer look.
    for (std::size_t e = p + 1;; ++e) {
      if (e == n_) return e;
      const char32_t c = t_.at(e);
      if (c == ' ') return e;
      if (c != '-') continue;
      const bool before = (e >= 2 && letter(e - 2) && letter(e - 1)) ||
                          (e >= 3 && letter(e - 3) && t_.at(e - 2) == '-' && letter(e - 1));
      if (before && e + 1 < n_ && letter(e + 1) &&
          ((e + 2 < n_ && letter(e + 2)) || (e + 3 < n_ && t_.at(e + 2) == '-' && letter(e + 3))))
        return e + 1;
      if (e + 1 < n_ && t_.at(e + 1) == '-' && punct(e - 1)) {  // em-dash next
        std::size_t k = e + 2;
        while (k < n_ && t_.at(k) == '-') ++k;
        if (k < n_ && word(k)) return e;
      }
    }
  }

  // Python's str.strip() == '' for [a, b): empty or all whitespace.
  bool blank(std::size_t a, std::size_t b) const {
    for (std::size_t i = a; i < b; ++i)
      if (!text::is_space(t_.at(i))) return false;
    return true;
  }

  std::size_t rfind_hyphen(std::size_t a, std::size_t b) const {
    for (std::size_t i = b; i > a; --i)
      if (t_.at(i - 1) == '-') return i - 1 - a;
    return std::string::npos;
  }

  bool all_hyphens(std::size_t a, std::size_t b) const {
    for (std::size_t i = a; i < b; ++i)
      if (t_.at(i) != '-') return false;
    return true;
  }

  // Calls emit(first_row, a, b) for each row [a, b) of code points.
  template <class Emit>
  void run(long width, long init_len, long sub_len, Emit&& emit) {
    std::size_t fa = 0, fb = 0;  // front chunk [fa, fb); may become empty after a split
    bool have = n_ > 0;
    if (have) fb = chunk_end(0);
    auto advance = [&] {
      fa = fb;
      have = fa < n_;
      if (have) fb = chunk_end(fa);
    };
    long lines = 0;
    // advance() updates `have`; the checker does not look into the lambda.
    // NOLINTNEXTLINE(bugprone-infinite-loop)
    while (have) {
      const long w = width - (lines > 0 ? sub_len : init_len);
      if (lines > 0 && blank(fa, fb)) {
        advance();
        if (!have) break;
      }
      const std::size_t progress_mark = fa;
      const bool had_chunk = have;
      const std::size_t row_a = fa;
      long cur_len = 0;
      long pieces = 0;
      std::size_t last_a = fa, last_b = fa;
      // NOLINTNEXTLINE(bugprone-infinite-loop): advance() updates `have`
      while (have) {
        const long l = static_cast<long>(fb - fa);
        if (cur_len + l > w) break;
        ++pieces;
        last_a = fa;
        last_b = fb;
        cur_len += l;
        advance();
      }
      if (have && static_cast<long>(fb - fa) > w) {
        const long space_left = w < 1 ? 1 : w - cur_len;
        long end = space_left;
        const long len = static_cast<long>(fb - fa);
        if (len > space_left) {
          const std::size_t h = rfind_hyphen(fa, fa + static_cast<std::size_t>(space_left));
          if (h != std::string::npos && h > 0 && !all_hyphens(fa, fa + h))
            end = static_cast<long>(h) + 1;
        }
        if (end > len) end = len;
        ++pieces;
        last_a = fa;
        last_b = fa + static_cast<std::size_t>(end);
        fa = last_b;
      }
      std::size_t row_b = last_b;
      if (pieces > 0 && blank(last_a, last_b)) {
        --pieces;
        row_b = last_a;
      }
      if (pieces > 0) {
        emit(lines == 0, row_a, row_b);
        ++lines;
      } else if (had_chunk && have && fa == progress_mark) {
        // Nothing fits and nothing can be taken (an indent wider than the width before an
        // empty remainder): Python would loop forever here; stop instead.
        break;
      }
    }
  }

 private:
  bool word(std::size_t i) const { return (t_.cls(i) & kWord) != 0; }
  bool letter(std::size_t i) const { return (t_.cls(i) & (kWord | kDigit)) == kWord; }
  bool punct(std::size_t i) const { return (t_.cls(i) & kPunct) != 0; }

  const T& t_;
  std::size_t n_;
};

}  // namespace

std::vector<std::string> textwrap_wrap(std::string_view text, int width,
                                       std::string_view initial_indent,
                                       std::string_view subsequent_indent) {
  if (width <= 0) throw std::invalid_argument("wrap: width must be > 0");
  const long init_len = static_cast<long>(text::count_chars(initial_indent));
  const long sub_len = static_cast<long>(text::count_chars(subsequent_indent));
  std::vector<std::string> rows;
  std::string m;  // the munged text, when it differs from the input
  std::string_view view = text;
  auto run = [&](const auto& t) {
    Wrapper wrapper(t);
    wrapper.run(width, init_len, sub_len, [&](bool first, std::size_t a, std::size_t b) {
      const std::string_view indent = first ? initial_indent : subsequent_indent;
      const std::size_t oa = t.offset(a), ob = t.offset(b);
      std::string row;
      row.reserve(indent.size() + ob - oa);
      row += indent;
      row.append(view.data() + oa, ob - oa);
      rows.push_back(std::move(row));
    });
  };

  // Find the first byte that needs attention: a control (tabs and other whitespace) or non-ASCII.
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  auto special = [](unsigned char c) { return c < 0x20 || c >= 0x80; };
  std::size_t i = 0;
  {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    while (i + 8 <= n) {
      std::uint64_t x;
      std::memcpy(&x, p + i, 8);
      if ((((x - kOnes * 0x20) & ~x) | x) & kHigh) break;
      i += 8;
    }
    while (i < n && !special(p[i])) ++i;
  }
  bool ascii = true;
  if (i < n) {
    // ASCII with whitespace controls: expand tabs (the column restarts after LF and CR) and turn
    // LF, VT, FF, CR into spaces, copying the plain stretches in bulk.
    m.reserve(n + 16);
    std::size_t line_start = 0;  // in m
    std::size_t from = 0;
    for (; i < n; ++i) {
      const unsigned char c = p[i];
      if (!special(c)) continue;
      if (c >= 0x80) {
        ascii = false;
        break;
      }
      m.append(text.data() + from, i - from);
      from = i + 1;
      if (c == '\t') {
        m.append(8 - (m.size() - line_start) % 8, ' ');
      } else if (c == '\n' || c == '\r') {
        m += ' ';
        line_start = m.size();
      } else if (c == '\v' || c == '\f') {
        m += ' ';
      } else {
        m += static_cast<char>(c);  // other controls are ordinary characters here
      }
    }
    if (ascii) {
      m.append(text.data() + from, n - from);
      view = m;
    }
  }
  if (ascii) {
    run(AsciiText{view});
    return rows;
  }
  // Non-ASCII: tab columns must count code points exactly (invalid bytes count one each), so
  // munge again from the decoded text.
  WideText t;
  m.clear();
  std::size_t column = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t cp = text::decode(text, pos);
    auto push = [&](char32_t c, std::string_view bytes) {
      t.cps.push_back(c);
      t.offs.push_back(static_cast<std::uint32_t>(m.size()));
      t.classes.push_back(classify(c));
      m += bytes;
    };
    if (cp == '\t') {
      const std::size_t spaces = 8 - column % 8;
      for (std::size_t k = 0; k < spaces; ++k) push(' ', " ");
      column += spaces;
      continue;
    }
    if (cp == '\n' || cp == '\r' || cp == '\v' || cp == '\f') {
      push(' ', " ");
      column = (cp == '\n' || cp == '\r') ? 0 : column + 1;
      continue;
    }
    push(cp, text.substr(start, pos - start));
    ++column;
  }
  t.offs.push_back(static_cast<std::uint32_t>(m.size()));
  view = m;
  run(t);
  return rows;
}

}  // namespace orvo::tui
