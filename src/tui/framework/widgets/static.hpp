// Static: a widget showing text given as console markup.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tui/framework/text/segment.hpp"
#include "tui/framework/widgets/widget.hpp"

namespace orvo::tui {

// Text given as console markup ("[bold]x[/]"), wrapped to the widget's width.
class Static : public WidgetType<Static> {
 public:
  static constexpr std::string_view CSS_TYPE = "Static";
  static constexpr std::string_view DEFAULT_CSS = "Static { height: auto; }";
  explicit Static(std::string text = "", std::string id = "");

  // Replaces the content (markup) and repaints.
  void update(std::string text);
  const std::string& text() const { return text_; }

  Strip render_line(int y) override;
  int content_height(int width) override;
  int content_width() override;

 private:
  const std::vector<Strip>& rows(int width);
  std::string text_;
  std::vector<Strip> rows_;
  int rows_width_ = -1;
};

}  // namespace orvo::tui
