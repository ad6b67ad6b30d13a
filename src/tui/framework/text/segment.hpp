// Segments and strips: one drawn row of styled text.
//
//   Segment  {text, style}: a run of text in one style. The text is assumed sanitised (no
//            control characters); Text's layout guarantees that.
//   Strip    an immutable row of segments with its cell length computed once. Cropping and
//            dividing work in cells and never split a grapheme cluster: a wide character that
//            straddles a cut becomes spaces (in its own style) on the side that keeps part of it.
//            Strip(std::vector<Segment>) is the constructor the widgets use (it replaces control
//            characters and invalid UTF-8 by U+FFFD, as Text does); segments() reads them.
//            render(system, out) writes the row as ANSI text: each styled segment is wrapped in
//            its SGR and a reset "\x1b[0m", unstyled text is written as it is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tui/framework/text/style.hpp"

namespace orvo::tui {

struct Segment {
  std::string text;
  Style style;

  Segment() = default;
  Segment(std::string t, Style s = {}) : text(std::move(t)), style(s) {}  // NOLINT
  int cell_length() const;
  friend bool operator==(const Segment&, const Segment&) = default;
};

class Strip {
 public:
  Strip() = default;
  explicit Strip(std::vector<Segment> segments);
  // For callers that already know the width (must equal the segments' total) and whose text
  // is already clean (as Text's rows are): nothing is checked.
  Strip(std::vector<Segment> segments, int cell_length)
      : segments_(std::move(segments)), cell_length_(cell_length) {}
  // A strip of one segment.
  static Strip of(std::string text, Style style = {});
  // `width` spaces in `style`.
  static Strip blank(int width, Style style = {});

  const std::vector<Segment>& segments() const { return segments_; }
  int cell_length() const { return cell_length_; }
  bool empty() const { return segments_.empty(); }
  // The plain text of the row.
  std::string text() const;

  // Cells [start, end) of the row (end clamped to the length; end < 0 means the length).
  Strip crop(int start, int end = -1) const;
  // Padded with spaces in `style` to at least `width` cells.
  Strip extend(int width, Style style = {}) const;
  // Exactly `width` cells: cropped or padded.
  Strip adjust(int width, Style style = {}) const;
  // Cut at each of `cuts` (ascending cell offsets): the pieces [0, c0), [c0, c1), ...; the
  // last piece ends at the last cut (as many pieces as cuts; add cell_length() to keep the tail).
  std::vector<Strip> divide(const std::vector<int>& cuts) const;
  // Every segment's style with `style` laid on top (over=true) or underneath (over=false).
  Strip apply_style(const Style& style, bool over = true) const;
  // Cells [col0, col1) with `style` laid on top (over=true) or underneath, the rest unchanged;
  // a selection highlight, say. Works on whole grapheme clusters: a wide character partly inside
  // the range is restyled whole, combining marks, ZWJ sequences and flags stay with their base
  // (never split into pieces of their own), and the cell length is unchanged.
  Strip restyle(int col0, int col1, const Style& style, bool over = true) const;
  // Adjacent segments with equal styles joined.
  Strip simplify() const;
  // This row followed by `other`.
  Strip join(const Strip& other) const;
  // Hands the segments over (moved, not copied) and leaves the row empty.
  std::vector<Segment> take_segments() {
    cell_length_ = 0;
    return std::move(segments_);
  }

  // Appends the row as ANSI text (no line break) to `out`.
  // With `hyperlinks`, text whose style carries a link is wrapped in OSC 8 sequences.
  void render(ColorSystem system, std::string& out, bool hyperlinks = false) const;
  std::string render(ColorSystem system, bool hyperlinks = false) const;

  friend bool operator==(const Strip& a, const Strip& b) { return a.segments_ == b.segments_; }

 private:
  std::vector<Segment> segments_;
  int cell_length_ = 0;
};

// Appends the OSC 8 sequence that opens the hyperlink `link_id` (an id of intern_link), or
// closes the open one when `link_id` is 0.
void append_hyperlink(std::uint32_t link_id, std::string& out);

}  // namespace orvo::tui
