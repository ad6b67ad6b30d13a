// Telling a light terminal from a dark one: the query for the background colour, its reply, and
// the COLORFGBG hint some terminals export.
#pragma once

#include <optional>
#include <string_view>

#include "tui/framework/term/events.hpp"
#include "tui/framework/text/theme_kind.hpp"

namespace orvo::tui {

// Asks for the default background colour (OSC 11). ST-terminated: BEL inside a string is what
// old terminals that do not know OSC 11 would ring, and every terminal that answers understands
// ST (the reply itself may end with either; the parser takes both).
inline constexpr std::string_view kBackgroundQuery = "\x1b]11;?\x1b\\";

// The body of an OSC colour reply without the ESC ] and the terminator ("11;rgb:ffff/ffff/ffff"),
// or nullopt when it is no colour reply we can read. Colours: "rgb:R/G/B" and "rgba:R/G/B/A"
// with 1 to 4 hex digits per channel, "#RGB" with 1 to 4 digits per channel.
std::optional<ColorReplyEvent> parse_color_reply(std::string_view body);

// Relative luminance of the colour, 0 (black) to 1 (white), with the sRGB curve.
double relative_luminance(const ColorReplyEvent& color);

// Light when the background's relative luminance is above one half.
ThemeKind theme_for_background(const ColorReplyEvent& background);

// The hint of COLORFGBG ("fg;bg" or "fg;default;bg" with palette numbers): light for a
// background of 7 (white) or 9..15 but 8 (bright black), dark for 0..6 and 8; nullopt when the
// value says nothing (unset, "default", garbage).
std::optional<ThemeKind> theme_from_colorfgbg(const char* value);

}  // namespace orvo::tui
