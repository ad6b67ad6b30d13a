#include "host/chat/edit_buffer.hpp"

#include <algorithm>

#include "common/utf8.hpp"
#include "tui/framework/text/cells.hpp"

namespace orvo::host {

namespace {

bool is_word_space(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

}  // namespace

void EditBuffer::set_text(std::string text) {
  text_.clear();
  cursor_ = 0;
  insert(text);
}

void EditBuffer::insert(std::string_view s) {
  std::string clean;
  clean.reserve(s.size());
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t at = pos;
    char32_t cp = text::decode(s, pos);
    if (cp == '\r') {
      clean += '\n';
      if (pos < s.size() && s[pos] == '\n') ++pos;
    } else if (cp == '\n') {
      clean += '\n';
    } else if (cp == '\t') {
      clean += "    ";
    } else if (text::is_unsafe_control(cp)) {
      continue;
    } else if (cp == text::kReplacement && !(s.substr(at, pos - at) == "\xEF\xBF\xBD")) {
      text::encode(cp, clean);  // an invalid byte: keep one replacement character
    } else {
      clean.append(s.substr(at, pos - at));
    }
  }
  text_.insert(cursor_, clean);
  cursor_ += clean.size();
  // A combining mark typed after a letter joins its cluster: keep the cursor on a boundary.
  std::size_t b = line_start(cursor_);
  std::size_t last = b;
  while (b < cursor_) {
    last = b;
    b = tui::next_grapheme(text_, b).end;
  }
  if (b != cursor_) cursor_ = b > text_.size() ? last : b;
}

std::size_t EditBuffer::line_start(std::size_t pos) const {
  if (pos == 0) return 0;
  std::size_t nl = text_.rfind('\n', pos - 1);
  return nl == std::string::npos ? 0 : nl + 1;
}

std::size_t EditBuffer::line_end(std::size_t pos) const {
  std::size_t nl = text_.find('\n', pos);
  return nl == std::string::npos ? text_.size() : nl;
}

std::size_t EditBuffer::prev_boundary(std::size_t pos) const {
  if (pos == 0) return 0;
  if (text_[pos - 1] == '\n') return pos - 1;
  std::size_t b = line_start(pos);
  std::size_t last = b;
  while (b < pos) {
    last = b;
    b = tui::next_grapheme(text_, b).end;
  }
  return last;
}

std::size_t EditBuffer::next_boundary(std::size_t pos) const {
  if (pos >= text_.size()) return text_.size();
  if (text_[pos] == '\n') return pos + 1;
  return std::min(line_end(pos), tui::next_grapheme(text_, pos).end);
}

bool EditBuffer::backspace() {
  if (cursor_ == 0) return false;
  std::size_t p = prev_boundary(cursor_);
  text_.erase(p, cursor_ - p);
  cursor_ = p;
  return true;
}

bool EditBuffer::delete_forward() {
  if (cursor_ >= text_.size()) return false;
  std::size_t n = next_boundary(cursor_);
  text_.erase(cursor_, n - cursor_);
  return true;
}

bool EditBuffer::left() {
  if (cursor_ == 0) return false;
  cursor_ = prev_boundary(cursor_);
  return true;
}

bool EditBuffer::right() {
  if (cursor_ >= text_.size()) return false;
  cursor_ = next_boundary(cursor_);
  return true;
}

bool EditBuffer::home() {
  std::size_t s = line_start(cursor_);
  if (s == cursor_) return false;
  cursor_ = s;
  return true;
}

bool EditBuffer::end() {
  std::size_t e = line_end(cursor_);
  if (e == cursor_) return false;
  cursor_ = e;
  return true;
}

bool EditBuffer::kill_to_line_start() {
  std::size_t s = line_start(cursor_);
  if (s == cursor_) return false;
  text_.erase(s, cursor_ - s);
  cursor_ = s;
  return true;
}

bool EditBuffer::kill_to_line_end() {
  std::size_t e = line_end(cursor_);
  if (e == cursor_) return delete_forward();
  text_.erase(cursor_, e - cursor_);
  return true;
}

bool EditBuffer::delete_word_back() {
  if (cursor_ == 0) return false;
  std::size_t p = cursor_;
  while (p > 0 && is_word_space(text_[p - 1])) --p;
  while (p > 0 && !is_word_space(text_[p - 1])) p = prev_boundary(p);
  text_.erase(p, cursor_ - p);
  cursor_ = p;
  return true;
}

std::size_t EditBuffer::cursor_line() const {
  return static_cast<std::size_t>(
      std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(cursor_), '\n'));
}

int EditBuffer::cursor_column() const {
  std::size_t s = line_start(cursor_);
  return tui::cell_len(std::string_view(text_).substr(s, cursor_ - s));
}

std::size_t EditBuffer::line_count() const {
  return static_cast<std::size_t>(std::count(text_.begin(), text_.end(), '\n')) + 1;
}

std::size_t EditBuffer::at_column(std::size_t start, int column) const {
  std::size_t end = line_end(start);
  std::size_t pos = start;
  int col = 0;
  while (pos < end) {
    tui::Grapheme g = tui::next_grapheme(text_, pos);
    std::size_t gend = std::min(g.end, end);
    if (col + g.cells > column) {
      // Closer to the cluster's start or its end?
      return (column - col) * 2 < g.cells ? pos : gend;
    }
    col += g.cells;
    pos = gend;
  }
  return end;
}

bool EditBuffer::up() {
  std::size_t s = line_start(cursor_);
  if (s == 0) return false;
  int col = cursor_column();
  cursor_ = at_column(line_start(s - 1), col);
  return true;
}

bool EditBuffer::down() {
  std::size_t e = line_end(cursor_);
  if (e >= text_.size()) return false;
  int col = cursor_column();
  cursor_ = at_column(e + 1, col);
  return true;
}

void PromptHistory::add(const std::string& prompt) {
  if (text::has_visible(prompt) && (entries_.empty() || entries_.back() != prompt)) {
    entries_.push_back(prompt);
  }
  pos_ = entries_.size();
  draft_.clear();
}

bool PromptHistory::older(const std::string& current, std::string& out) {
  if (pos_ == 0 || entries_.empty()) return false;
  if (pos_ == entries_.size()) draft_ = current;
  --pos_;
  out = entries_[pos_];
  return true;
}

bool PromptHistory::newer(std::string& out) {
  if (pos_ >= entries_.size()) return false;
  ++pos_;
  out = pos_ == entries_.size() ? draft_ : entries_[pos_];
  return true;
}

}  // namespace orvo::host
