#include "host/chat/input_box.hpp"

#include <algorithm>

#include "common/utf8.hpp"
#include "tui/framework/text/cells.hpp"
#include "tui/framework/widgets/app.hpp"

namespace orvo::host {

using tui::KeyEvent;
using tui::Segment;
using tui::Strip;
using tui::Style;

InputBox::InputBox(std::string id) : Widget(std::move(id)) {
  declare_css_type("InputBox", DEFAULT_CSS);
  set_can_focus(true);
}

void InputBox::set_text(std::string text) {
  buffer_.set_text(std::move(text));
  changed();
}

void InputBox::set_placeholder(std::string text) {
  placeholder_ = std::move(text);
  refresh();
}

void InputBox::set_max_rows(int rows) {
  rows = std::max(1, rows);
  if (rows == max_rows_) return;
  max_rows_ = rows;
  if (auto* a = app()) a->invalidate_layout();
}

void InputBox::changed() {
  int before = static_cast<int>(rows_.size());
  rows_width_ = -1;
  if (size().width > 0) layout_rows(size().width);
  if (static_cast<int>(rows_.size()) != before) {
    if (auto* a = app()) a->invalidate_layout();
  }
  refresh();
  if (on_change) on_change();
}

bool InputBox::on_key(const KeyEvent& e) {
  if (key_filter && key_filter(e)) return true;
  const std::string& k = e.key;
  bool edited = false;
  bool moved = false;
  if (k == "enter") {
    if (!text::has_visible(buffer_.text())) return true;
    std::string prompt = buffer_.text();
    history_.add(prompt);
    buffer_.clear();
    changed();
    if (on_submit) on_submit(prompt);
    return true;
  }
  if (k == "ctrl+j" || k == "alt+enter" || k == "shift+enter") {
    buffer_.newline();
    edited = true;
  } else if (e.is_printable() && !(e.modifiers & (tui::kModCtrl | tui::kModAlt))) {
    buffer_.insert(e.character);
    edited = true;
  } else if (k == "backspace") {
    edited = buffer_.backspace();
  } else if (k == "delete" || k == "ctrl+d") {
    if (k == "ctrl+d" && buffer_.empty()) return false;  // the host may quit on it
    edited = buffer_.delete_forward();
  } else if (k == "left" || k == "ctrl+b") {
    moved = buffer_.left();
  } else if (k == "right" || k == "ctrl+f") {
    moved = buffer_.right();
  } else if (k == "home" || k == "ctrl+a") {
    moved = buffer_.home();
  } else if (k == "end" || k == "ctrl+e") {
    moved = buffer_.end();
  } else if (k == "ctrl+u") {
    edited = buffer_.kill_to_line_start();
  } else if (k == "ctrl+k") {
    edited = buffer_.kill_to_line_end();
  } else if (k == "ctrl+w" || k == "alt+backspace" || k == "ctrl+backspace") {
    edited = buffer_.delete_word_back();
  } else if (k == "up") {
    if (!buffer_.up()) {
      std::string recalled;
      if (!history_.older(buffer_.text(), recalled)) return true;
      buffer_.set_text(recalled);
      edited = true;
    } else {
      moved = true;
    }
  } else if (k == "down") {
    if (!buffer_.down()) {
      std::string recalled;
      if (!history_.newer(recalled)) return true;
      buffer_.set_text(recalled);
      edited = true;
    } else {
      moved = true;
    }
  } else {
    return false;
  }
  if (edited) {
    changed();
  } else if (moved) {
    refresh();
  }
  return true;
}

void InputBox::on_paste(const std::string& text) {
  buffer_.insert(text);
  changed();
}

void InputBox::layout_rows(int width) {
  if (rows_width_ == width && rows_text_ == buffer_.text()) return;
  rows_width_ = width;
  rows_text_ = buffer_.text();
  rows_.clear();
  const std::string& t = buffer_.text();
  // Room for the prompt and for the cursor after the last character.
  const int avail = std::max(1, width - static_cast<int>(tui::cell_len(kPrompt)) - 1);
  std::size_t pos = 0;
  while (true) {
    std::size_t eol = t.find('\n', pos);
    if (eol == std::string::npos) eol = t.size();
    bool first = true;
    std::size_t b = pos;
    int cells = 0;
    std::size_t p = pos;
    while (p < eol) {
      tui::Grapheme g = tui::next_grapheme(t, p);
      std::size_t gend = std::min(g.end, eol);
      if (cells + g.cells > avail && p > b) {
        rows_.push_back({b, p, first});
        first = false;
        b = p;
        cells = 0;
      }
      cells += g.cells;
      p = gend;
    }
    rows_.push_back({b, eol, first});
    if (eol >= t.size()) break;
    pos = eol + 1;
  }
}

int InputBox::content_height(int width) {
  layout_rows(width);
  return std::clamp(static_cast<int>(rows_.size()), 1, max_rows_);
}

void InputBox::keep_cursor_visible(int height) {
  std::size_t c = buffer_.cursor();
  int row = 0;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const Row& r = rows_[i];
    bool next_starts_line = i + 1 >= rows_.size() || rows_[i + 1].first_of_line;
    if (r.begin <= c && (c < r.end || (c == r.end && next_starts_line))) {
      row = static_cast<int>(i);
      break;
    }
  }
  if (row < top_) top_ = row;
  if (row >= top_ + height) top_ = row - height + 1;
  top_ = std::clamp(top_, 0, std::max(0, static_cast<int>(rows_.size()) - height));
}

Strip InputBox::render_line(int y) {
  const int width = size().width;
  const int height = size().height;
  if (width <= 0 || y < 0 || y >= height) return Strip();
  layout_rows(width);
  keep_cursor_visible(height);
  const Style prompt_style = Style::parse("bold #5f87ff");
  const Style cursor_style = Style::parse("reverse");
  const bool focused = has_focus();
  std::vector<Segment> segs;
  const int index = top_ + y;
  if (buffer_.empty()) {
    if (y != 0) return Strip();
    segs.emplace_back(std::string(kPrompt), prompt_style);
    if (focused) segs.emplace_back(" ", cursor_style);
    if (!placeholder_.empty()) {
      std::string ph = tui::sanitize(placeholder_);
      int room = width - tui::cell_len(kPrompt) - (focused ? 1 : 0);
      ph.resize(tui::cell_prefix(ph, std::max(0, room)).bytes);
      segs.emplace_back(std::move(ph), Style::parse("dim"));
    }
    return Strip(std::move(segs)).crop(0, width);
  }
  if (index >= static_cast<int>(rows_.size())) return Strip();
  const Row& r = rows_[index];
  segs.emplace_back(index == 0 ? std::string(kPrompt) : std::string("  "), prompt_style);
  const std::string& t = buffer_.text();
  std::size_t c = buffer_.cursor();
  bool next_starts_line =
      index + 1 >= static_cast<int>(rows_.size()) || rows_[index + 1].first_of_line;
  bool cursor_here = focused && r.begin <= c && (c < r.end || (c == r.end && next_starts_line));
  if (!cursor_here) {
    segs.emplace_back(t.substr(r.begin, r.end - r.begin));
  } else {
    segs.emplace_back(t.substr(r.begin, c - r.begin));
    if (c < r.end) {
      std::size_t g = std::min(tui::next_grapheme(t, c).end, r.end);
      segs.emplace_back(t.substr(c, g - c), cursor_style);
      segs.emplace_back(t.substr(g, r.end - g));
    } else {
      segs.emplace_back(" ", cursor_style);
    }
  }
  return Strip(std::move(segs)).crop(0, width);
}

}  // namespace orvo::host
