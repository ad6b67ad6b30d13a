// The words and frames of the status indicator, for any front-end that shows a turn's progress
// the same way the output controller's own status block does.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvo::indicator {

// The icon of frame `frame` (the controller's first frame is 1; frames advance every tick).
std::string_view icon(std::uint64_t frame);

// The rotating word shown while a turn has no stage of its own: a new one every six seconds.
std::string_view label(double elapsed);

// Elapsed time as the indicator writes it: "7s", then "2m05s".
std::string time_text(double elapsed);

// The first row of the status block, without colour: " ◆ polishing... (7s)".
std::string status_text(std::string_view icon, std::string_view label, std::string_view time);

// What follows the status row once a turn has run a while.
inline constexpr std::string_view kStopHint = " · ctrl+c to stop";

}  // namespace orvo::indicator
