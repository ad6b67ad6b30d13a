// The chat's input box: a prompt the user types into, one or more rows high.
//
// Enter submits; Ctrl+J or Alt+Enter breaks the line and the box grows, up to `max_rows` rows
// (the host sets a third of the screen), after which it scrolls to keep the cursor in view.
// A bracketed paste inserts its text with its line breaks; a large one (more than
// EditBuffer::kPasteTokenLines lines or kPasteTokenBytes bytes) shows as one token
// "[pasted 5,000 lines]" that edits as a single character, and Enter sends the full text. Up/Down
// move between lines, and on the first (last) line recall older (newer) prompts. Left/Right,
// Home/End, Ctrl+A/E/U/K/W, Backspace and Delete edit as in a shell; all of them step over whole
// graphemes.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "host/chat/edit_buffer.hpp"
#include "tui/framework/widgets/widget.hpp"

namespace orvo::host {

class InputBox : public tui::Widget {
 public:
  static constexpr std::string_view DEFAULT_CSS = "InputBox { height: auto; }";
  static constexpr std::string_view kPrompt = "› ";

  explicit InputBox(std::string id = "");

  // Called with the text when Enter is pressed, paste tokens expanded (the box is cleared first,
  // the prompt recorded for recall, its tokens with it). Not called for a box that holds only
  // whitespace.
  std::function<void(const std::string&)> on_submit;
  // Called after every change of the text.
  std::function<void()> on_change;
  // Sees every key first; returning true keeps it from the box (the host's own keys).
  std::function<bool(const tui::KeyEvent&)> key_filter;

  const std::string& text() const { return buffer_.text(); }
  void set_text(std::string text);
  void clear() { set_text(""); }
  // Text and paste tokens at once (the cursor goes to the end).
  void set_content(EditContent content);
  EditBuffer& buffer() { return buffer_; }
  PromptHistory& history() { return history_; }

  void set_placeholder(std::string text);
  void set_max_rows(int rows);

  bool on_key(const tui::KeyEvent& event) override;
  void on_paste(const std::string& text) override;
  tui::Strip render_line(int y) override;
  int content_height(int width) override;

 private:
  struct Row {
    std::size_t begin;  // byte range of the text drawn on this row
    std::size_t end;
    bool first_of_line;
  };
  void layout_rows(int width);
  void changed();
  void keep_cursor_visible(int height);
  void remember(EditContent content);
  void recall(const std::string& text);

  static constexpr std::size_t kRecalledPastes = 20;

  EditBuffer buffer_;
  PromptHistory history_;
  std::string placeholder_;
  int max_rows_ = 8;
  std::vector<Row> rows_;
  int rows_width_ = -1;
  std::string rows_text_;
  int top_ = 0;  // first row shown
  // The tokens of recent prompts that held pastes, so recall brings them back as tokens.
  std::deque<std::pair<std::string, std::vector<PasteToken>>> recalled_pastes_;
  std::vector<PasteToken> draft_pastes_;  // those of the draft kept while browsing
};

}  // namespace orvo::host
