// Which of the two looks the interface draws: light text on a dark background (the default) or
// dark text on a light one. Chosen once per run, from the settings or the terminal's background.
#pragma once

#include <cstdint>

namespace orvo::tui {

enum class ThemeKind : std::uint8_t { dark, light };

}  // namespace orvo::tui
