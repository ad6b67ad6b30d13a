#include "tui/framework/widgets/rich_log.hpp"

#include <algorithm>
#include <utility>

#include "tui/framework/text/text.hpp"

namespace orvo::tui {

namespace {

ConsoleOptions log_console_options() {
  ConsoleOptions o;
  o.width = 80;
  o.color_system = ColorSystem::TrueColor;
  o.force_terminal = true;
  o.no_color = false;
  return o;
}

}  // namespace

RichLog::RichLog(RichLogOptions options)
    : WidgetType(options.id), options_(std::move(options)), console_(log_console_options()) {
  set_can_focus(true);
}

RichLog& RichLog::write(const Renderable& content, std::optional<int> width) {
  if (holding()) {
    // Kept in order behind earlier held writes, even those with a width of their own.
    std::shared_ptr<const Renderable> copy = width ? nullptr : content.clone();
    if (copy) {
      held_.push_back(Held{std::move(copy), width, {}});
    } else {
      held_.push_back(Held{nullptr, width, lay_out(content, width)});
    }
    refresh();
    return *this;
  }
  append_rows(lay_out(content, width));
  return *this;
}

RichLog& RichLog::write(std::shared_ptr<const Renderable> content, std::optional<int> width) {
  if (!content) return *this;
  if (holding()) {
    held_.push_back(Held{std::move(content), width, {}});
    refresh();
    return *this;
  }
  append_rows(lay_out(*content, width));
  return *this;
}

void RichLog::content_resized() {
  if (held_.empty() || size().width <= 0) return;
  auto held = std::move(held_);
  held_.clear();
  std::vector<Strip> rows;
  for (auto& h : held) {
    auto part = h.content ? lay_out(*h.content, h.width) : std::move(h.rows);
    rows.insert(rows.end(), std::make_move_iterator(part.begin()),
                std::make_move_iterator(part.end()));
  }
  append_rows(std::move(rows));
}

std::vector<Strip> RichLog::lay_out(const Renderable& content, std::optional<int> width) {
  int w = width ? *width : (size().width > 0 ? size().width : console_.width());
  w = std::max(1, w);
  std::vector<Strip> rows;
  const auto* text = dynamic_cast<const Text*>(&content);
  if (!options_.wrap && text && !text->no_wrap) {
    // Unwrapped: one row per line, as wide as the line.
    Text copy = *text;
    copy.no_wrap = true;
    copy.overflow = Overflow::Crop;
    int widest = w;
    for (const auto& line : copy.split_lines()) widest = std::max(widest, line.cell_len());
    rows = copy.render_lines(console_, widest);
  } else {
    rows = console_.render_lines(content, w);
  }
  return rows;
}

RichLog& RichLog::write(std::string_view text, std::optional<int> width) {
  return write(Text(text), width);
}

void RichLog::append_rows(std::vector<Strip> rows) {
  append_rows(std::span<Strip>(rows));
}

void RichLog::append_rows(std::span<Strip> rows) {
  if (off_screen_) {
    for (auto& r : rows) {
      widest_ = std::max(widest_, r.cell_length());
      lines_.push_back(std::move(r));
    }
    return;
  }
  const bool follow = options_.auto_scroll && (!options_.stay_when_scrolled_up || at_end());
  for (auto& r : rows) {
    widest_ = std::max(widest_, r.cell_length());
    lines_.push_back(std::move(r));
  }
  if (options_.max_lines > 0 && static_cast<int>(lines_.size()) > options_.max_lines) {
    const auto drop = lines_.size() - static_cast<std::size_t>(options_.max_lines);
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(drop));
    ++rows_epoch_;
    if (!follow) scroll_to(scroll_offset().y - static_cast<int>(drop));
  }
  if (follow) scroll_end();
  refresh();
}

std::vector<Strip> RichLog::take_lines(std::size_t expected) {
  ++rows_epoch_;
  widest_ = 0;
  std::vector<Strip> fresh;
  fresh.reserve(expected);
  return std::exchange(lines_, std::move(fresh));
}

void RichLog::swap_rows(std::vector<Strip>& rows, bool off_screen) {
  lines_.swap(rows);
  off_screen_ = off_screen;
}

void RichLog::prepend_rows(std::vector<Strip> rows) {
  if (rows.empty()) return;
  const int n = static_cast<int>(rows.size());
  const int y = scroll_offset().y;
  const bool follow = at_end();
  for (const auto& r : rows) widest_ = std::max(widest_, r.cell_length());
  rows.reserve(rows.size() + lines_.size());
  rows.insert(rows.end(), std::make_move_iterator(lines_.begin()),
              std::make_move_iterator(lines_.end()));
  lines_ = std::move(rows);
  ++rows_epoch_;
  if (follow) {
    scroll_end();
  } else {
    scroll_to(y + n);
  }
  refresh();
}

void RichLog::drop_rows_from(std::size_t first) {
  if (first >= lines_.size()) return;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(first), lines_.end());
  refresh();
}

void RichLog::clear() {
  held_.clear();
  lines_.clear();
  ++rows_epoch_;
  widest_ = 0;
  scroll_home();
  scroll_end();  // an empty log is at its end: the next write is followed again
  refresh();
}

Strip RichLog::render_line(int y) {
  const long long idx = static_cast<long long>(scroll_offset().y) + y;
  if (y < 0 || idx < 0 || idx >= static_cast<long long>(lines_.size())) return Strip();
  return lines_[static_cast<std::size_t>(idx)];
}

const Strip* RichLog::stored_line(int y) {
  const long long idx = static_cast<long long>(scroll_offset().y) + y;
  if (y < 0 || idx < 0 || idx >= static_cast<long long>(lines_.size())) return nullptr;
  return &lines_[static_cast<std::size_t>(idx)];
}

bool RichLog::on_key(const KeyEvent& e) {
  if (e.key == "pageup") {
    scroll_page_up();
  } else if (e.key == "pagedown") {
    scroll_page_down();
  } else if (e.key == "up") {
    scroll_relative(-1);
  } else if (e.key == "down") {
    scroll_relative(1);
  } else if (e.key == "home") {
    scroll_home();
  } else if (e.key == "end") {
    scroll_end();
  } else {
    return false;
  }
  return true;
}

}  // namespace orvo::tui
