#include "host/chat/edit_buffer.hpp"

#include <algorithm>

#include "common/utf8.hpp"
#include "tui/framework/text/cells.hpp"

namespace orvo::host {

namespace {

bool is_word_space(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

// Line breaks of any kind become LF, tabs four spaces; other control characters are dropped.
std::string clean_input(std::string_view s) {
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
  return clean;
}

// 5000 -> "5,000".
std::string grouped(std::size_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// Lines of text: a last line without its break counts, an empty tail after one does not.
std::size_t text_lines(std::string_view cleaned) {
  std::size_t lines = static_cast<std::size_t>(std::count(cleaned.begin(), cleaned.end(), '\n'));
  if (!cleaned.empty() && cleaned.back() != '\n') ++lines;
  return lines;
}

}  // namespace

std::string EditBuffer::paste_label(std::string_view cleaned) {
  const std::size_t lines = text_lines(cleaned);
  if (lines > 1) return "[pasted " + grouped(lines) + " lines]";
  std::size_t chars = 0;
  for (unsigned char c : cleaned) chars += (c & 0xC0) != 0x80 ? 1 : 0;
  return "[pasted " + grouped(chars) + " characters]";
}

void EditBuffer::set_text(std::string text) {
  text_.clear();
  pastes_.clear();
  cursor_ = 0;
  insert(text);
}

void EditBuffer::set_content(EditContent content) {
  text_ = std::move(content.text);
  pastes_.clear();
  std::size_t last = 0;
  for (auto& t : content.pastes) {
    if (t.begin >= last && t.begin < t.end && t.end <= text_.size() && t.text) {
      last = t.end;
      pastes_.push_back(std::move(t));
    }
  }
  cursor_ = text_.size();
}

std::string EditBuffer::expanded() const {
  if (pastes_.empty()) return text_;
  std::string out;
  std::size_t at = 0;
  for (const auto& t : pastes_) {
    out.append(text_, at, t.begin - at);
    out += *t.text;
    at = t.end;
  }
  out.append(text_, at);
  return out;
}

const PasteToken* EditBuffer::token_around(std::size_t pos) const {
  for (const auto& t : pastes_) {
    if (t.begin < pos && pos < t.end) return &t;
    if (t.begin >= pos) break;
  }
  return nullptr;
}

std::size_t EditBuffer::snap(std::size_t pos) const {
  const PasteToken* t = token_around(pos);
  if (!t) return pos;
  return pos - t->begin < t->end - pos ? t->begin : t->end;
}

std::size_t EditBuffer::replace(std::size_t a, std::size_t b, std::string_view s) {
  // Widen to whole tokens: a token is removed whole or not at all; an insertion inside a label
  // goes after it.
  if (a == b) {
    a = b = (token_around(a) ? token_around(a)->end : a);
  }
  std::vector<PasteToken> kept;
  kept.reserve(pastes_.size());
  for (auto& t : pastes_) {
    if (a != b && t.begin < b && t.end > a) {
      a = std::min(a, t.begin);
      b = std::max(b, t.end);
    }
  }
  for (auto& t : pastes_) {
    if (a != b && t.begin < b && t.end > a) continue;
    if (t.begin >= b) {
      t.begin = t.begin - (b - a) + s.size();
      t.end = t.end - (b - a) + s.size();
    }
    kept.push_back(std::move(t));
  }
  pastes_ = std::move(kept);
  text_.replace(a, b - a, s);
  return a;
}

void EditBuffer::paste(std::string_view s) {
  std::string clean = clean_input(s);
  if (text_lines(clean) <= kPasteTokenLines && clean.size() <= kPasteTokenBytes) {
    insert(clean);
    return;
  }
  const std::string label = paste_label(clean);
  const std::size_t at = replace(cursor_, cursor_, label);
  PasteToken token{at, at + label.size(), std::make_shared<const std::string>(std::move(clean))};
  auto pos = std::find_if(pastes_.begin(), pastes_.end(),
                          [&](const PasteToken& t) { return t.begin >= at + label.size(); });
  pastes_.insert(pos, std::move(token));
  cursor_ = at + label.size();
}

void EditBuffer::insert(std::string_view s) {
  const std::string clean = clean_input(s);
  cursor_ = replace(cursor_, cursor_, clean) + clean.size();
  // A combining mark typed after a letter joins its cluster: keep the cursor on a boundary.
  std::size_t b = line_start(cursor_);
  std::size_t last = b;
  while (b < cursor_) {
    last = b;
    b = tui::next_grapheme(text_, b).end;
  }
  if (b != cursor_) cursor_ = b > text_.size() ? last : b;
  cursor_ = snap(cursor_);
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
  for (const auto& t : pastes_)
    if (t.end == pos) return t.begin;
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
  for (const auto& t : pastes_)
    if (t.begin == pos) return t.end;
  if (text_[pos] == '\n') return pos + 1;
  return std::min(line_end(pos), tui::next_grapheme(text_, pos).end);
}

bool EditBuffer::backspace() {
  if (cursor_ == 0) return false;
  cursor_ = replace(prev_boundary(cursor_), cursor_, "");
  return true;
}

bool EditBuffer::delete_forward() {
  if (cursor_ >= text_.size()) return false;
  cursor_ = replace(cursor_, next_boundary(cursor_), "");
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
  cursor_ = replace(s, cursor_, "");
  return true;
}

bool EditBuffer::kill_to_line_end() {
  std::size_t e = line_end(cursor_);
  if (e == cursor_) return delete_forward();
  cursor_ = replace(cursor_, e, "");
  return true;
}

bool EditBuffer::delete_word_back() {
  if (cursor_ == 0) return false;
  std::size_t p = cursor_;
  while (p > 0 && is_word_space(text_[p - 1])) --p;
  const std::size_t word_end = p;
  // A paste token is a word of its own: taken alone, never with the text it touches.
  auto token_ends_at = [this](std::size_t pos) {
    return std::any_of(pastes_.begin(), pastes_.end(),
                       [pos](const PasteToken& t) { return t.end == pos; });
  };
  while (p > 0 && !is_word_space(text_[p - 1])) {
    const bool token = token_ends_at(p);
    if (token && p != word_end) break;
    p = prev_boundary(p);
    if (token) break;
  }
  cursor_ = replace(p, cursor_, "");
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
  cursor_ = snap(at_column(line_start(s - 1), col));
  return true;
}

bool EditBuffer::down() {
  std::size_t e = line_end(cursor_);
  if (e >= text_.size()) return false;
  int col = cursor_column();
  cursor_ = snap(at_column(e + 1, col));
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
