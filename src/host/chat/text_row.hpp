// Rows of styled text set from code, never parsed as markup: the chat's status row and key
// legend show text that can come from the model (a stage), so brackets must stay brackets, and
// the queue above the status row shows prompts as typed.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tui/framework/widgets/app.hpp"
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

// As many rows as it is given (none: no height at all), each cut at the width.
class TextRows : public tui::Widget {
 public:
  static constexpr std::string_view DEFAULT_CSS = "TextRows { height: auto; }";
  explicit TextRows(std::string id = "") : Widget(std::move(id)) {
    declare_css_type("TextRows", DEFAULT_CSS);
  }
  void set(std::vector<tui::Strip> rows) {
    if (rows == rows_) return;
    const bool grew_or_shrank = rows.size() != rows_.size();
    rows_ = std::move(rows);
    if (grew_or_shrank) {
      if (auto* a = app()) a->invalidate_layout();
    }
    refresh();
  }
  std::string text() const {
    std::string s;
    for (const auto& r : rows_) s += r.text() + "\n";
    return s;
  }
  tui::Strip render_line(int y) override {
    if (y < 0 || y >= static_cast<int>(rows_.size())) return tui::Strip();
    return rows_[static_cast<std::size_t>(y)].crop(0, size().width);
  }
  int content_height(int) override { return static_cast<int>(rows_.size()); }

 private:
  std::vector<tui::Strip> rows_;
};

}  // namespace orvo::host
