// Hanging rows: the body laid out beside its leads.
#include "tui/widgets/scrivlet/hanging.hpp"

#include <algorithm>

namespace orvo::tui::scrivlet {

std::vector<Strip> HangingText::render_lines(const Console& console, int width) const {
  const int lead = std::max(lead_.cell_len(), cont_.cell_len());
  // Too narrow for a body beside the lead: the whole item wraps as one text.
  if (width - lead < 2) {
    Text all = lead_;
    all.append(body_);
    return all.render_lines(console, width);
  }
  std::vector<Strip> rows = body_.render_lines(console, width - lead);
  if (rows.empty()) rows.emplace_back();
  const Strip first = lead_.to_strip(), rest = cont_.to_strip();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Strip& head = i == 0 ? first : rest;
    std::vector<Segment> segs;
    segs.reserve(head.segments().size() + rows[i].segments().size());
    segs.insert(segs.end(), head.segments().begin(), head.segments().end());
    segs.insert(segs.end(), rows[i].segments().begin(), rows[i].segments().end());
    rows[i] = Strip(std::move(segs), head.cell_length() + rows[i].cell_length());
  }
  return rows;
}

}  // namespace orvo::tui::scrivlet
