#include "tui/framework/markdown/html.hpp"

#include <algorithm>
#include <array>

#include "html/entities.hpp"
#include "html/text.hpp"

namespace orvo::tui::md {
namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// The lower-case name of the tag at `raw` ("<B class=x>" -> "b"), and whether it closes.
struct TagName {
  std::string name;
  bool closing = false;
};

TagName tag_name(std::string_view raw) {
  TagName t;
  std::size_t i = 1;
  if (i < raw.size() && raw[i] == '/') {
    t.closing = true;
    ++i;
  }
  while (i < raw.size() && !blank(raw[i]) && raw[i] != '>' && raw[i] != '/') {
    t.name += lower(raw[i++]);
  }
  return t;
}

std::uint16_t flag_of(std::string_view name) {
  struct Entry {
    std::string_view name;
    std::uint16_t flag;
  };
  static constexpr std::array<Entry, 14> kFlags = {{
      {"b", Strong},
      {"strong", Strong},
      {"i", Em},
      {"em", Em},
      {"cite", Em},
      {"var", Em},
      {"code", Code},
      {"kbd", Code},
      {"samp", Code},
      {"tt", Code},
      {"s", Strike},
      {"del", Strike},
      {"strike", Strike},
      {"u", Underline},
  }};
  for (const Entry& e : kFlags) {
    if (e.name == name) return e.flag;
  }
  return 0;
}

// The value of attribute `attr` in the tag `raw`, or "".
std::string attribute(std::string_view raw, std::string_view attr) {
  std::string low(raw);
  for (char& c : low) c = lower(c);
  std::size_t at = 0;
  while ((at = low.find(attr, at)) != std::string::npos) {
    const bool starts = at > 0 && blank(low[at - 1]);
    std::size_t j = at + attr.size();
    while (j < low.size() && blank(low[j])) ++j;
    if (!starts || j >= low.size() || low[j] != '=') {
      at += attr.size();
      continue;
    }
    ++j;
    while (j < raw.size() && blank(raw[j])) ++j;
    if (j >= raw.size()) return {};
    if (raw[j] == '"' || raw[j] == '\'') {
      const std::size_t end = raw.find(raw[j], j + 1);
      return std::string(raw.substr(j + 1, end == std::string_view::npos ? end : end - j - 1));
    }
    std::size_t end = j;
    while (end < raw.size() && !blank(raw[end]) && raw[end] != '>') ++end;
    return std::string(raw.substr(j, end - j));
  }
  return {};
}

// The end of the tag or comment starting at `i` (raw[i] == '<'), or npos when it is not one.
std::size_t markup_end(std::string_view s, std::size_t i) {
  if (s.substr(i, 4) == "<!--") {
    const std::size_t e = s.find("-->", i + 4);
    return e == std::string_view::npos ? s.size() : e + 3;
  }
  if (i + 1 >= s.size()) return std::string_view::npos;
  const char c = s[i + 1];
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (!letter && c != '/' && c != '!' && c != '?') return std::string_view::npos;
  char quote = 0;
  for (std::size_t j = i + 1; j < s.size(); ++j) {
    if (quote != 0) {
      if (s[j] == quote) quote = 0;
    } else if (s[j] == '"' || s[j] == '\'') {
      quote = s[j];
    } else if (s[j] == '>') {
      return j + 1;
    }
  }
  return std::string_view::npos;
}

// Runs with whitespace collapsed as a browser does; "\n" runs are line breaks.
class RunBuilder {
 public:
  void text(std::string_view s, std::uint16_t flags) {
    for (char c : s) {
      if (blank(c)) {
        space_ = !out_.empty() && out_.back().text != "\n";
        continue;
      }
      if (space_) {
        append(" ", flags);
        space_ = false;
      }
      append(std::string_view(&c, 1), flags);
    }
  }
  void line_break() {
    space_ = false;
    while (!out_.empty() && out_.back().text == " ") out_.pop_back();
    if (!out_.empty() && out_.back().text != "\n") out_.push_back({"\n", 0});
  }
  Inlines take() {
    while (!out_.empty() && out_.back().text == "\n") out_.pop_back();
    return std::move(out_);
  }

 private:
  void append(std::string_view s, std::uint16_t flags) {
    if (!out_.empty() && out_.back().flags == flags && out_.back().text != "\n") {
      out_.back().text.append(s);
    } else {
      out_.push_back({std::string(s), flags});
    }
  }
  Inlines out_;
  bool space_ = false;
};

}  // namespace

bool html_complete(std::string_view raw) {
  if (raw.starts_with("<!--")) return raw.find("-->", 4) != std::string_view::npos;
  return raw.ends_with('>');
}

HtmlTag inline_html(std::string_view raw) {
  HtmlTag t;
  if (raw.size() < 3 || raw[0] != '<' || raw[1] == '!' || raw[1] == '?') return t;
  const TagName n = tag_name(raw);
  if (n.name == "br") {
    t.type = HtmlTag::Break;
    return t;
  }
  t.flag = flag_of(n.name);
  if (t.flag != 0 && !raw.ends_with("/>")) t.type = n.closing ? HtmlTag::Close : HtmlTag::Open;
  return t;
}

void convert_html_block(Block& b) {
  const std::string raw = std::move(b.code);
  b.code.clear();
  std::string_view s = raw;
  std::size_t first = 0;
  while (first < s.size() && blank(s[first])) ++first;

  // <pre>: a code block with the text inside, tags dropped, entities decoded.
  const TagName head = first < s.size() && s[first] == '<' ? tag_name(s.substr(first)) : TagName{};
  if (!head.closing &&
      (head.name == "pre" || (head.name == "code" && s.find('\n', first) < s.find("</code>")))) {
    const std::size_t open_end = markup_end(s, first);
    std::string lang_class;
    std::string code;
    for (std::size_t i = open_end == std::string_view::npos ? s.size() : open_end; i < s.size();) {
      if (s[i] == '<') {
        const std::size_t e = markup_end(s, i);
        if (e != std::string_view::npos) {
          const std::string_view tag = s.substr(i, e - i);
          if (tag_name(tag).name == "code" && lang_class.empty())
            lang_class = attribute(tag, "class");
          if (tag_name(tag).name == head.name && tag_name(tag).closing) break;
          i = e;
          continue;
        }
      }
      code += s[i++];
    }
    if (lang_class.empty()) lang_class = attribute(s.substr(first, open_end - first), "class");
    for (std::string_view prefix : {"language-", "lang-"}) {
      if (const std::size_t at = lang_class.find(prefix); at != std::string::npos) {
        const std::size_t from = at + prefix.size();
        const std::size_t to = lang_class.find(' ', from);
        b.language = lang_class.substr(from, to == std::string::npos ? to : to - from);
        break;
      }
    }
    if (code.starts_with('\n')) code.erase(0, 1);
    b.code = html::decode_entities(code);
    if (!b.code.empty() && b.code.back() != '\n') b.code += '\n';
    b.kind = Block::Kind::Code;
    return;
  }

  RunBuilder runs;
  std::array<int, kRunFlagBits> open{};  // how many tags hold each flag
  auto flags = [&open] {
    std::uint16_t f = 0;
    for (int i = 0; i < kRunFlagBits; ++i) {
      if (open[static_cast<std::size_t>(i)] > 0) f = static_cast<std::uint16_t>(f | (1u << i));
    }
    return f;
  };
  std::size_t i = 0;
  std::size_t text_from = 0;
  auto flush = [&](std::size_t to) {
    if (to > text_from)
      runs.text(html::decode_entities(s.substr(text_from, to - text_from)), flags());
  };
  while (i < s.size()) {
    if (s[i] != '<') {
      ++i;
      continue;
    }
    const std::size_t e = markup_end(s, i);
    if (e == std::string_view::npos) {
      ++i;
      continue;
    }
    flush(i);
    const std::string_view tag = s.substr(i, e - i);
    i = text_from = e;
    if (tag.starts_with("<!") || tag.starts_with("<?")) continue;  // comments, doctype
    const TagName n = tag_name(tag);
    if (n.name == "script" || n.name == "style") {
      if (!n.closing) {  // their content is not shown
        const std::size_t close = s.find("</", i);
        i = text_from = close == std::string_view::npos ? s.size() : close;
      }
      continue;
    }
    if (n.name == "img") {
      const std::string alt = attribute(tag, "alt");
      if (!alt.empty())
        runs.text(html::decode_entities(alt), static_cast<std::uint16_t>(flags() | Image));
      continue;
    }
    if (html::is_block_element(n.name)) {
      runs.line_break();
      continue;
    }
    const std::uint16_t f = flag_of(n.name);
    for (int bit = 0; bit < kRunFlagBits; ++bit) {
      if (f & (1u << bit)) {
        int& count = open[static_cast<std::size_t>(bit)];
        count = n.closing ? std::max(0, count - 1) : count + 1;
      }
    }
  }
  flush(s.size());
  b.inlines = runs.take();
  b.kind = Block::Kind::Paragraph;
}

}  // namespace orvo::tui::md
