// Input events produced by the input parser and the drivers.
//
// Key names are normalised strings:
//   - a printable character is named by itself: "a", "A", "1", "!", "é", "界"; the space bar is
//     "space". Shift is implied by the character and never spelled out for printable keys.
//   - named keys: "enter", "tab", "shift+tab", "backspace", "delete", "insert", "escape", "up",
//     "down", "left", "right", "home", "end", "pageup", "pagedown", "f1" .. "f12".
//   - control characters: "ctrl+a" .. "ctrl+z" (except the ones that are named keys: ctrl+i is
//     "tab", ctrl+m "enter", ctrl+h "backspace"), "ctrl+space" (NUL), "ctrl+\\", "ctrl+]",
//     "ctrl+^", "ctrl+_".
//   - modifiers are prefixes in the fixed order "ctrl+", "alt+", "shift+": "ctrl+up",
//     "shift+pageup", "ctrl+alt+shift+f5", "alt+x", "alt+X", "alt+enter", "ctrl+alt+a".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace orvo::tui {

// Modifier bits of a key or mouse event.
inline constexpr std::uint8_t kModNone = 0;
inline constexpr std::uint8_t kModShift = 1;
inline constexpr std::uint8_t kModAlt = 2;
inline constexpr std::uint8_t kModCtrl = 4;

// Each modifier bit with the name key names spell it with, in the order a key name writes them
// ("ctrl+alt+shift+up").
struct ModifierName {
  std::uint8_t bit;
  std::string_view name;
};
inline constexpr ModifierName kModifierNames[] = {
    {kModCtrl, "ctrl"}, {kModAlt, "alt"}, {kModShift, "shift"}};

// The prefix of a key name for `mods`: "ctrl+alt+" for kModCtrl | kModAlt.
std::string modifier_prefix(std::uint8_t mods);
// Takes the modifier prefixes off the front of `key` (in any order) and returns their bits:
// "shift+ctrl+up" leaves "up" and returns kModCtrl | kModShift. A prefix must be followed by a
// key: "ctrl+" alone is left as it is.
std::uint8_t take_modifier_prefixes(std::string_view& key);

struct KeyEvent {
  std::string key;        // normalised name, see above
  std::string character;  // the UTF-8 text the key types ("" for keys that type nothing)
  std::uint8_t modifiers = kModNone;  // kMod* bits, also for printable keys with alt

  // True when the key types text (a printable character or space, without ctrl or alt).
  bool is_printable() const { return !character.empty(); }
  bool operator==(const KeyEvent&) const = default;
};

enum class MouseKind : std::uint8_t {
  Down,        // a button was pressed
  Up,          // a button was released
  Move,        // the pointer moved while a button is held (a drag)
  ScrollUp,    // wheel turned away from the user
  ScrollDown,  // wheel turned towards the user
};

enum class MouseButton : std::uint8_t { None, Left, Middle, Right };

// Coordinates: as the parser and the driver report them, relative to the screen; a widget's
// on_mouse_* handlers get them relative to its content area (the area render_line draws, inside
// border, padding and scrollbar), so column x of an event there is column x of its row.
struct MouseEvent {
  MouseKind kind = MouseKind::Down;
  MouseButton button = MouseButton::None;  // the button pressed, released or held while moving
  int x = 0;                               // column, 0-based (see above)
  int y = 0;                               // row, 0-based
  std::uint8_t modifiers = kModNone;       // kMod* bits
  bool operator==(const MouseEvent&) const = default;
};

// A bracketed paste: the pasted text as one event, never interpreted as keys. Invalid UTF-8 is
// replaced by U+FFFD; line breaks are kept as the terminal sent them (usually CR).
struct PasteEvent {
  std::string text;
  bool operator==(const PasteEvent&) const = default;
};

// The terminal has a new size; the screen must be laid out and repainted at it.
struct ResizeEvent {
  int width = 0;
  int height = 0;
  bool operator==(const ResizeEvent&) const = default;
};

// The terminal's content is gone (the program was suspended and resumed): repaint every cell,
// i.e. FrameDiffer::invalidate() and draw a full frame.
struct RedrawEvent {
  bool operator==(const RedrawEvent&) const = default;
};

// The terminal's answer to a colour query (OSC 10/11/4 ... ; ?): which colour (11 is the
// default background) and its value, each channel scaled to 0..65535 whatever precision the
// terminal used.
struct ColorReplyEvent {
  int slot = 11;  // the OSC number the reply came with
  std::uint16_t red = 0;
  std::uint16_t green = 0;
  std::uint16_t blue = 0;
  bool operator==(const ColorReplyEvent&) const = default;
};

// The terminal's answer to the primary device attributes query (CSI c): every terminal answers
// it, in order with other queries, so it marks that the answers to earlier queries are in.
struct DeviceAttributesEvent {
  bool operator==(const DeviceAttributesEvent&) const = default;
};

using InputEvent = std::variant<KeyEvent, MouseEvent, PasteEvent, ResizeEvent, RedrawEvent,
                                ColorReplyEvent, DeviceAttributesEvent>;

// A readable one-line description, for tests and debugging: "key(ctrl+a)", "key(a 'a')",
// "mouse(down left 3,4)", "mouse(move left 3,4 ctrl)", "paste(\"...\")", "resize(80x24)", "redraw",
// "color(11 ffff/ffff/ffff)", "device-attributes".
std::string describe(const InputEvent& event);

}  // namespace orvo::tui
