#include "app/key_routing.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace quimbel {

namespace {

struct ScanCodeEntry {
  std::uint32_t scanCode;
  KnownKey known;
};

constexpr KnownKey pad(int index) { return {PanelKey::pad, index, 0}; }
constexpr KnownKey hold(char key) { return {PanelKey::hold, -1, key}; }
constexpr KnownKey plain(PanelKey key) { return {key, -1, 0}; }

// X11 key codes, evdev + 8. The keypad keeps its codes with Num Lock off,
// when Qt reports its keys as Home, End and the arrows.
constexpr std::array<ScanCodeEntry, 25> kScanCodes{{
    {10, pad(0)},  // 1
    {11, pad(1)},
    {12, pad(2)},
    {13, pad(3)},
    {14, pad(4)},
    {15, pad(5)},
    {16, pad(6)},  // 7
    {87, pad(0)},  // keypad 1
    {88, pad(1)},
    {89, pad(2)},
    {83, pad(3)},
    {84, pad(4)},
    {85, pad(5)},
    {79, pad(6)},  // keypad 7
    {17, hold('8')},
    {80, hold('8')},  // keypad 8
    {18, hold('9')},
    {81, hold('9')},  // keypad 9
    {19, hold('0')},
    {90, hold('0')},  // keypad 0
    {23, plain(PanelKey::tab)},
    {65, plain(PanelKey::space)},
    {9, plain(PanelKey::escape)},
    {111, plain(PanelKey::up)},
    {116, plain(PanelKey::down)},
}};

struct SymbolEntry {
  std::string_view symbol;
  KnownKey known;
};

constexpr std::array<SymbolEntry, 20> kSymbols{{
    {"1", pad(0)},
    {"2", pad(1)},
    {"3", pad(2)},
    {"4", pad(3)},
    {"5", pad(4)},
    {"6", pad(5)},
    {"7", pad(6)},
    {"8", hold('8')},
    {"9", hold('9')},
    {"0", hold('0')},
    {"tab", plain(PanelKey::tab)},
    {"space", plain(PanelKey::space)},
    {"escape", plain(PanelKey::escape)},
    {"up", plain(PanelKey::up)},
    {"down", plain(PanelKey::down)},
    {"b", plain(PanelKey::other)},
    {"e", plain(PanelKey::other)},
    {"w", plain(PanelKey::other)},
    {"q", plain(PanelKey::other)},
    {"z", plain(PanelKey::other)},
}};

std::string lowerCased(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

KeyRoute consumed() { return {.consumed = true}; }
KeyRoute passed() { return {}; }
KeyRoute called(KeyCall call, bool down) { return {.call = call, .consumed = true, .down = down}; }
KeyRoute control(std::string_view name) {
  return {.call = KeyCall::controlKey, .consumed = true, .control = name};
}

// Key downs that are not the instrument's own: Escape, and the Command
// shortcuts when Command is the only command modifier held.
KeyRoute commandKey(const KeyInput& input, const KnownKey& known) {
  // Escape hides or steps back whatever else is held, and repeats do so too.
  if (known.key == PanelKey::escape) return {.call = KeyCall::escape, .consumed = true};
  const Modifiers& m = input.modifiers;
  if (m.command && !m.option && !m.control) {
    if (input.characters == "w") return {.call = KeyCall::escape, .consumed = true};
    if (input.characters == "q") return {.call = KeyCall::quit, .consumed = true};
    // Ctrl-Shift-Z undoes as well.
    if (lowerCased(input.characters) == "z") return {.call = KeyCall::undo, .consumed = true};
  }
  return passed();
}

}  // namespace

KnownKey keyForScanCode(std::uint32_t scanCode) {
  for (const ScanCodeEntry& entry : kScanCodes) {
    if (entry.scanCode == scanCode) return entry.known;
  }
  return {};
}

std::optional<KnownKey> keyForSymbol(std::string_view symbol) {
  for (const SymbolEntry& entry : kSymbols) {
    if (entry.symbol == symbol) return entry.known;
  }
  return std::nullopt;
}

KeyRoute routeKey(const KeyInput& input) {
  switch (input.kind) {
    case InputKind::mouseDown:
      // The click still reaches the views under it.
      return {.call = KeyCall::click};
    case InputKind::modifiersChanged:
      // Every modifier key reports whether Shift is held now: Caps Lock or
      // Ctrl alone report it off.
      return {.call = KeyCall::shift, .down = input.modifiers.shift};
    case InputKind::other:
      return passed();
    case InputKind::keyDown:
    case InputKind::keyUp:
      break;
  }

  const bool down = input.kind == InputKind::keyDown;
  const KnownKey known = keyForSymbol(input.symbol).value_or(keyForScanCode(input.scanCode));
  const Modifiers& m = input.modifiers;

  // A release ends what its press started, whatever was pressed since: a pad
  // let go while Ctrl is down must not stay held.
  const bool holdingKey =
      known.key == PanelKey::pad || known.key == PanelKey::hold || known.key == PanelKey::space;
  if ((m.control || m.option || m.command) && !(holdingKey && !down)) {
    // Alt-Tab and Ctrl-Tab still hold sevenths; every other key with a
    // command modifier is a shortcut or belongs to someone else.
    if (known.key == PanelKey::tab) return input.repeat ? consumed() : called(KeyCall::tab, down);
    if (!down) return passed();
    return commandKey(input, known);
  }

  // A held key repeats; the instrument wants one press and one release.
  switch (known.key) {
    case PanelKey::pad:
      if (input.repeat) return consumed();
      return {.call = KeyCall::padKey, .consumed = true, .pad = known.pad, .down = down};
    case PanelKey::tab:
      return input.repeat ? consumed() : called(KeyCall::tab, down);
    case PanelKey::space:
      return input.repeat ? consumed() : called(KeyCall::space, down);
    case PanelKey::hold:
      if (input.repeat) return consumed();
      return {.call = KeyCall::hold, .consumed = true, .down = down, .hold = known.hold};
    default:
      break;
  }
  if (!down) return passed();
  // Holding an arrow turns the knob step by step.
  if (known.key == PanelKey::up) return control("up");
  if (known.key == PanelKey::down) return control("down");

  const std::string letter = lowerCased(input.characters);
  if (letter == "b" || letter == "e") {
    // The one-shot keys: a held E advances the knob only once.
    if (input.repeat) return consumed();
    return control(letter == "b" ? std::string_view("b") : std::string_view("e"));
  }
  // A plain W does nothing and reaches no view.
  if (letter == "w") return consumed();
  return commandKey(input, known);
}

}  // namespace quimbel
