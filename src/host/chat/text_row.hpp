// One row of styled text set from code, never parsed as markup: the chat's status row and key
// legend show text that can come from the model (a stage), so brackets must stay brackets.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tui/framework/widgets/widget.hpp"

namespace orvo::host {

class TextRow : public tui::Widget {
 public:
  static constexpr std::string_view DEFAULT_CSS = "TextRow { height: 1; }";
  explicit TextRow(std::string id = "") : Widget(std::move(id)) {
    declare_css_type("TextRow", DEFAULT_CSS);
  }
  void set(std::vector<tui::Segment> segments) {
    tui::Strip row(std::move(segments));
    if (row == row_) return;
    row_ = std::move(row);
    refresh();
  }
  std::string text() const { return row_.text(); }
  tui::Strip render_line(int y) override {
    if (y != 0) return tui::Strip();
    return row_.crop(0, size().width);
  }
  int content_height(int) override { return 1; }

 private:
  tui::Strip row_;
};

}  // namespace orvo::host
