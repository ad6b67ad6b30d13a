#include "tui/framework/widgets/static.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "tui/framework/text/text.hpp"
#include "tui/framework/widgets/app.hpp"

namespace orvo::tui {

Static::Static(std::string text, std::string id)
    : WidgetType(std::move(id)), text_(std::move(text)) {}

void Static::update(std::string text) {
  text_ = std::move(text);
  rows_width_ = -1;
  if (App* a = app()) a->invalidate_layout();
}

const std::vector<Strip>& Static::rows(int width) {
  if (width != rows_width_) {
    rows_ = width > 0 ? render_markup(text_).rich_wrap(width) : std::vector<Strip>{};
    rows_width_ = width;
  }
  return rows_;
}

Strip Static::render_line(int y) {
  const auto& r = rows(size().width);
  if (y < 0 || y >= static_cast<int>(r.size())) return Strip();
  return r[static_cast<std::size_t>(y)];
}

int Static::content_height(int width) {
  return static_cast<int>(rows(width).size());
}

int Static::content_width() {
  int w = 0;
  for (const auto& line : render_markup(text_).split_lines()) w = std::max(w, line.cell_len());
  return w;
}

}  // namespace orvo::tui
