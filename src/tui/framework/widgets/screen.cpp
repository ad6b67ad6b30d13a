#include "tui/framework/widgets/screen.hpp"

#include <utility>

namespace orvo::tui {

Screen::Screen(std::string id) : WidgetType(std::move(id)) {}

}  // namespace orvo::tui
