#include "tui/framework/markdown/document.hpp"

#include <md4c.h>

#include <algorithm>
#include <array>
#include <new>

#include "html/entities.hpp"
#include "tui/framework/markdown/html.hpp"
#include "tui/framework/text/style.hpp"

namespace orvo::tui::md {
namespace {

using Kind = Block::Kind;

// Text of an md4c attribute (a link target, an image source) with its entities decoded.
std::string attribute_text(const MD_ATTRIBUTE& a) {
  std::string out;
  if (a.text == nullptr || a.size == 0) return out;
  for (unsigned i = 0; a.substr_offsets[i] < a.size; ++i) {
    const MD_OFFSET b = a.substr_offsets[i];
    const MD_OFFSET e = a.substr_offsets[i + 1];
    const std::string_view piece(a.text + b, e - b);
    switch (a.substr_types[i]) {
      case MD_TEXT_ENTITY:
        html::decode_entity(piece, out);
        break;
      case MD_TEXT_NULLCHAR:
        out += "\xEF\xBF\xBD";
        break;
      default:
        out.append(piece);
    }
  }
  return out;
}

class Builder {
 public:
  Builder() : doc_(std::make_unique<Block>()) { stack_.push_back(doc_.get()); }

  std::unique_ptr<Block> take() { return std::move(doc_); }

  void enter_block(MD_BLOCKTYPE type, void* detail) {
    switch (type) {
      case MD_BLOCK_DOC:
        return;
      case MD_BLOCK_QUOTE:
        open_container(Kind::Quote);
        return;
      case MD_BLOCK_UL: {
        Block* b = open_container(Kind::BulletList);
        if (b) b->tight = static_cast<MD_BLOCK_UL_DETAIL*>(detail)->is_tight != 0;
        return;
      }
      case MD_BLOCK_OL: {
        Block* b = open_container(Kind::OrderedList);
        if (b) {
          const auto* d = static_cast<MD_BLOCK_OL_DETAIL*>(detail);
          b->tight = d->is_tight != 0;
          b->start = d->start;
          b->delimiter = d->mark_delimiter == ')' ? ')' : '.';
        }
        return;
      }
      case MD_BLOCK_LI: {
        Block* b = open_container(Kind::Item);
        if (b) {
          const auto* d = static_cast<MD_BLOCK_LI_DETAIL*>(detail);
          if (d->is_task) b->task = (d->task_mark == 'x' || d->task_mark == 'X') ? 2 : 1;
        }
        return;
      }
      case MD_BLOCK_HR:
        add_leaf(Kind::Rule);
        return;
      case MD_BLOCK_H: {
        Block* b = add_leaf(Kind::Heading);
        const unsigned level = static_cast<MD_BLOCK_H_DETAIL*>(detail)->level;
        b->level = level < 1 ? 1 : level > 6 ? 6 : static_cast<int>(level);
        inlines_ = &b->inlines;
        return;
      }
      case MD_BLOCK_CODE: {
        Block* b = add_leaf(Kind::Code);
        std::string lang = attribute_text(static_cast<MD_BLOCK_CODE_DETAIL*>(detail)->lang);
        b->language = std::move(lang);
        verbatim_ = &b->code;
        return;
      }
      case MD_BLOCK_HTML: {
        Block* b = add_leaf(Kind::Html);
        verbatim_ = &b->code;
        html_block_ = b;
        return;
      }
      case MD_BLOCK_P: {
        Block* b = add_leaf(Kind::Paragraph);
        inlines_ = &b->inlines;
        return;
      }
      case MD_BLOCK_TABLE:
        table_ = add_leaf(Kind::Table);
        return;
      case MD_BLOCK_THEAD:
        in_head_ = true;
        return;
      case MD_BLOCK_TBODY:
        in_head_ = false;
        return;
      case MD_BLOCK_TR:
        if (table_) {
          table_->rows.emplace_back();
          if (in_head_) ++table_->head_rows;
        }
        return;
      case MD_BLOCK_TH:
      case MD_BLOCK_TD:
        if (table_ && !table_->rows.empty()) {
          auto& row = table_->rows.back();
          if (table_->rows.size() == 1) {
            switch (static_cast<MD_BLOCK_TD_DETAIL*>(detail)->align) {
              case MD_ALIGN_LEFT:
                table_->aligns.push_back(Align::Left);
                break;
              case MD_ALIGN_CENTER:
                table_->aligns.push_back(Align::Center);
                break;
              case MD_ALIGN_RIGHT:
                table_->aligns.push_back(Align::Right);
                break;
              default:
                table_->aligns.push_back(Align::Default);
            }
          }
          row.emplace_back();
          inlines_ = &row.back();
        }
        return;
    }
  }

  void leave_block(MD_BLOCKTYPE type) {
    switch (type) {
      case MD_BLOCK_QUOTE:
      case MD_BLOCK_UL:
      case MD_BLOCK_OL:
      case MD_BLOCK_LI:
        close_container();
        return;
      case MD_BLOCK_TABLE:
        table_ = nullptr;
        inlines_ = nullptr;
        return;
      case MD_BLOCK_H:
      case MD_BLOCK_P:
      case MD_BLOCK_TH:
      case MD_BLOCK_TD:
        if (inlines_ != nullptr) place_urls(*inlines_);
        inlines_ = nullptr;
        reset_inline_html();  // an unclosed <b> ends with its paragraph
        return;
      case MD_BLOCK_CODE:
        verbatim_ = nullptr;
        return;
      case MD_BLOCK_HTML:
        verbatim_ = nullptr;
        if (html_block_ != nullptr) {
          convert_html_block(*html_block_);
          // Nothing visible (comments, front matter in a comment, closing tags): no block at all,
          // so no blank rows either.
          auto& siblings = container()->children;
          if (html_block_->kind == Kind::Paragraph && html_block_->inlines.empty() &&
              !siblings.empty() && siblings.back().get() == html_block_) {
            siblings.pop_back();
          }
          html_block_ = nullptr;
        }
        return;
      default:
        return;
    }
  }

  void enter_span(MD_SPANTYPE type, void* detail) {
    switch (type) {
      case MD_SPAN_EM:
        flags_ |= Em;
        break;
      case MD_SPAN_STRONG:
        flags_ |= Strong;
        break;
      case MD_SPAN_DEL:
        flags_ |= Strike;
        break;
      case MD_SPAN_U:
        flags_ |= Underline;
        break;
      case MD_SPAN_CODE:
        flags_ |= Code;
        break;
      case MD_SPAN_A: {
        Inlines& target = current_inlines();
        links_.push_back(
            {attribute_text(static_cast<MD_SPAN_A_DETAIL*>(detail)->href), target.size(), flags_});
        flags_ |= Link;
        // Refused targets (relative, #anchors, javascript:, ...) give 0: styled text, no link.
        link_ = intern_link(links_.back().target);
        break;
      }
      case MD_SPAN_IMG: {
        Inlines& target = current_inlines();
        images_.push_back(
            {attribute_text(static_cast<MD_SPAN_IMG_DETAIL*>(detail)->src), target.size(), flags_});
        flags_ |= Image;
        break;
      }
      default:
        break;
    }
  }

  void leave_span(MD_SPANTYPE type) {
    switch (type) {
      case MD_SPAN_EM:
        flags_ = static_cast<std::uint16_t>(flags_ & ~Em);
        break;
      case MD_SPAN_STRONG:
        flags_ = static_cast<std::uint16_t>(flags_ & ~Strong);
        break;
      case MD_SPAN_DEL:
        flags_ = static_cast<std::uint16_t>(flags_ & ~Strike);
        break;
      case MD_SPAN_U:
        flags_ = static_cast<std::uint16_t>(flags_ & ~Underline);
        break;
      case MD_SPAN_CODE:
        flags_ = static_cast<std::uint16_t>(flags_ & ~Code);
        break;
      case MD_SPAN_A:
        if (!links_.empty()) {
          Pending link = std::move(links_.back());
          links_.pop_back();
          flags_ = link.outer_flags;
          link_ = 0;
          finish_link(link);
        }
        break;
      case MD_SPAN_IMG:
        if (!images_.empty()) {
          Pending image = std::move(images_.back());
          images_.pop_back();
          flags_ = image.outer_flags;
          Inlines& target = current_inlines();
          bool has_alt = false;
          for (std::size_t i = image.first_run; i < target.size(); ++i) {
            if (!target[i].text.empty()) has_alt = true;
          }
          // Without alt text the file name is the best description there is.
          if (!has_alt && !image.target.empty()) {
            const std::size_t slash = image.target.find_last_of('/');
            std::string name =
                slash == std::string::npos ? image.target : image.target.substr(slash + 1);
            if (name.empty()) name = image.target;
            target.push_back({std::move(name), static_cast<std::uint16_t>(flags_ | Image)});
          }
        }
        break;
      default:
        break;
    }
  }

  void text(MD_TEXTTYPE type, std::string_view s) {
    if (verbatim_) {
      verbatim_->append(s);
      return;
    }
    switch (type) {
      case MD_TEXT_NULLCHAR:
        add_text("\xEF\xBF\xBD");
        return;
      case MD_TEXT_BR:
        add_text("\n");
        return;
      case MD_TEXT_SOFTBR:
        add_text(" ");
        return;
      case MD_TEXT_ENTITY: {
        std::string decoded;
        html::decode_entity(s, decoded);
        add_text(decoded);
        return;
      }
      case MD_TEXT_HTML:
        inline_html_piece(s);
        return;
      default:
        add_text(s);
        return;
    }
  }

 private:
  struct Pending {
    std::string target;
    std::size_t first_run;
    std::uint16_t outer_flags;
  };

  Block* container() const { return stack_.back(); }

  // Opens a container block; beyond kMaxDepth its content stays in the current container.
  Block* open_container(Kind kind) {
    inlines_ = nullptr;
    if (static_cast<int>(stack_.size()) > kMaxDepth) {
      ++skipped_;
      return nullptr;
    }
    auto block = std::make_unique<Block>();
    block->kind = kind;
    Block* raw = block.get();
    container()->children.push_back(std::move(block));
    stack_.push_back(raw);
    return raw;
  }

  void close_container() {
    inlines_ = nullptr;
    if (skipped_ > 0) {
      --skipped_;
    } else if (stack_.size() > 1) {
      stack_.pop_back();
    }
  }

  Block* add_leaf(Kind kind) {
    inlines_ = nullptr;
    auto block = std::make_unique<Block>();
    block->kind = kind;
    Block* raw = block.get();
    container()->children.push_back(std::move(block));
    return raw;
  }

  // Where inline text goes: the open paragraph, heading or cell, or (for the text of tight list
  // items, which md4c sends without a paragraph) a paragraph opened on demand.
  Inlines& current_inlines() {
    if (inlines_ == nullptr) {
      Block* b = add_leaf(Kind::Paragraph);
      inlines_ = &b->inlines;
    }
    return *inlines_;
  }

  // Inline tags are hidden and their text kept; <b>, <kbd>, ... style it; <br> breaks the line;
  // comments (also over several lines, which md4c hands over in pieces) are dropped.
  void inline_html_piece(std::string_view s) {
    if (html_pending_.size() + s.size() > kMaxPendingHtml) {
      html_pending_.clear();
      return;
    }
    html_pending_.append(s);
    if (!html_complete(html_pending_)) return;
    const HtmlTag tag = inline_html(html_pending_);
    html_pending_.clear();
    if (tag.type == HtmlTag::Break) {
      add_text("\n");
      return;
    }
    if (tag.type == HtmlTag::Ignore) {
      // "a <!-- x --> b" reads "a b", not "a  b".
      const Inlines& target = current_inlines();
      drop_space_ = !target.empty() && target.back().text.ends_with(' ');
      return;
    }
    for (int bit = 0; bit < kRunFlagBits; ++bit) {
      if ((tag.flag & (1u << bit)) == 0) continue;
      int& count = html_open_[static_cast<std::size_t>(bit)];
      count = tag.type == HtmlTag::Open ? count + 1 : std::max(0, count - 1);
      if (count > 0) {
        html_flags_ = static_cast<std::uint16_t>(html_flags_ | (1u << bit));
      } else {
        html_flags_ = static_cast<std::uint16_t>(html_flags_ & ~(1u << bit));
      }
    }
  }

  void reset_inline_html() {
    html_pending_.clear();
    html_open_ = {};
    html_flags_ = 0;
    drop_space_ = false;
  }

  void add_text(std::string_view s, std::uint16_t extra = 0) {
    if (s.empty()) return;
    html_pending_.clear();  // a piece of inline HTML that never completed
    if (drop_space_) {
      drop_space_ = false;
      if (s.starts_with(' ')) s.remove_prefix(1);
      if (s.empty()) return;
    }
    Inlines& target = current_inlines();
    const auto flags = static_cast<std::uint16_t>(flags_ | html_flags_ | extra);
    if (!target.empty() && target.back().flags == flags && target.back().link == link_ &&
        target.back().text != "\n" && s != "\n") {
      target.back().text.append(s);
    } else {
      target.push_back({std::string(s), flags, link_});
    }
  }

  void finish_link(const Pending& link) {
    if (link.target.empty()) return;
    Inlines& target = current_inlines();
    std::string shown;
    for (std::size_t i = link.first_run; i < target.size(); ++i) shown += target[i].text;
    const std::string_view url = link.target;
    if (shown == url) return;
    // Autolinks: "me@x.org" links to "mailto:me@x.org", "www.x.org" to "http://www.x.org".
    for (std::string_view scheme : {"mailto:", "http://"}) {
      if (url.starts_with(scheme) && shown == url.substr(scheme.size())) return;
    }
    const std::uint32_t id = intern_link(url);
    if (shown.empty()) {
      target.push_back({link.target, static_cast<std::uint16_t>(flags_ | Link), id});
      return;
    }
    // The target is worth spelling out only when it is absolute (relative links and #anchors
    // mean nothing outside the document) and safe to show.
    if (id == 0) return;
    target.push_back({" (" + std::string(link_target(id)) + ")",
                      static_cast<std::uint16_t>(flags_ | LinkUrl), 0});
  }

  // "[Socket](https://x)s" must read "Sockets (https://x)": a URL run followed by letters moves
  // behind the rest of the word.
  static void place_urls(Inlines& runs) {
    for (std::size_t i = 0; i + 1 < runs.size(); ++i) {
      if (!(runs[i].flags & LinkUrl)) continue;
      Run& next = runs[i + 1];
      if (next.flags & LinkUrl) continue;
      std::size_t word = 0;
      while (word < next.text.size() && !is_word_end(next.text[word])) ++word;
      if (word == 0) continue;
      Run head{next.text.substr(0, word), next.flags, next.link};
      next.text.erase(0, word);
      std::swap(runs[i], head);  // runs[i] is now the word's tail, `head` the URL
      runs.insert(runs.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(head));
      if (runs[i + 2].text.empty()) runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      ++i;
    }
  }

  static bool is_word_end(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == ',' || c == '.' || c == ';' || c == ':' ||
           c == '!' || c == '?' || c == ')' || c == ']' || c == '"' || c == '\'';
  }

  std::unique_ptr<Block> doc_;
  std::vector<Block*> stack_;
  int skipped_ = 0;
  Inlines* inlines_ = nullptr;
  std::string* verbatim_ = nullptr;
  Block* table_ = nullptr;
  bool in_head_ = false;
  std::uint16_t flags_ = 0;
  std::uint32_t link_ = 0;  // the link the text being added belongs to
  std::vector<Pending> links_;
  std::vector<Pending> images_;
  Block* html_block_ = nullptr;
  static constexpr std::size_t kMaxPendingHtml = std::size_t{64} << 10;
  std::string html_pending_;
  std::array<int, kRunFlagBits> html_open_{};
  std::uint16_t html_flags_ = 0;
  bool drop_space_ = false;
};

// md4c is C: nothing may unwind through it, so every callback catches and aborts the parse.
template <class F>
int guarded(void* user, F&& f) {
  try {
    f(*static_cast<Builder*>(user));
    return 0;
  } catch (...) {
    return 1;
  }
}

int on_enter_block(MD_BLOCKTYPE t, void* d, void* u) {
  return guarded(u, [&](Builder& b) { b.enter_block(t, d); });
}
int on_leave_block(MD_BLOCKTYPE t, void*, void* u) {
  return guarded(u, [&](Builder& b) { b.leave_block(t); });
}
int on_enter_span(MD_SPANTYPE t, void* d, void* u) {
  return guarded(u, [&](Builder& b) { b.enter_span(t, d); });
}
int on_leave_span(MD_SPANTYPE t, void*, void* u) {
  return guarded(u, [&](Builder& b) { b.leave_span(t); });
}
int on_text(MD_TEXTTYPE t, const MD_CHAR* s, MD_SIZE n, void* u) {
  return guarded(u, [&](Builder& b) { b.text(t, std::string_view(s, n)); });
}

}  // namespace

std::unique_ptr<Block> parse(std::string_view text) {
  MD_PARSER parser{};
  parser.abi_version = 0;
  parser.flags = MD_DIALECT_GITHUB;
  parser.enter_block = on_enter_block;
  parser.leave_block = on_leave_block;
  parser.enter_span = on_enter_span;
  parser.leave_span = on_leave_span;
  parser.text = on_text;
  Builder builder;
  // A parse aborted by a failed callback keeps what was built so far.
  md_parse(text.data(), static_cast<MD_SIZE>(text.size()), &parser, &builder);
  return builder.take();
}

}  // namespace orvo::tui::md
