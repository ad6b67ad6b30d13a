// The text being typed in the chat's input box: a UTF-8 buffer with a cursor that always sits on a
// grapheme boundary, the usual line-editing operations, and recall of earlier prompts.
//
// A large paste is held as one token: the text shows a short label ("[pasted 5,000 lines]") that
// the cursor steps over and Backspace/Delete remove whole, while expanded() gives the text with
// every label replaced by what was pasted. Keeping the label in the text (and the spans beside
// it) lets every line-editing rule work unchanged on what is drawn.
//
// Kept apart from the widget so the editing rules can be tested without a terminal.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::host {

// A paste shown as a label: bytes [begin, end) of the buffer's text hold the label.
struct PasteToken {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::shared_ptr<const std::string> text;  // the paste, cleaned as insert() cleans text
};

// What the box holds: its text and the pastes shown as labels in it.
struct EditContent {
  std::string text;
  std::vector<PasteToken> pastes;
};

class EditBuffer {
 public:
  // A paste with more lines than this (a last line need not end in a break), or more bytes,
  // becomes a token.
  static constexpr std::size_t kPasteTokenLines = 5;
  static constexpr std::size_t kPasteTokenBytes = 4096;

  const std::string& text() const { return text_; }
  // The text with every paste token replaced by its paste: what is sent.
  std::string expanded() const;
  const std::vector<PasteToken>& pastes() const { return pastes_; }
  EditContent content() const { return {text_, pastes_}; }
  // Replaces text and tokens (tokens that do not fit the text are dropped); cursor at the end.
  void set_content(EditContent content);
  // The label of a paste: "[pasted 5,000 lines]", or "[pasted 12,000 characters]" for one line.
  static std::string paste_label(std::string_view cleaned);
  std::size_t cursor() const { return cursor_; }  // byte offset, on a grapheme boundary
  bool empty() const { return text_.empty(); }

  // Replaces the text; the cursor goes to the end.
  void set_text(std::string text);
  void clear() { set_text(""); }

  // Inserts at the cursor. Line breaks of any kind (CR, CR LF) become LF; tabs become four spaces;
  // other control characters are dropped (pasted terminal output must not carry escapes).
  void insert(std::string_view s);
  void newline() { insert("\n"); }
  // Inserts a paste: as text when it is small, else as one token.
  void paste(std::string_view s);

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
  // The token whose label holds `pos` strictly inside, or nullptr.
  const PasteToken* token_around(std::size_t pos) const;
  // `pos` moved out of a token's label to its nearer end.
  std::size_t snap(std::size_t pos) const;
  // Every change of the text goes through here: [a, b) widened to whole tokens, replaced by
  // `s`; tokens after it shift. Returns where `s` starts.
  std::size_t replace(std::size_t a, std::size_t b, std::string_view s);

  std::string text_;
  std::size_t cursor_ = 0;
  std::vector<PasteToken> pastes_;  // sorted by position, never overlapping
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
  // True when the draft is what browsing shows now.
  bool showing_draft() const { return pos_ == entries_.size(); }
  const std::vector<std::string>& entries() const { return entries_; }

 private:
  std::vector<std::string> entries_;
  std::size_t pos_ = 0;
  std::string draft_;
};

}  // namespace orvo::host
