#include "ui/knob_dial.h"

#include <QMouseEvent>
#include <QPainter>
#include <QRadialGradient>
#include <QVariantAnimation>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <numbers>

#include "screen/compose.h"
#include "ui/timing_curve.h"

namespace quimbel {

namespace {

constexpr int kTurnWhileDraggingMs = 90;
constexpr int kTurnMs = 140;
// The pointer: a bar of 3 × 28 points whose outer end sits this far inside
// the rim of a 96-point knob.
constexpr double kPointerWidth = 3.0;
constexpr double kPointerLength = 28.0;
constexpr double kPointerInset = 10.0;
constexpr double kKnobUnits = 96.0;

QColor rgbColor(std::uint32_t rgb) { return QColor::fromRgb(0xFF000000u | rgb); }

// (−180, 180]
double wrapDegrees(double degrees) {
  double d = std::fmod(degrees, 360.0);
  if (d <= -180.0) d += 360.0;
  if (d > 180.0) d -= 360.0;
  return d;
}

}  // namespace

KnobDial::KnobDial(QWidget* parent) : QWidget(parent), rotation_(new QVariantAnimation(this)) {
  setAttribute(Qt::WA_TranslucentBackground);
  setCursor(Qt::SizeVerCursor);
  setAccessibleName(QStringLiteral("Inversion"));
  updateAccessibleDescription();
  connect(rotation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    angle_ = value.toDouble();
    update();
  });
}

void KnobDial::updateAccessibleDescription() {
  setAccessibleDescription(QStringLiteral("step %1 of 11").arg(knob_ + 6));
}

void KnobDial::showReduceMotion(bool reduce) { reduceMotion_ = reduce; }

void KnobDial::showKnob(int knob) {
  if (knob == knob_) return;
  knob_ = knob;
  updateAccessibleDescription();
  const double target = knob * kDegreesPerStep;
  rotation_->stop();
  if (reduceMotion_) {
    angle_ = target;
    update();
    return;
  }
  rotation_->setStartValue(angle_);
  rotation_->setEndValue(target);
  if (drag_) {
    rotation_->setDuration(kTurnWhileDraggingMs);
    rotation_->setEasingCurve(easeOutCurve());
  } else {
    rotation_->setDuration(kTurnMs);
    rotation_->setEasingCurve(timingCurve(0.2, 0.8, 0.2, 1.0));
  }
  rotation_->start();
}

double KnobDial::angleAt(QPointF point) const {
  const double dx = point.x() - width() / 2.0;
  const double dy = height() / 2.0 - point.y();  // upwards
  return std::atan2(dx, dy) * 180.0 / std::numbers::pi;
}

double KnobDial::radiusAt(QPointF point) const {
  const QPointF d = point - QPointF(width() / 2.0, height() / 2.0);
  return std::hypot(d.x(), d.y()) / (width() / kKnobUnits);
}

void KnobDial::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const QPointF at = event->position();
  drag_ = Drag{angleAt(at), 0.0, knob_, -at.y()};
  setCursor(Qt::ClosedHandCursor);
  emit dragChanged(true);
}

void KnobDial::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  emit knobTurned(kResetKnob);
}

void KnobDial::mouseMoveEvent(QMouseEvent* event) {
  if (!drag_) return;
  const QPointF at = event->position();
  const double angle = angleAt(at);
  const double height = -at.y();
  const double delta = radiusAt(at) < kInnerRadius ? 2.0 * (height - drag_->height)
                                                   : wrapDegrees(angle - drag_->angle);
  const double low = (kMinKnob - drag_->startKnob) * kDegreesPerStep - kOvershootDegrees;
  const double high = (kMaxKnob - drag_->startKnob) * kDegreesPerStep + kOvershootDegrees;
  drag_->turn = std::clamp(drag_->turn + delta, low, high);
  drag_->angle = angle;
  drag_->height = height;
  const double target = drag_->turn / kDegreesPerStep + drag_->startKnob;
  if (std::abs(target - knob_) > kStepThreshold) {
    emit knobTurned(static_cast<int>(std::lround(target)));
  }
}

void KnobDial::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !drag_) return;
  drag_.reset();
  // Outside the dial Qt shows the parent's cursor anyway.
  setCursor(Qt::SizeVerCursor);
  emit dragChanged(false);
}

void KnobDial::wheelEvent(QWheelEvent* event) {
  event->accept();
  const QPoint pixels = event->pixelDelta();
  if (!pixels.isNull()) {
    scrollAccumulator_ += pixels.y();
    if (std::abs(scrollAccumulator_) > kTrackpadStep) {
      emit knobTurned(knob_ + (scrollAccumulator_ > 0 ? 1 : -1));
      scrollAccumulator_ = 0.0;
    }
    return;
  }
  // A wheel notch is 120 eighths of a degree: one line.
  const double lines = event->angleDelta().y() / 120.0;
  if (std::abs(lines) > kWheelThreshold) emit knobTurned(knob_ + (lines > 0 ? 1 : -1));
}

void KnobDial::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const ChordScreen::KnobColors colors =
      ChordScreen::kKnobPalette[ChordScreen::knobPaletteIndex(knob_)];
  const double side = std::min(width(), height());
  const QRectF body((width() - side) / 2.0, (height() - side) / 2.0, side, side);
  const QColor first = rgbColor(colors.first);

  // The body: a disc lit from above, with a darker rim where it meets the panel.
  QRadialGradient light(body.center() - QPointF(0.0, side * 0.18), side * 0.62);
  light.setColorAt(0.0, first.lighter(112));
  light.setColorAt(1.0, first.darker(108));
  painter.setPen(Qt::NoPen);
  painter.setBrush(first.darker(135));
  painter.drawEllipse(body);
  painter.setBrush(light);
  const double rim = side * 0.03;
  painter.drawEllipse(body.adjusted(rim, rim, -rim, -rim));

  painter.translate(body.center());
  painter.rotate(angle_);  // clockwise on screen: y grows downwards
  const double outer = side / 2.0 - kPointerInset * side / kKnobUnits;
  painter.setBrush(rgbColor(colors.second));
  painter.drawRoundedRect(QRectF(-kPointerWidth / 2.0, -outer, kPointerWidth, kPointerLength),
                          kPointerWidth / 2.0, kPointerWidth / 2.0);
}

}  // namespace quimbel
