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

using testing::offscreenApp;
using testing::sendMouse;
using testing::sendWheel;

TEST(PadButtonTest, EveryPressIsReportedOnceAndEndedByItsRelease) {
  offscreenApp();
  PadButton pad(3);
  pad.resize(96, 96);
  std::vector<std::pair<char, int>> seen;
  QObject::connect(&pad, &PadButton::padPressed, &pad, [&](int i) { seen.push_back({'+', i}); });
  QObject::connect(&pad, &PadButton::padReleased, &pad, [&](int i) { seen.push_back({'-', i}); });

  sendMouse(pad, QEvent::MouseButtonPress, {40, 40});
  sendMouse(pad, QEvent::MouseButtonRelease, {40, 40});
  // A quick second press arrives as a double click: it is a press all the same.
  sendMouse(pad, QEvent::MouseButtonDblClick, {40, 40});
  sendMouse(pad, QEvent::MouseButtonRelease, {40, 40});
  EXPECT_EQ(seen, (std::vector<std::pair<char, int>>{{'+', 3}, {'-', 3}, {'+', 3}, {'-', 3}}));
}

TEST(PadButtonTest, GlowFadesAfterAReleaseOrAFlashUnlessMotionIsReduced) {
  offscreenApp();
  // Nothing runs the event loop here, so a fade stays at its first value.
  for (bool reduce : {false, true}) {
    PadButton pad(2);
    pad.showReduceMotion(reduce);
    pad.flash();  // a chord from MIDI or playback
    EXPECT_EQ(pad.glow(), reduce ? 0.0 : 1.0) << "reduce motion " << reduce;
    pad.showPressed(true);
    EXPECT_EQ(pad.glow(), 1.0);
    pad.showPressed(false);
    EXPECT_EQ(pad.glow(), reduce ? 0.0 : 1.0) << "reduce motion " << reduce;
  }
}

// A point on a 96-point knob at `degrees` (0 at the top, clockwise) and a
// radius of 40 points from the centre.
QPointF onKnob(double degrees) {
  const double a = degrees * std::numbers::pi / 180.0;
  return {48.0 + 40.0 * std::sin(a), 48.0 - 40.0 * std::cos(a)};
}

TEST(KnobDialTest, ADragStepsOnlyOnceItsTargetIsMoreThanSixTenthsAway) {
  offscreenApp();
  struct Row {
    const char* gesture;
    QPointF from, to;
    std::vector<int> asked;
  };
  const Row rows[] = {
      {"15 degrees: target -2.5", onKnob(0), onKnob(15), {}},
      {"20 degrees: target -2.33", onKnob(0), onKnob(20), {-2}},
      {"across the bottom, the short way round", onKnob(-170), onKnob(170), {-4}},
      {"near the centre 10 points up turns 20 degrees", {48, 50}, {48, 40}, {-2}},
      {"a full turn stops 10.5 degrees past the end", onKnob(0), onKnob(-100), {-5}},
  };
  for (const Row& row : rows) {
    KnobDial knob;
    knob.resize(96, 96);
    knob.showKnob(-3);
    std::vector<int> asked;
    QObject::connect(&knob, &KnobDial::knobTurned, &knob, [&](int v) { asked.push_back(v); });
    sendMouse(knob, QEvent::MouseButtonPress, row.from);
    sendMouse(knob, QEvent::MouseMove, row.to);
    EXPECT_EQ(asked, row.asked) << row.gesture;
  }

  // Clamped at −5 − 10.5°, the turn comes back from there: 30° back up
  // reaches −4.35, which rounds to −4.
  KnobDial knob;
  knob.resize(96, 96);
  knob.showKnob(-5);
  std::vector<int> asked;
  QObject::connect(&knob, &KnobDial::knobTurned, &knob, [&](int v) { asked.push_back(v); });
  sendMouse(knob, QEvent::MouseButtonPress, onKnob(0));
  for (double a : {-60.0, -120.0, -150.0}) sendMouse(knob, QEvent::MouseMove, onKnob(a));
  EXPECT_TRUE(asked.empty());
  sendMouse(knob, QEvent::MouseMove, onKnob(-120));
  EXPECT_EQ(asked, std::vector<int>{-4});
}

TEST(KnobDialTest, ScrollsStepOnceAndADoubleClickResets) {
  offscreenApp();
  KnobDial knob;
  knob.resize(96, 96);
  knob.showKnob(-3);
  std::vector<int> asked;
  QObject::connect(&knob, &KnobDial::knobTurned, &knob, [&](int v) { asked.push_back(v); });
  std::vector<bool> drags;
  QObject::connect(&knob, &KnobDial::dragChanged, &knob, [&](bool d) { drags.push_back(d); });

  for (int pixels : {10, 10}) sendWheel(knob, {0, pixels}, {0, pixels});
  EXPECT_TRUE(asked.empty());
  sendWheel(knob, {0, 15}, {0, 15});
  EXPECT_EQ(asked, std::vector<int>{-2});
  sendWheel(knob, {0, 10}, {0, 10});  // the accumulator started over
  EXPECT_EQ(asked.size(), 1u);
  sendWheel(knob, {}, {0, -120});  // one wheel notch down
  EXPECT_EQ(asked.back(), -4);

  sendMouse(knob, QEvent::MouseButtonPress, onKnob(0));
  sendMouse(knob, QEvent::MouseButtonRelease, onKnob(0));
  sendMouse(knob, QEvent::MouseButtonDblClick, onKnob(0));
  sendMouse(knob, QEvent::MouseButtonRelease, onKnob(0));
  EXPECT_EQ(asked.back(), -3);
  EXPECT_EQ(drags, (std::vector<bool>{true, false}));
  EXPECT_EQ(knob.accessibleDescription(), QStringLiteral("step 3 of 11"));
}

TEST(ResizeEdgeTest, TheLayoutChangesOnlyPastTheBandBetween430And450) {
  offscreenApp();
  struct Row {
    bool wide;
    double dragBy;
    std::vector<bool> asked;
  };
  const Row rows[] = {
      {true, -100, {}},       // w = 448
      {true, -118, {}},       // w = 430
      {true, -120, {false}},  // w = 428
      {false, 122, {}},       // w = 450
      {false, 123, {true}},   // w = 451
  };
  for (const Row& row : rows) {
    for (auto kind : {ResizeEdge::Kind::strip, ResizeEdge::Kind::grip}) {
      ResizeEdge edge(kind);
      edge.resize(8, 300);
      edge.showWide(row.wide);
      std::vector<bool> asked;
      QObject::connect(&edge, &ResizeEdge::resizeRequested, &edge,
                       [&](bool wide) { asked.push_back(wide); });
      sendMouse(edge, QEvent::MouseButtonPress, {200, 100});
      sendMouse(edge, QEvent::MouseMove, {200 + row.dragBy, 100});
      EXPECT_EQ(asked, row.asked) << row.wide << " by " << row.dragBy;
    }
  }
}

}  // namespace
}  // namespace quimbel
