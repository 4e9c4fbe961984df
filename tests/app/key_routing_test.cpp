#include "app/key_routing.h"

#include <gtest/gtest.h>

#include <span>
#include <string>

namespace quimbel {
namespace {

// X11 scan codes of the keys the cases press.
constexpr std::uint32_t kDigit1 = 10, kDigit3 = 12, kDigit8 = 17, kKeypad5 = 84, kKeypad8 = 80;
constexpr std::uint32_t kTab = 23, kSpace = 65, kEscape = 9, kUp = 111;
constexpr std::uint32_t kB = 56, kE = 26, kW = 25, kQ = 24, kZ = 52, kCapsLock = 66;

constexpr Modifiers kNone{}, kShift{.shift = true}, kCtrl{.command = true}, kAlt{.option = true};
constexpr Modifiers kCtrlShift{.shift = true, .command = true};
constexpr InputKind kModifiers = InputKind::modifiersChanged;

KeyInput down(std::uint32_t code, std::string_view chars = "", Modifiers m = kNone,
              bool repeat = false) {
  return {InputKind::keyDown, code, chars, m, repeat};
}
KeyInput up(std::uint32_t code, std::string_view chars = "", Modifiers m = kNone,
            bool repeat = false) {
  return {InputKind::keyUp, code, chars, m, repeat};
}
KeyInput input(InputKind kind, std::uint32_t code, Modifiers m = kNone) {
  return {kind, code, "", m, false};
}

const KeyRoute kPassed{}, kSwallowed{.consumed = true};
KeyRoute call(KeyCall c, bool isDown = false) {
  return {.call = c, .consumed = true, .down = isDown};
}
KeyRoute pad(int index, bool isDown) {
  return {.call = KeyCall::padKey, .consumed = true, .pad = index, .down = isDown};
}
KeyRoute hold(char key, bool isDown) {
  return {.call = KeyCall::hold, .consumed = true, .down = isDown, .hold = key};
}
KeyRoute control(std::string_view name) {
  return {.call = KeyCall::controlKey, .consumed = true, .control = name};
}

struct Case {
  const char* what;
  KeyInput input;
  KeyRoute expected;
};
void expectRoutes(std::span<const Case> cases) {
  for (const auto& c : cases) {
    const KeyRoute got = routeKey(c.input);
    EXPECT_EQ(got, c.expected) << c.what << ": call " << static_cast<int>(got.call) << " pad "
                               << got.pad << " down " << got.down << " control '" << got.control
                               << "' consumed " << got.consumed;
  }
}

TEST(KeyRoutingTest, EachKeyReachesItsCallbackOrPassesOn) {
  const Case cases[] = {
      // A held 3: one press and one release; the repeats in between stop here.
      {"3 down", down(kDigit3, "3"), pad(2, true)},
      {"3 repeat down", down(kDigit3, "3", kNone, true), kSwallowed},
      {"3 repeat up", up(kDigit3, "3", kNone, true), kSwallowed},
      {"3 up", up(kDigit3, "3"), pad(2, false)},
      // Pads go by the key's place, whatever it types.
      {"keypad 5 with Num Lock off", down(kKeypad5, ""), pad(4, true)},
      {"Shift-1 down", down(kDigit1, "!", kShift), pad(0, true)},
      {"Shift-1 up, reported as 1", up(kDigit1, "1"), pad(0, false)},
      {"Ctrl-1 down", down(kDigit1, "1", kCtrl), kPassed},
      {"1 up with Ctrl held since", up(kDigit1, "1", kCtrl), pad(0, false)},
      {"keypad 8 up with Alt held since", up(kKeypad8, "8", kAlt), hold('8', false)},
      // Sevenths, ninths and strum by held keys.
      {"Alt-Tab down", down(kTab, "", kAlt), call(KeyCall::tab, true)},
      {"Alt-Tab repeat", down(kTab, "", kAlt, true), kSwallowed},
      {"Alt-Tab up", up(kTab, "", kAlt), call(KeyCall::tab, false)},
      {"Space", down(kSpace, " "), call(KeyCall::space, true)},
      {"8", down(kDigit8, "8"), hold('8', true)},
      {"keypad 8 up", up(kKeypad8), hold('8', false)},
      // The knob: arrows repeat, E advances once per press.
      {"Up repeat", down(kUp, "", kNone, true), control("up")},
      {"Up up", up(kUp), kPassed},
      {"E", down(kE, "e"), control("e")},
      {"E repeat", down(kE, "e", kNone, true), kSwallowed},
      {"Shift-B", down(kB, "B", kShift), control("b")},
      // Commands.
      {"plain W", down(kW, "w"), kSwallowed},
      {"Ctrl-W", down(kW, "w", kCtrl), call(KeyCall::escape)},
      {"Ctrl-Shift-W", down(kW, "W", kCtrlShift), kPassed},
      {"Ctrl-Q", down(kQ, "q", kCtrl), call(KeyCall::quit)},
      {"plain Q", down(kQ, "q"), kPassed},
      {"Ctrl-Shift-Z", down(kZ, "Z", kCtrlShift), call(KeyCall::undo)},
      {"Escape repeat", down(kEscape, "\x1b", kNone, true), call(KeyCall::escape)},
      // Modifier changes and clicks run their callback and still pass on.
      {"Shift", input(kModifiers, 50, kShift), {.call = KeyCall::shift, .down = true}},
      {"Caps Lock alone", input(kModifiers, kCapsLock), {.call = KeyCall::shift}},
      {"mouse down", input(InputKind::mouseDown, 0, kCtrl), {.call = KeyCall::click}},
  };
  expectRoutes(cases);
}

// A key as a keyboard with its own key map sends it: `symbol` on any code.
KeyInput typed(std::uint32_t code, std::string_view symbol, std::string_view chars,
               Modifiers m = kNone, InputKind kind = InputKind::keyDown) {
  return {kind, code, chars, m, false, symbol};
}

TEST(KeyRoutingTest, APanelSymbolDecidesWhereverItSitsAndOtherSymbolsLeaveItToThePlace) {
  // Codes no layout gives these keys: those of Escape, the top-row 1, the
  // letter A, and spares past the keyboard's end that a virtual keyboard
  // maps its symbols onto.
  constexpr std::uint32_t kA = 38, kSpare = 200;
  const Case cases[] = {
      {"1 on Escape's code", typed(kEscape, "1", "1"), pad(0, true)},
      {"1 up on Escape's code", typed(kEscape, "1", "1", kNone, InputKind::keyUp), pad(0, false)},
      {"7 on a spare code", typed(kSpare, "7", "7"), pad(6, true)},
      {"8 on A's code", typed(kA, "8", "8"), hold('8', true)},
      {"keypad 5 (Num Lock on) on 1's code", typed(kDigit1, "5", "5"), pad(4, true)},
      {"0 on a spare code", typed(kSpare, "0", "0"), hold('0', true)},
      {"Escape on 1's code", typed(kDigit1, "escape", "\x1b"), call(KeyCall::escape)},
      {"Tab on a spare code", typed(kSpare, "tab", "\t"), call(KeyCall::tab, true)},
      {"E on 1's code", typed(kDigit1, "e", "e"), control("e")},
      {"Ctrl-Q on Escape's code", typed(kEscape, "q", "q", kCtrl), call(KeyCall::quit)},
      {"Ctrl-Q on Tab's code", typed(kTab, "q", "q", kCtrl), call(KeyCall::quit)},
      {"Ctrl-W on 1's code", typed(kDigit1, "w", "w", kCtrl), call(KeyCall::escape)},
      {"AZERTY Shift-&, which types 1", typed(10, "1", "1", kShift), pad(0, true)},
      // A symbol that names no panel key leaves the place in charge.
      {"US Shift-1 types !", typed(kDigit1, "", "!", kShift), pad(0, true)},
      {"Ctrl-1 on a spare code", typed(kSpare, "1", "1", kCtrl), kPassed},
  };
  expectRoutes(cases);
  // AZERTY's number row types & é " ' ( - è: no panel key, so its place plays.
  const char* azerty[] = {"&", "\xc3\xa9", "\"", "'", "(", "-", "\xc3\xa8"};
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(routeKey(typed(10 + i, "", azerty[i])), pad(i, true)) << "AZERTY " << azerty[i];
}

}  // namespace
}  // namespace quimbel
