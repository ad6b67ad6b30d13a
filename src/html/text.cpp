#include "html/text.hpp"

#include "html/simplify.hpp"

#include <gumbo.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <unordered_set>
#include <vector>

namespace orvo::html {
namespace {

// Every block gumbo allocates, so that the tree can be freed without gumbo_destroy_output, which
// recurses once per level and would overflow the stack on a page nested a few hundred thousand
// deep.
class Heap {
 public:
  Heap() = default;
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;
  ~Heap() {
    for (void* p : live_) std::free(p);
  }

  static void* allocate(void* self, std::size_t n) {
    void* p = std::malloc(n == 0 ? 1 : n);
    try {
      if (p == nullptr) throw std::bad_alloc();
      static_cast<Heap*>(self)->live_.insert(p);
    } catch (...) {
      // Gumbo cannot take a failed allocation, and an exception must not cross its C frames.
      std::abort();
    }
    return p;
  }
  static void release(void* self, void* p) {
    if (p == nullptr) return;
    static_cast<Heap*>(self)->live_.erase(p);
    std::free(p);
  }

 private:
  std::unordered_set<void*> live_;
};

bool hidden(GumboTag tag) {
  switch (tag) {
    case GUMBO_TAG_SCRIPT:
    case GUMBO_TAG_STYLE:
    case GUMBO_TAG_NOSCRIPT:
    case GUMBO_TAG_TEMPLATE:
    case GUMBO_TAG_HEAD:
      return true;
    default:
      return false;
  }
}

// The text being built, with whitespace collapsed as it is appended.
class Writer {
 public:
  explicit Writer(std::size_t max_bytes) : max_(max_bytes) {}

  bool full() const { return out_.size() > max_; }

  void text(std::string_view s, bool pre) {
    for (std::size_t i = 0; i < s.size() && !full(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (c == '\n' || c == '\r') {
        if (pre) {
          hard_break();
        } else {
          space_ = true;
        }
      } else if (c == ' ' || c == '\t' || c == '\f') {
        if (pre) {
          put(std::string_view(" ", 1));
        } else {
          space_ = true;
        }
      } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xA0) {
        ++i;  // a no-break space reads as a space
        if (pre) {
          put(" ");
        } else {
          space_ = true;
        }
      } else if (c < 0x20 || c == 0x7F) {
        put("\xEF\xBF\xBD");
      } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                 static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
        ++i;  // a C1 control
        put("\xEF\xBF\xBD");
      } else {
        put(std::string_view(s.data() + i, 1));
      }
    }
  }

  // Ends the current line, if anything is on it.
  void end_line() {
    space_ = false;
    trim();
    if (newlines_ == 0) newline();
  }
  // Ends the current line and leaves one empty line after it.
  void blank_line() {
    end_line();
    if (newlines_ == 1) newline();
  }
  // <br> and a newline in <pre>: always a break, but never more than one empty line.
  void hard_break() {
    space_ = false;
    trim();
    if (newlines_ < 2) newline();
  }
  // Text that starts a line, such as a list marker; not collapsed.
  void prefix(std::string_view s) {
    end_line();
    out_.append(s);
    newlines_ = 0;
    space_ = false;
  }
  // Between two table cells on one line.
  void separator(std::string_view s) {
    if (newlines_ != 0) return;
    space_ = false;
    trim();
    out_.append(s);
  }

  std::string take() {
    if (!full()) {
      while (!out_.empty() && (out_.back() == '\n' || out_.back() == ' ')) out_.pop_back();
      if (!out_.empty()) out_.push_back('\n');
    }
    return std::move(out_);
  }

 private:
  void put(std::string_view s) {
    if (space_ && newlines_ == 0) out_.push_back(' ');
    space_ = false;
    out_.append(s);
    newlines_ = 0;
  }
  void newline() {
    // Nothing before the first line: no empty lines at the start.
    if (out_.empty()) return;
    out_.push_back('\n');
    ++newlines_;
  }
  void trim() {
    if (newlines_ != 0) return;
    while (!out_.empty() && out_.back() == ' ') out_.pop_back();
  }

  std::string out_;
  std::size_t max_;
  int newlines_ = 2;  // line ends at the end of out_; the start counts as after an empty line
  bool space_ = false;
};

struct Frame {
  const GumboNode* node;
  unsigned next = 0;  // the next child to visit
};

// What an element does when it opens (`open`) or closes.
void element_edge(const GumboElement& e, bool open, Writer& w, int& lists, int& pre) {
  const std::string_view name = gumbo_normalized_tagname(e.tag);
  switch (e.tag) {
    case GUMBO_TAG_BR:
      if (open) w.hard_break();
      return;
    case GUMBO_TAG_LI:
      if (open) {
        w.prefix(std::string(static_cast<std::size_t>(std::max(lists - 1, 0)) * 2, ' ') + "- ");
      } else {
        w.end_line();
      }
      return;
    case GUMBO_TAG_UL:
    case GUMBO_TAG_OL:
      lists += open ? 1 : -1;
      w.end_line();
      return;
    case GUMBO_TAG_TD:
    case GUMBO_TAG_TH:
      if (open) w.separator(" | ");
      return;
    case GUMBO_TAG_PRE:
    case GUMBO_TAG_LISTING:
    case GUMBO_TAG_TEXTAREA:
      pre += open ? 1 : -1;
      w.end_line();
      return;
    case GUMBO_TAG_P:
      if (open) {
        w.end_line();
      } else {
        w.blank_line();
      }
      return;
    default:
      if (is_block_element(name)) w.end_line();
  }
}

}  // namespace

bool is_block_element(std::string_view name) {
  static constexpr std::string_view kBlocks[] = {
      "p",     "div",     "br",      "h1",         "h2",       "h3",         "h4",     "h5",
      "h6",    "li",      "ul",      "ol",         "dl",       "dt",         "dd",     "tr",
      "table", "thead",   "tbody",   "blockquote", "section",  "article",    "header", "footer",
      "nav",   "summary", "details", "hr",         "figure",   "figcaption", "center", "main",
      "aside", "pre",     "address", "form",       "fieldset", "caption",    "tfoot",  "legend",
      "menu",  "listing", "title"};
  for (std::string_view b : kBlocks) {
    if (b == name) return true;
  }
  return false;
}

std::string html_to_text(std::string_view html, std::size_t max_bytes) {
  Heap heap;
  GumboOptions options = kGumboDefaultOptions;
  options.allocator = &Heap::allocate;
  options.deallocator = &Heap::release;
  options.userdata = &heap;
  options.max_errors = 0;  // the error list of a badly broken page would only cost memory
  // Freed with `heap`, not with gumbo_destroy_output (see Heap).
  const std::string simple = simplify_markup(html);
  GumboOutput* doc = gumbo_parse_with_options(&options, simple.data(), simple.size());

  Writer w(max_bytes);
  int lists = 0;
  int pre = 0;
  // Walked with a stack of our own: the tree may be as deep as the page is long.
  std::vector<Frame> stack{{doc->document}};
  while (!stack.empty() && !w.full()) {
    Frame& f = stack.back();
    const GumboNode* n = f.node;
    const GumboVector* children = nullptr;
    if (n->type == GUMBO_NODE_DOCUMENT) {
      children = &n->v.document.children;
    } else if (n->type == GUMBO_NODE_ELEMENT) {
      children = &n->v.element.children;
    }
    if (children == nullptr || f.next >= children->length) {
      if (n->type == GUMBO_NODE_ELEMENT) element_edge(n->v.element, false, w, lists, pre);
      stack.pop_back();
      continue;
    }
    const auto* child = static_cast<const GumboNode*>(children->data[f.next++]);
    switch (child->type) {
      case GUMBO_NODE_TEXT:
      case GUMBO_NODE_WHITESPACE:
      case GUMBO_NODE_CDATA:
        w.text(child->v.text.text, pre > 0);
        break;
      case GUMBO_NODE_ELEMENT:
        if (hidden(child->v.element.tag)) break;
        element_edge(child->v.element, true, w, lists, pre);
        stack.push_back({child});  // invalidates `f`
        break;
      default:  // comments, templates, the doctype
        break;
    }
  }
  return w.take();
}

}  // namespace orvo::html
