// Screen: the root of a widget tree.
#pragma once

#include <string>
#include <string_view>

#include "tui/framework/widgets/widget.hpp"

namespace orvo::tui {

// The root of a widget tree that fills the terminal. Applications install named screens and
// switch between them.
class Screen : public WidgetType<Screen> {
 public:
  static constexpr std::string_view CSS_TYPE = "Screen";
  static constexpr std::string_view DEFAULT_CSS =
      "Screen { layout: vertical; background: $background; color: $foreground; }";
  explicit Screen(std::string id = "");

  // Each time the screen becomes the current one of a running application (the first time
  // after on_mount): a screen shown again may have to catch up with what changed meanwhile.
  virtual void on_show() {}

  // The smallest terminal the screen's layout works in. On a smaller one the application draws
  // "terminal too small (W×H)" instead of a broken layout, and mouse input is not delivered;
  // keys still are. {0, 0}: any size.
  Size min_size() const { return min_size_; }
  void set_min_size(Size size) { min_size_ = size; }

 private:
  Size min_size_{0, 0};
};

}  // namespace orvo::tui
