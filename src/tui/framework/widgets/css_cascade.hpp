// Applying stylesheets: selector matching and the cascade (declared in css.hpp), and the styles
// of every widget of a tree computed from the rules.
#pragma once

#include <vector>

#include "tui/framework/widgets/css.hpp"

namespace orvo::tui {

class Widget;

struct StyleCascade {
  // Gives `root` and every widget under it the merged styles of the rules that match it, and
  // its base style: the colour and background it sets or inherits.
  static void apply(Widget& root, const std::vector<Rule>& rules);
};

}  // namespace orvo::tui
