// The panel's widgets under synthetic mouse, wheel and trackpad events: each
// gesture's intent and its thresholds.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "ui/knob_dial.h"
#include "ui/offscreen_app.h"
#include "ui/pad_button.h"
#include "ui/resize_edge.h"

namespace quimbel {
namespace {

using testing::mouse;
using testing::offscreenApp;
using testing::sendWheel;

TEST(PadButtonTest, ADoubleClickIsAPressAllTheSame) {
  offscreenApp();
  PadButton pad(3);
  pad.resize(96, 96);
  std::vector<int> seen;  // +i pressed, -i released
  QObject::connect(&pad, &PadButton::padPressed, &pad, [&](int i) { seen.push_back(i); });
  QObject::connect(&pad, &PadButton::padReleased, &pad, [&](int i) { seen.push_back(-i); });
  for (auto press : {QEvent::MouseButtonPress, QEvent::MouseButtonDblClick}) {
    mouse(pad, press, {40, 40});
    mouse(pad, QEvent::MouseButtonRelease, {40, 40});
  }
  EXPECT_EQ(seen, (std::vector<int>{3, -3, 3, -3}));
}

// A point on a 96-point knob at `degrees` (0 at the top, clockwise) and a
// radius of 40 points from the centre.
QPointF onKnob(double degrees) {
  const double a = degrees * std::numbers::pi / 180.0;
  return {48.0 + 40.0 * std::sin(a), 48.0 - 40.0 * std::cos(a)};
}

// A knob showing step −3 and the steps it asks for.
struct Knob {
  QApplication& qt = offscreenApp();  // before the dial
  KnobDial dial;
  std::vector<int> asked;
  Knob() {
    dial.resize(96, 96);
    dial.showKnob(-3);
    QObject::connect(&dial, &KnobDial::knobTurned, &dial, [this](int v) { asked.push_back(v); });
  }
};

TEST(KnobDialTest, ADragStepsOnlyOnceItsTargetIsMoreThanSixTenthsAway) {
  const struct {
    const char* gesture;
    QPointF from, to;
    std::vector<int> asked;
  } rows[] = {
      {"15 degrees: target -2.5", onKnob(0), onKnob(15), {}},
      {"20 degrees: target -2.33", onKnob(0), onKnob(20), {-2}},
      {"across the bottom, the short way round", onKnob(-170), onKnob(170), {-4}},
      {"a full turn stops 10.5 degrees past the end", onKnob(0), onKnob(-100), {-5}},
  };
  for (const auto& row : rows) {
    Knob knob;
    mouse(knob.dial, QEvent::MouseButtonPress, row.from);
    mouse(knob.dial, QEvent::MouseMove, row.to);
    EXPECT_EQ(knob.asked, row.asked) << row.gesture;
  }
}

TEST(KnobDialTest, ScrollsStepOnceAndADoubleClickResets) {
  Knob knob;
  for (int pixels : {10, 10}) sendWheel(knob.dial, {0, pixels}, {0, pixels});
  EXPECT_TRUE(knob.asked.empty());
  sendWheel(knob.dial, {0, 15}, {0, 15});
  sendWheel(knob.dial, {0, 10}, {0, 10});  // the accumulator started over
  sendWheel(knob.dial, {}, {0, -120});     // one wheel notch down
  EXPECT_EQ(knob.asked, (std::vector<int>{-2, -4}));

  mouse(knob.dial, QEvent::MouseButtonDblClick, onKnob(0));
  mouse(knob.dial, QEvent::MouseButtonRelease, onKnob(0));
  EXPECT_EQ(knob.asked.back(), -3);
}

TEST(ResizeEdgeTest, TheLayoutChangesOnlyPastTheBandBetween430And450) {
  offscreenApp();
  const struct {
    double dragBy;  // from the wide width, 548
    std::vector<bool> asked;
  } rows[] = {{-100, {}}, {-120, {false}}};
  for (const auto& row : rows) {
    for (auto kind : {ResizeEdge::Kind::strip, ResizeEdge::Kind::grip}) {
      ResizeEdge edge(kind);
      edge.resize(8, 300);
      edge.showWide(true);
      std::vector<bool> asked;
      QObject::connect(&edge, &ResizeEdge::resizeRequested, &edge,
                       [&](bool wide) { asked.push_back(wide); });
      mouse(edge, QEvent::MouseButtonPress, {200, 100});
      mouse(edge, QEvent::MouseMove, {200 + row.dragBy, 100});
      EXPECT_EQ(asked, row.asked) << "by " << row.dragBy;
    }
  }
}

}  // namespace
}  // namespace quimbel
