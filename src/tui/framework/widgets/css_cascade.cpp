#include "tui/framework/widgets/css_cascade.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <tuple>

#include "tui/framework/text/style.hpp"
#include "tui/framework/widgets/widget.hpp"

namespace orvo::tui {

std::tuple<int, int, int> Selector::specificity() const {
  int ids = 0, classes = 0, types = 0;
  for (const auto& p : parts) {
    if (!p.id.empty()) ++ids;
    classes += static_cast<int>(p.classes.size());
    if (!p.type.empty() && p.type != "*") ++types;
  }
  return {ids, classes, types};
}

namespace {

bool compound_matches(const CompoundSelector& c, const Selectable& n) {
  if (!c.id.empty() && c.id != n.css_id()) return false;
  if (!c.type.empty() && c.type != "*") {
    const auto& types = n.css_types();
    if (std::find(types.begin(), types.end(), c.type) == types.end()) return false;
  }
  for (const auto& cls : c.classes) {
    const auto& have = n.css_classes();
    if (std::find(have.begin(), have.end(), cls) == have.end()) return false;
  }
  return true;
}

}  // namespace

bool matches(const Selector& s, const Selectable& node) {
  if (s.parts.empty() || !compound_matches(s.parts.back(), node)) return false;
  // Remaining parts must match ancestors in order; greedy nearest-ancestor matching is exact for
  // descendant-only chains.
  const Selectable* anc = node.css_parent();
  for (std::size_t i = s.parts.size() - 1; i-- > 0;) {
    while (anc && !compound_matches(s.parts[i], *anc)) anc = anc->css_parent();
    if (!anc) return false;
    anc = anc->css_parent();
  }
  return true;
}

Styles cascade(const std::vector<Rule>& rules, const Selectable& node) {
  struct Hit {
    std::tuple<int, int, int> specificity;
    std::size_t order;
  };
  std::vector<Hit> hits;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    std::optional<std::tuple<int, int, int>> best;
    for (const auto& sel : rules[i].selectors) {
      if (matches(sel, node)) {
        auto sp = sel.specificity();
        if (!best || sp > *best) best = sp;
      }
    }
    if (best) hits.push_back({*best, i});
  }
  std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
    return std::tie(a.specificity, a.order) < std::tie(b.specificity, b.order);
  });
  Styles out;
  for (const auto& h : hits) out.merge(rules[h.order].styles);
  return out;
}

Styles Stylesheet::compute(const Selectable& node) const {
  return cascade(rules_, node);
}

void StyleCascade::apply(Widget& root, const std::vector<Rule>& rules) {
  root.styles_ = cascade(rules, root);
  // Colours are inherited; the parent's base style is final by now (the walk goes down).
  Style base = root.parent_ ? root.parent_->base_style_ : Style{};
  if (root.styles_.color) base = base.with_color(*root.styles_.color);
  if (root.styles_.background) base = base.with_bgcolor(*root.styles_.background);
  root.base_style_ = base;
  for (auto& c : root.children_) apply(*c, rules);
}

}  // namespace orvo::tui
