#include "host/chat/input_box.hpp"

#include <algorithm>

#include "common/utf8.hpp"
#include "tui/framework/text/cells.hpp"
#include "tui/framework/text/themed.hpp"
#include "tui/framework/widgets/app.hpp"

namespace orvo::host {

using tui::App;
using tui::KeyEvent;
using tui::Segment;
using tui::Strip;
using tui::Style;
using tui::themed;
using tui::ThemeKind;

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
    std::string prompt = buffer_.expanded();
    remember(buffer_.content());
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
      const bool from_draft = history_.showing_draft();
      if (!history_.older(buffer_.text(), recalled)) return true;
      if (from_draft) draft_pastes_ = buffer_.pastes();
      recall(recalled);
      edited = true;
    } else {
      moved = true;
    }
  } else if (k == "down") {
    if (!buffer_.down()) {
      std::string recalled;
      if (!history_.newer(recalled)) return true;
      recall(recalled);
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
  buffer_.paste(text);
  changed();
}

void InputBox::set_content(EditContent content) {
  buffer_.set_content(std::move(content));
  changed();
}

void InputBox::remember(EditContent content) {
  history_.add(content.text);
  // Only prompts holding pastes need their tokens back; a bounded number of them is kept.
  if (content.pastes.empty() || !text::has_visible(content.text)) return;
  recalled_pastes_.emplace_back(content.text, std::move(content.pastes));
  if (recalled_pastes_.size() > kRecalledPastes) recalled_pastes_.pop_front();
}

void InputBox::recall(const std::string& text) {
  std::vector<PasteToken> pastes;
  if (history_.showing_draft()) {
    pastes = std::move(draft_pastes_);
  } else {
    for (auto it = recalled_pastes_.rbegin(); it != recalled_pastes_.rend(); ++it) {
      if (it->first == text) {
        pastes = it->second;
        break;
      }
    }
  }
  buffer_.set_content({text, std::move(pastes)});
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
  const App* a = app();
  const ThemeKind theme = a != nullptr ? a->theme() : ThemeKind::dark;
  const Style& prompt_style = themed("bold #5f87ff", theme);
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
  // Bytes [a, b) of the row, paste labels in their own style.
  const Style& token_style = themed("#5f87ff", theme);
  auto add = [&](std::size_t a, std::size_t b, const Style& extra) {
    while (a < b) {
      std::size_t next = b;
      bool in_token = false;
      for (const auto& tok : buffer_.pastes()) {
        if (tok.end <= a) continue;
        if (tok.begin <= a) {
          in_token = true;
          next = std::min(b, tok.end);
        } else {
          next = std::min(b, tok.begin);
        }
        break;
      }
      segs.emplace_back(t.substr(a, next - a), in_token ? token_style + extra : extra);
      a = next;
    }
  };
  if (!cursor_here) {
    add(r.begin, r.end, Style());
  } else {
    add(r.begin, c, Style());
    if (c < r.end) {
      std::size_t g = std::min(tui::next_grapheme(t, c).end, r.end);
      add(c, g, cursor_style);
      add(g, r.end, Style());
    } else {
      segs.emplace_back(" ", cursor_style);
    }
  }
  return Strip(std::move(segs)).crop(0, width);
}

}  // namespace orvo::host
