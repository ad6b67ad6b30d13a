// Styles written for the dark look, drawn in the look of the run.
//
// The interface's own styles are written once, as they look on a dark background ("bold
// #32cd32", "dim red", "#d72b6b on #2a2a2a"). The light look is the same styles with each colour
// that would lose its contrast on white swapped for a darker (or, for backgrounds, lighter) one
// of the same meaning; attributes and every other colour stay.
#pragma once

#include <string>
#include <string_view>

#include "tui/framework/text/style.hpp"
#include "tui/framework/text/theme_kind.hpp"

namespace orvo::tui {

// `dark_definition` as it reads in `kind`: itself for dark, the colours swapped for light.
std::string themed_definition(std::string_view dark_definition, ThemeKind kind);

// The parsed style of themed_definition, cached (the reference stays valid for the process).
// Throws StyleSyntaxError on a bad definition.
const Style& themed(std::string_view dark_definition, ThemeKind kind);

// The code highlighting theme of the look: "monokai" for dark, "github-light" for light.
std::string_view code_theme_for(ThemeKind kind);

}  // namespace orvo::tui
