// Console markup: "[bold red]text[/]". Anything that is not a valid tag stays literal text.
#include <vector>

#include "tui/framework/text/console.hpp"
#include "tui/framework/text/text.hpp"

namespace orvo::tui {

class MarkupParser {
 public:
  MarkupParser(std::string_view in, Text& out, const Theme* theme)
      : in_(in), t_(out), theme_(theme) {}

  void run() {
    std::size_t i = 0;
    const std::size_t n = in_.size();
    std::size_t lit = 0;  // start of pending literal text
    while (i < n) {
      const std::size_t k = in_.find('[', i);
      if (k == std::string_view::npos) break;
      // Backslashes right before "[": each pair is one literal backslash; an odd one left over
      // makes the "[" literal.
      std::size_t m = 0;
      while (k - m > lit && in_[k - m - 1] == '\\') ++m;
      if (m > 0) {
        literal(lit, k - m);
        t_.append(std::string(m / 2, '\\'));
        lit = k;
        if (m % 2 == 1) {
          i = k + 1;
          continue;
        }
      }
      // "[" at k: a tag when it closes before any other "[".
      const std::size_t close = in_.find_first_of("[]", k + 1);
      if (close == std::string_view::npos || in_[close] == '[') {
        i = k + 1;
        continue;
      }
      const std::string_view tag = in_.substr(k + 1, close - k - 1);
      if (apply_tag(tag, [&] { literal(lit, k); })) lit = close + 1;
      i = close + 1;
    }
    literal(lit, n);
    for (const Open& o : open_) t_.spans_[o.span].end = t_.plain_.size();
    std::erase_if(t_.spans_, [](const Span& s) { return s.start >= s.end; });
  }

 private:
  struct Open {
    std::string_view tag;
    std::size_t span;  // index of its span, filled in when it closes
  };

  static std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
  }

  void literal(std::size_t a, std::size_t b) {
    if (a < b) t_.append(in_.substr(a, b - a));
  }

  std::optional<Style> lookup(std::string_view name) const {
    if (theme_ != nullptr)
      if (const Style* s = theme_->get(name)) return *s;
    return Style::try_parse(name);
  }

  // Applies a tag; false when it is not a valid one (it then stays literal). `flush` writes the
  // literal text before the tag.
  template <class Flush>
  bool apply_tag(std::string_view tag, Flush&& flush) {
    tag = trim(tag);
    if (tag.empty()) return false;
    if (tag[0] == '/') {
      const std::string_view name = trim(tag.substr(1));
      if (open_.empty()) return false;
      std::size_t idx = open_.size() - 1;
      if (!name.empty()) {
        while (true) {
          if (open_[idx].tag == name) break;
          if (idx == 0) return false;
          --idx;
        }
      }
      flush();
      t_.spans_[open_[idx].span].end = t_.plain_.size();
      open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(idx));
      return true;
    }
    const std::optional<Style> style = lookup(tag);
    if (!style) return false;
    flush();
    // The span is placed now so that tags opened later (inner ones) win over outer ones.
    const std::size_t start = t_.plain_.size();
    t_.spans_.push_back({start, start, *style});
    open_.push_back({tag, t_.spans_.size() - 1});
    return true;
  }

  std::string_view in_;
  Text& t_;
  const Theme* theme_;
  std::vector<Open> open_;
};

Text Text::from_markup(std::string_view markup, Style base, const Theme* theme) {
  Text t;
  t.style_ = base;
  MarkupParser(markup, t, theme).run();
  return t;
}

Text render_markup(std::string_view markup, Style base, const Theme* theme) {
  return Text::from_markup(markup, base, theme);
}

std::string escape_markup(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  std::size_t backslashes = 0;  // run of backslashes just written
  for (const char c : text) {
    if (c == '[') {
      out.append(backslashes + 1, '\\');  // double the run, then escape the bracket
      out += '[';
      backslashes = 0;
      continue;
    }
    backslashes = c == '\\' ? backslashes + 1 : 0;
    out += c;
  }
  return out;
}

}  // namespace orvo::tui
