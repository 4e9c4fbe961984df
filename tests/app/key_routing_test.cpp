#include "app/key_routing.h"

#include <gtest/gtest.h>

#include <string>

namespace quimbel {
namespace {

// X11 scan codes of the keys the cases press.
constexpr std::uint32_t kDigit1 = 10, kDigit3 = 12, kDigit5 = 14, kDigit8 = 17, kDigit0 = 19;
constexpr std::uint32_t kKeypad5 = 84, kKeypad8 = 80, kKeypad0 = 90;
constexpr std::uint32_t kTab = 23, kSpace = 65, kEscape = 9, kUp = 111, kDown = 116;
constexpr std::uint32_t kB = 56, kE = 26, kW = 25, kQ = 24, kZ = 52, kCapsLock = 66;

constexpr Modifiers kNone{};
constexpr Modifiers kShift{.shift = true};
constexpr Modifiers kCtrl{.command = true};
constexpr Modifiers kCtrlShift{.shift = true, .command = true};
constexpr Modifiers kAlt{.option = true};
constexpr Modifiers kMeta{.control = true};
constexpr Modifiers kCtrlMeta{.control = true, .command = true};

KeyInput down(std::uint32_t code, std::string_view chars = "", Modifiers m = kNone) {
  return {InputKind::keyDown, code, chars, m, false};
}
KeyInput up(std::uint32_t code, std::string_view chars = "", Modifiers m = kNone) {
  return {InputKind::keyUp, code, chars, m, false};
}
KeyInput repeated(KeyInput input) {
  input.repeat = true;
  return input;
}

const KeyRoute kPassed{};
const KeyRoute kSwallowed{.consumed = true};
KeyRoute call(KeyCall c) { return {.call = c, .consumed = true}; }
KeyRoute pad(int index, bool isDown) {
  return {.call = KeyCall::padKey, .consumed = true, .pad = index, .down = isDown};
}
KeyRoute tab(bool isDown) { return {.call = KeyCall::tab, .consumed = true, .down = isDown}; }
KeyRoute hold(char key, bool isDown) {
  return {.call = KeyCall::hold, .consumed = true, .down = isDown, .hold = key};
}
KeyRoute control(std::string_view name) {
  return {.call = KeyCall::controlKey, .consumed = true, .control = name};
}

struct Case {
  std::string what;
  KeyInput input;
  KeyRoute expected;
};

TEST(KeyRoutingTest, EachKeyReachesItsCallbackOrPassesOn) {
  const Case cases[] = {
      // A held 3: one press and one release; the repeats in between stop here.
      {"3 down", down(kDigit3, "3"), pad(2, true)},
      {"3 repeat down", repeated(down(kDigit3, "3")), kSwallowed},
      {"3 repeat up", repeated(up(kDigit3, "3")), kSwallowed},
      {"3 up", up(kDigit3, "3"), pad(2, false)},
      // The number row and the keypad play the same pads, whatever they type.
      {"5", down(kDigit5, "5"), pad(4, true)},
      {"keypad 5", down(kKeypad5, "5"), pad(4, true)},
      {"keypad 5 with Num Lock off", down(kKeypad5, ""), pad(4, true)},
      {"1 on a French layout", down(kDigit1, "&"), pad(0, true)},
      {"Shift-1 down", down(kDigit1, "!", kShift), pad(0, true)},
      {"Shift-1 up, reported as 1", up(kDigit1, "1"), pad(0, false)},
      {"Ctrl-1 down", down(kDigit1, "1", kCtrl), kPassed},
      {"1 up with Ctrl held since", up(kDigit1, "1", kCtrl), pad(0, false)},
      {"keypad 8 up with Alt held since", up(kKeypad8, "8", kAlt), hold('8', false)},
      // Sevenths, ninths and strum by held keys.
      {"Tab", down(kTab), tab(true)},
      {"Tab repeat", repeated(down(kTab)), kSwallowed},
      {"Alt-Tab down", down(kTab, "", kAlt), tab(true)},
      {"Alt-Tab repeat", repeated(down(kTab, "", kAlt)), kSwallowed},
      {"Alt-Tab up", up(kTab, "", kAlt), tab(false)},
      {"Space", down(kSpace, " "), {.call = KeyCall::space, .consumed = true, .down = true}},
      {"Space repeat", repeated(down(kSpace, " ")), kSwallowed},
      {"8", down(kDigit8, "8"), hold('8', true)},
      {"keypad 8 up", up(kKeypad8), hold('8', false)},
      {"0", down(kDigit0, "0"), hold('0', true)},
      {"keypad 0", down(kKeypad0, "0"), hold('0', true)},
      // The knob: arrows repeat, E advances once per press.
      {"Up", down(kUp), control("up")},
      {"Up repeat", repeated(down(kUp)), control("up")},
      {"Down repeat", repeated(down(kDown)), control("down")},
      {"Up up", up(kUp), kPassed},
      {"E", down(kE, "e"), control("e")},
      {"E repeat", repeated(down(kE, "e")), kSwallowed},
      {"Shift-B", down(kB, "B", kShift), control("b")},
      {"B up", up(kB, "b"), kPassed},
      // Commands.
      {"plain W", down(kW, "w"), kSwallowed},
      {"Ctrl-W", down(kW, "w", kCtrl), call(KeyCall::escape)},
      {"Ctrl-Shift-W", down(kW, "W", kCtrlShift), kPassed},
      {"Ctrl-Q", down(kQ, "q", kCtrl), call(KeyCall::quit)},
      {"Ctrl-Meta-Q", down(kQ, "q", kCtrlMeta), kPassed},
      {"plain Q", down(kQ, "q"), kPassed},
      {"Ctrl-Z", down(kZ, "z", kCtrl), call(KeyCall::undo)},
      {"Ctrl-Shift-Z", down(kZ, "Z", kCtrlShift), call(KeyCall::undo)},
      {"Meta-Z", down(kZ, "z", kMeta), kPassed},
      {"Escape", down(kEscape, "\x1b"), call(KeyCall::escape)},
      {"Escape repeat", repeated(down(kEscape, "\x1b")), call(KeyCall::escape)},
      {"Alt-Escape", down(kEscape, "\x1b", kAlt), call(KeyCall::escape)},
      {"Escape up", up(kEscape, "\x1b"), kPassed},
      // Modifier changes and clicks run their callback and still pass on.
      {"Shift down",
       {InputKind::modifiersChanged, 50, "", kShift, false},
       {.call = KeyCall::shift, .down = true}},
      {"Caps Lock alone",
       {InputKind::modifiersChanged, kCapsLock, "", kNone, false},
       {.call = KeyCall::shift, .down = false}},
      {"Ctrl down",
       {InputKind::modifiersChanged, 37, "", kCtrl, false},
       {.call = KeyCall::shift, .down = false}},
      {"mouse down", {InputKind::mouseDown, 0, "", kCtrl, false}, {.call = KeyCall::click}},
      {"other", {InputKind::other, kDigit3, "3", kNone, false}, kPassed},
  };
  for (const Case& c : cases) {
    const KeyRoute got = routeKey(c.input);
    EXPECT_EQ(got, c.expected) << c.what << ": call " << static_cast<int>(got.call) << " pad "
                               << got.pad << " down " << got.down << " control '" << got.control
                               << "' consumed " << got.consumed;
  }
}

}  // namespace
}  // namespace quimbel
