// Anything a Console can print or a log widget can write: it lays itself out into rows.
#pragma once

#include <memory>
#include <vector>

#include "tui/framework/text/segment.hpp"

namespace orvo::tui {

class Console;

class Renderable {
 public:
  virtual ~Renderable() = default;
  // The rows of this renderable at `width` cells; no row is wider than `width`. `console`
  // supplies the theme (get_style) and colour settings.
  virtual std::vector<Strip> render_lines(const Console& console, int width) const = 0;
  // A copy, for laying it out later (a log that does not know its width yet holds one); nullptr
  // when this kind cannot be copied.
  virtual std::unique_ptr<Renderable> clone() const { return nullptr; }
};

}  // namespace orvo::tui
