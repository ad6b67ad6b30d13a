// A row item whose continuation rows keep the indent (and gutter) of its first row: the lead is
// drawn on the first row, the continuation lead on every further row, and the body is wrapped by
// terminal cells in the width left beside them. A body with line breaks keeps them.
#pragma once

#include <memory>
#include <vector>

#include "tui/framework/text/renderable.hpp"
#include "tui/framework/text/text.hpp"

namespace orvo::tui::scrivlet {

class HangingText : public Renderable {
 public:
  HangingText(Text lead, Text continuation, Text body)
      : lead_(std::move(lead)), cont_(std::move(continuation)), body_(std::move(body)) {}

  std::vector<Strip> render_lines(const Console& console, int width) const override;
  std::unique_ptr<Renderable> clone() const override {
    return std::make_unique<HangingText>(*this);
  }

 private:
  Text lead_, cont_, body_;
};

// A lead of `cells` spaces (the continuation of a lead that is that wide).
inline Text spaces(int cells) {
  return Text(std::string(static_cast<std::size_t>(cells > 0 ? cells : 0), ' '));
}

}  // namespace orvo::tui::scrivlet
