#include "output/indicator_text.hpp"

#include <cmath>
#include <cstdio>

#include "output/output_manager.hpp"

namespace orvo::indicator {

std::string_view icon(std::uint64_t frame) {
  return OutputManager::ICONS[frame % OutputManager::ICONS.size()];
}

std::string_view label(double elapsed) {
  constexpr auto n = static_cast<long long>(OutputManager::LABELS.size());
  const auto block = static_cast<long long>(std::floor(std::floor(elapsed) / 6));
  return OutputManager::LABELS[static_cast<std::size_t>(((block % n) + n) % n)];
}

std::string time_text(double elapsed) {
  char buf[64];
  if (elapsed < 60) {
    // + 0.0 turns the -0 of a clock that stepped back a little into 0.
    std::snprintf(buf, sizeof buf, "%.0fs", std::nearbyint(elapsed) + 0.0);
  } else {
    const auto minutes = static_cast<long long>(std::floor(elapsed / 60));
    const auto seconds = static_cast<int>(std::floor(std::fmod(elapsed, 60.0)));
    std::snprintf(buf, sizeof buf, "%lldm%02ds", minutes, seconds);
  }
  return buf;
}

std::string status_text(std::string_view icon, std::string_view label, std::string_view time) {
  std::string s = " ";
  s.append(icon).append(" ").append(label).append("... (").append(time).append(")");
  return s;
}

}  // namespace orvo::indicator
