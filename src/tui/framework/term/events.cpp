#include "tui/framework/term/events.hpp"

#include <cstdio>

namespace orvo::tui {

namespace {

std::string mods_text(std::uint8_t m) {
  std::string s;
  for (const ModifierName& mod : kModifierNames) {
    if (m & mod.bit) (s += ' ') += mod.name;
  }
  return s;
}

std::string quoted(std::string_view text) {
  std::string s = "\"";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      s += "\\x";
      s += kHex[b >> 4];
      s += kHex[b & 15];
    } else if (c == '"' || c == '\\') {
      s += '\\';
      s += c;
    } else {
      s += c;
    }
  }
  return s + "\"";
}

}  // namespace

std::string modifier_prefix(std::uint8_t mods) {
  std::string p;
  for (const ModifierName& mod : kModifierNames) {
    if (mods & mod.bit) (p += mod.name) += '+';
  }
  return p;
}

std::uint8_t take_modifier_prefixes(std::string_view& key) {
  std::uint8_t bits = 0;
  for (bool found = true; found;) {
    found = false;
    for (const ModifierName& mod : kModifierNames) {
      const std::size_t n = mod.name.size();
      if (key.size() > n + 1 && key.substr(0, n) == mod.name && key[n] == '+') {
        bits |= mod.bit;
        key.remove_prefix(n + 1);
        found = true;
      }
    }
  }
  return bits;
}

std::string describe(const InputEvent& event) {
  struct Visitor {
    std::string operator()(const KeyEvent& k) const {
      std::string s = "key(" + k.key;
      if (!k.character.empty()) s += " '" + k.character + "'";
      return s + ")";
    }
    std::string operator()(const MouseEvent& m) const {
      static constexpr const char* kKinds[] = {"down", "up", "move", "scroll_up", "scroll_down"};
      static constexpr const char* kButtons[] = {"none", "left", "middle", "right"};
      std::string s = "mouse(";
      s += kKinds[static_cast<int>(m.kind)];
      if (m.button != MouseButton::None) {
        s += ' ';
        s += kButtons[static_cast<int>(m.button)];
      }
      s += ' ' + std::to_string(m.x) + ',' + std::to_string(m.y) + mods_text(m.modifiers) + ')';
      return s;
    }
    std::string operator()(const PasteEvent& p) const { return "paste(" + quoted(p.text) + ")"; }
    std::string operator()(const ResizeEvent& r) const {
      return "resize(" + std::to_string(r.width) + 'x' + std::to_string(r.height) + ')';
    }
    std::string operator()(const RedrawEvent&) const { return "redraw"; }
    std::string operator()(const ColorReplyEvent& c) const {
      char buf[40];
      std::snprintf(buf, sizeof buf, "color(%d %04x/%04x/%04x)", c.slot, c.red, c.green, c.blue);
      return buf;
    }
    std::string operator()(const DeviceAttributesEvent&) const { return "device-attributes"; }
  };
  return std::visit(Visitor{}, event);
}

}  // namespace orvo::tui
