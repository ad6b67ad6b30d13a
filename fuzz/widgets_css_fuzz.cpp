// Stylesheet parser: any bytes either parse or raise CssError; nothing else may escape.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tui/framework/widgets/css.hpp"

namespace {

// A node that every type, id and class selector of the input can be matched against.
struct Node : orvo::tui::Selectable {
  std::string id = "picker-box";
  std::vector<std::string> types = {"Static", "Widget"};
  std::vector<std::string> classes = {"menu"};
  const Node* parent = nullptr;
  const std::string& css_id() const override { return id; }
  const std::vector<std::string>& css_types() const override { return types; }
  const std::vector<std::string>& css_classes() const override { return classes; }
  const Selectable* css_parent() const override { return parent; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view css(reinterpret_cast<const char*>(data), size);
  orvo::tui::Stylesheet sheet;
  try {
    sheet.add(css, "fuzz");
  } catch (const orvo::tui::CssError& e) {
    if (e.line() < 1) __builtin_trap();
    return 0;
  }
  Node root;
  root.types = {"Screen", "Widget"};
  Node child;
  child.parent = &root;
  (void)sheet.compute(child);
  return 0;
}
