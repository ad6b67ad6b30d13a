// RichLog: a scrolling log of rows. Each write lays a renderable out at a width and appends its
// rows; drawing only touches the visible rows, so the cost of a frame does not depend on the
// length of the log.
//
// Following the end: with auto_scroll (the default) every write scrolls to the end of the log.
// With stay_when_scrolled_up as well, a write follows only when the view was at the end before it,
// so a reader who scrolled up keeps their place until they scroll back to the end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tui/framework/text/console.hpp"
#include "tui/framework/widgets/widget.hpp"

namespace orvo::tui {

struct RichLogOptions {
  std::string id;
  bool wrap = false;        // wrap long rows at the width (otherwise one row per line, uncut)
  int max_lines = 0;        // keep only the newest rows (0: all)
  bool auto_scroll = true;  // follow the end on write (see above)
  bool stay_when_scrolled_up = false;  // ... unless the reader scrolled up
};

class RichLog : public WidgetType<RichLog> {
 public:
  static constexpr std::string_view CSS_TYPE = "RichLog";
  static constexpr std::string_view DEFAULT_CSS =
      "RichLog { height: 1fr; background: $surface; color: $foreground; overflow-y: auto; "
      "overflow-x: hidden; scrollbar-size: 1 1; }";

  explicit RichLog(RichLogOptions options = {});

  // Lays `content` out at `width` cells (default: the content width of the widget) and appends
  // its rows. Returns the log. (A subclass that overrides it should add `using RichLog::write;`
  // to keep the other overloads visible.)
  //
  // Before the log's first layout its width is unknown: writes are held (a copy of the
  // renderable, see Renderable::clone, and the width asked for) and laid out in order at the
  // real width on the first layout; lines() does not show them until then. A renderable that
  // cannot be copied is laid out at once at console().width() (80).
  virtual RichLog& write(const Renderable& content, std::optional<int> width = std::nullopt);
  // Plain text (no markup), one row per line or wrapped.
  RichLog& write(std::string_view text, std::optional<int> width = std::nullopt);
  // Shared content: held without a copy before the first layout.
  RichLog& write(std::shared_ptr<const Renderable> content,
                 std::optional<int> width = std::nullopt);
  // Removes every row (held ones too) and scrolls back to the top.
  virtual void clear();

  // The rows laid out so far: Strip::text() is a row's plain text.
  const std::vector<Strip>& lines() const { return lines_; }
  // Writes held until the first layout.
  std::size_t held_writes() const { return held_.size(); }
  bool wrap() const { return options_.wrap; }
  int max_lines() const { return options_.max_lines; }

  // The console renderables are laid out with (themes: push_theme / pop_theme).
  Console& console() { return console_; }

  // Row y of the visible area: the row scroll_offset().y + y of the log.
  Strip render_line(int y) override;
  // The stored row itself; a subclass whose render_line changes rows overrides this as well
  // (nullptr for the rows it changes).
  const Strip* stored_line(int y) override;
  int virtual_height() override { return static_cast<int>(lines_.size()); }
  int content_height(int) override { return static_cast<int>(lines_.size()); }
  int content_width() override { return widest_; }
  // PageUp/PageDown, Up/Down, Home/End scroll.
  bool on_key(const KeyEvent& event) override;

 protected:
  // Appends ready rows (used by write).
  void append_rows(std::vector<Strip> rows);
  // The same, moving the rows out of `rows`.
  void append_rows(std::span<Strip> rows);
  // Hands every row over and leaves the log without rows (the rest of clear() is the caller's):
  // a subclass that draws the same rows again can move them back instead of laying them out.
  // Room for `expected` rows is made at once, so refilling does not grow the storage step by step.
  std::vector<Strip> take_lines(std::size_t expected = 0);
  // Removes the newest rows, from index `first` on (a part still being written that is drawn
  // again). The rows before keep their indexes, so rows_epoch() stays the same.
  void drop_rows_from(std::size_t first);
  // Changes whenever rows leave the log or move (clear, take_lines, max_lines, prepend_rows): an
  // index into lines() names the same row for as long as this stays the same.
  std::uint64_t rows_epoch() const { return rows_epoch_; }
  // Lays rows out away from the screen: exchanges the log's rows with `rows` and, until they are
  // exchanged back, writes append to those rows without scrolling or asking for a frame. The
  // rows epoch stays: the caller puts the log's own rows back before anything else reads them.
  void swap_rows(std::vector<Strip>& rows, bool off_screen);
  // Puts `rows` before the log's rows (max_lines is not applied); the view stays on the rows it
  // showed.
  void prepend_rows(std::vector<Strip> rows);

 private:
  struct Held {
    std::shared_ptr<const Renderable> content;  // null: `rows` are laid out already
    std::optional<int> width;
    std::vector<Strip> rows;
  };
  std::vector<Strip> lay_out(const Renderable& content, std::optional<int> width);
  bool holding() const { return !held_.empty() || size().width <= 0; }
  void content_resized() override;
  std::vector<Held> held_;
  RichLogOptions options_;
  Console console_;
  std::vector<Strip> lines_;
  int widest_ = 0;
  std::uint64_t rows_epoch_ = 0;
  bool off_screen_ = false;
};

}  // namespace orvo::tui
