// Container: a widget that only holds and lays out other widgets.
#pragma once

#include <string>
#include <string_view>

#include "tui/framework/widgets/widget.hpp"

namespace orvo::tui {

// A widget that holds other widgets (stacked vertically unless its style says otherwise).
class Container : public WidgetType<Container> {
 public:
  static constexpr std::string_view CSS_TYPE = "Container";
  static constexpr std::string_view DEFAULT_CSS = "Container { height: 1fr; layout: vertical; }";
  explicit Container(std::string id = "");
};

}  // namespace orvo::tui
