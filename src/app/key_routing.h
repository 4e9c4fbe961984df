#pragma once

// The panel's keyboard map as a pure function: what one key or mouse event
// does to the instrument, from what the event carries. Keys are known by
// their hardware scan code (on X11 and Wayland the evdev code + 8), so the
// pads sit under the same fingers on every keyboard layout and with Num Lock
// on or off; only B, E, W, Q and Z go by the characters they type.
//
// The modifiers are named for their role here: Command is Ctrl (Ctrl-W
// hides, Ctrl-Q quits, Ctrl-Z undoes), Option is Alt and Control is Meta
// (the Super key). Shift alone never makes a key a command.

#include <cstdint>
#include <string_view>

namespace quimbel {

// What the instrument knows a key as, by its position on the keyboard.
enum class PanelKey : std::uint8_t { other, pad, hold, tab, space, escape, up, down };

struct KnownKey {
  PanelKey key = PanelKey::other;
  int pad = -1;   // pad: 0 … 6
  char hold = 0;  // hold: '8', '9' or '0'
};

// The one table of scan codes: top-row and keypad digits, Tab, Space,
// Escape and the vertical arrows.
KnownKey keyForScanCode(std::uint32_t scanCode);

enum class InputKind : std::uint8_t {
  keyDown,
  keyUp,
  modifiersChanged,  // a modifier key (Shift, Ctrl, Alt, Meta, Caps Lock) went down or up
  mouseDown,         // left or right button
  other,
};

struct Modifiers {
  bool shift = false;
  bool control = false;  // Meta
  bool option = false;   // Alt
  bool command = false;  // Ctrl
};

struct KeyInput {
  InputKind kind = InputKind::other;
  std::uint32_t scanCode = 0;
  // What the key types with no modifier but Shift, UTF-8; empty for keys
  // that type nothing.
  std::string_view characters;
  // The modifiers held once the event has happened.
  Modifiers modifiers;
  bool repeat = false;
};

// Which of the panel's signals an event ends in.
enum class KeyCall : std::uint8_t {
  none,
  padKey,      // pad, down
  tab,         // down
  shift,       // down = Shift held
  hold,        // hold, down
  space,       // down
  controlKey,  // control
  click,
  escape,
  undo,
  quit,
};

struct KeyRoute {
  KeyCall call = KeyCall::none;
  // The event stops at the panel; otherwise it goes on to the widgets.
  bool consumed = false;
  int pad = -1;
  bool down = false;
  char hold = 0;
  std::string_view control;  // "up", "down", "b" or "e"

  bool operator==(const KeyRoute&) const = default;
};

KeyRoute routeKey(const KeyInput& input);

}  // namespace quimbel
