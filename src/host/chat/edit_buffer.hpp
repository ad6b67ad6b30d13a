// The text being typed in the chat's input box: a UTF-8 buffer with a cursor that always sits on a
// grapheme boundary, the usual line-editing operations, and recall of earlier prompts.
//
// Kept apart from the widget so the editing rules can be tested without a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::host {

class EditBuffer {
 public:
  const std::string& text() const { return text_; }
  std::size_t cursor() const { return cursor_; }  // byte offset, on a grapheme boundary
  bool empty() const { return text_.empty(); }

  // Replaces the text; the cursor goes to the end.
  void set_text(std::string text);
  void clear() { set_text(""); }

  // Inserts at the cursor. Line breaks of any kind (CR, CR LF) become LF; tabs become four spaces;
  // other control characters are dropped (pasted terminal output must not carry escapes).
  void insert(std::string_view s);
  void newline() { insert("\n"); }

  // Each returns false when it changed nothing.
  bool backspace();           // the grapheme before the cursor
  bool delete_forward();      // the grapheme under the cursor
  bool left();                // one grapheme
  bool right();               // one grapheme
  bool home();                // start of the current line
  bool end();                 // end of the current line
  bool kill_to_line_start();  // Ctrl+U
  bool kill_to_line_end();    // Ctrl+K (joins the next line when at the end of one)
  bool delete_word_back();    // Ctrl+W: spaces, then the word before them
  // One line up or down, keeping the column (in cells) as far as the line allows; false on the
  // first (last) line, where the caller may recall history instead.
  bool up();
  bool down();

  // The cursor's line (0-based) and its column in cells within that line.
  std::size_t cursor_line() const;
  int cursor_column() const;
  std::size_t line_count() const;
  // True when End would not move the cursor.
  bool at_line_end() const { return cursor_ == line_end(cursor_); }

 private:
  std::size_t line_start(std::size_t pos) const;
  std::size_t line_end(std::size_t pos) const;
  std::size_t prev_boundary(std::size_t pos) const;
  std::size_t next_boundary(std::size_t pos) const;
  // The position on the line starting at `start` whose column is the closest to `column`.
  std::size_t at_column(std::size_t start, int column) const;

  std::string text_;
  std::size_t cursor_ = 0;
};

// Earlier prompts, browsed with Up/Down. The text being typed when browsing starts is kept as a
// draft and comes back after the newest entry.
class PromptHistory {
 public:
  void add(const std::string& prompt);  // blank prompts and repeats of the last one are skipped
  // The entry before (after) the one shown; `current` is what the box holds now.
  // Return false when there is nothing further.
  bool older(const std::string& current, std::string& out);
  bool newer(std::string& out);
  void reset_browsing() { pos_ = entries_.size(); }
  const std::vector<std::string>& entries() const { return entries_; }

 private:
  std::vector<std::string> entries_;
  std::size_t pos_ = 0;
  std::string draft_;
};

}  // namespace orvo::host
