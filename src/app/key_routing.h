#pragma once

// The panel's keyboard map as a pure function: what one key or mouse event
// does to the instrument, from what the event carries. A key whose symbol
// names one of the panel's keys (a digit, Escape, Tab, Space, an arrow, B,
// E, W, Q or Z) is that key wherever it sits: keyboards that bring their own
// key map (on-screen, remote and virtual keyboards) put their symbols on any
// key code. Every other key is known by its hardware scan code (on X11 and
// Wayland the evdev code + 8), so the pads sit under the same fingers on
// every layout: AZERTY's number row types & é " ' ( - è and Shift-1 types
// "!", and both still play their pads, as does the keypad with Num Lock off.
//
// The modifiers are named for their role here: Command is Ctrl (Ctrl-W
// hides, Ctrl-Q quits, Ctrl-Z undoes), Option is Alt and Control is Meta
// (the Super key). Shift alone never makes a key a command.

#include <cstdint>
#include <optional>
#include <string_view>

namespace quimbel {

// What the instrument knows a key as.
enum class PanelKey : std::uint8_t { other, pad, hold, tab, space, escape, up, down };

struct KnownKey {
  PanelKey key = PanelKey::other;
  int pad = -1;   // pad: 0 … 6
  char hold = 0;  // hold: '8', '9' or '0'
};

// The one table of scan codes: top-row and keypad digits, Tab, Space,
// Escape and the vertical arrows.
KnownKey keyForScanCode(std::uint32_t scanCode);

// The key a symbol names (see KeyInput::symbol); nothing for a symbol that
// names none of the panel's keys, whose place then decides. The letters
// are known as `other`: they go by their characters.
std::optional<KnownKey> keyForSymbol(std::string_view symbol);

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
  // The key's symbol, as the panel names it: a digit "0" … "9" (top row,
  // or keypad with Num Lock on), "escape", "tab", "space", "up" or "down"
  // (the arrow keys, not the keypad's), or a lower-case letter "a" … "z";
  // empty for every other symbol.
  std::string_view symbol;
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
