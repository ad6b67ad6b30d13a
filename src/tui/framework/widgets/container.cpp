#include "tui/framework/widgets/container.hpp"

#include <utility>

namespace orvo::tui {

Container::Container(std::string id) : WidgetType(std::move(id)) {}

}  // namespace orvo::tui
