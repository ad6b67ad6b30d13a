// Test hooks of the output controller.
#pragma once

#include <optional>

namespace orvo::testing {

// Makes _cols() return `cols` (or the real terminal width again with nullopt).
void set_cols_override(std::optional<int> cols);

// Makes the indicator read this clock instead of the wall clock (nullopt: wall clock again).
void set_clock_override(std::optional<double> now);

}  // namespace orvo::testing
