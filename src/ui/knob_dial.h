#pragma once

// The voicing knob: a round body in the knob palette's colours with a pointer
// turned 30° per step (−150° … +150° for −5 … 5). Turning it by the pointer's
// angle, a vertical drag near the centre, the scroll wheel or a trackpad asks
// for a new knob value; a double click asks for −3. The dial draws the value
// it is told and never sets it itself.
//
// Thread contract: main thread only.

#include <QWidget>
#include <optional>

class QVariantAnimation;

namespace quimbel {

class KnobDial : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kMinKnob = -5;
  static constexpr int kMaxKnob = 5;
  static constexpr int kResetKnob = -3;
  static constexpr double kDegreesPerStep = 30.0;
  // A drag steps once the turn's target lies this far from the knob, so a
  // step takes more than 18° and the knob does not chatter at half steps.
  static constexpr double kStepThreshold = 0.6;
  // How far the turn may run past either end before it stops counting.
  static constexpr double kOvershootDegrees = 10.5;
  // Inside this radius (of a 96-unit knob) the angle swings wildly, so the
  // drag reads the vertical travel instead: 2° per point, up turns clockwise.
  static constexpr double kInnerRadius = 16.0;
  static constexpr double kTrackpadStep = 30.0;
  static constexpr double kWheelThreshold = 0.1;

  explicit KnobDial(QWidget* parent = nullptr);

  void showKnob(int knob);
  void showReduceMotion(bool reduce);

  int knob() const { return knob_; }
  // The pointer's drawn angle in degrees (mid-animation it lies between steps).
  double angle() const { return angle_; }

 signals:
  // The user asks for this knob value (the model clamps it to −5 … 5).
  void knobTurned(int value);
  // A drag of the knob began or ended.
  void dragChanged(bool dragging);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  struct Drag {
    double angle;   // pointer angle at the last event, degrees
    double turn;    // degrees turned since the press
    int startKnob;  // the knob at the press
    double height;  // pointer height at the last event, points upwards
  };
  // Angle (0 at the top, clockwise positive) and radius in 96-unit knob
  // terms of a point in widget coordinates.
  double angleAt(QPointF point) const;
  double radiusAt(QPointF point) const;
  void updateAccessibleDescription();

  int knob_ = kResetKnob;
  double angle_ = kResetKnob * kDegreesPerStep;
  bool reduceMotion_ = false;
  std::optional<Drag> drag_;
  double scrollAccumulator_ = 0.0;
  QVariantAnimation* rotation_;
};

}  // namespace quimbel
