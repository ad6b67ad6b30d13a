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
};

}  // namespace orvo::tui
