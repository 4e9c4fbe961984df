#include "ui/pad_button.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QVariantAnimation>
#include <algorithm>

#include "look/palette.h"
#include "ui/panel_font.h"
#include "ui/timing_curve.h"

namespace quimbel {

namespace {

// Face proportions for a pad of edge 1; the panel's pads are 96 or 80 points.
constexpr double kCornerRadius = 0.125;
constexpr double kLabelInset = 0.11;
constexpr double kBigLabelSize = 0.29;
constexpr double kSmallLabelSize = 0.14;

QColor rgbColor(std::uint32_t rgb, double alpha = 1.0) {
  QColor color = QColor::fromRgb(0xFF000000u | rgb);
  color.setAlphaF(static_cast<float>(alpha));
  return color;
}

// Every channel times `factor`, rounded and kept within 0 … 255.
std::uint32_t scaled(std::uint32_t rgb, double factor) {
  std::uint32_t out = 0;
  for (int shift = 16; shift >= 0; shift -= 8) {
    const double c = std::clamp(std::round(((rgb >> shift) & 0xFF) * factor), 0.0, 255.0);
    out |= static_cast<std::uint32_t>(c) << shift;
  }
  return out;
}

}  // namespace

PadButton::PadButton(int pad, QWidget* parent)
    : QWidget(parent), pad_(pad), glowAnimation_(new QVariantAnimation(this)) {
  setAttribute(Qt::WA_TranslucentBackground);
  connect(glowAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    glow_ = value.toDouble();
    update();
  });
}

void PadButton::showFace(std::uint32_t fill, std::uint32_t type, const QString& big,
                         const QString& small) {
  if (fill == fill_ && type == type_ && big == big_ && small == small_) return;
  fill_ = fill;
  type_ = type;
  big_ = big;
  small_ = small;
  updateAccessibleName();
  update();
}

void PadButton::updateAccessibleName() {
  setAccessibleName(pad_ == kSeventhsPad
                        ? QStringLiteral("Sevenths, hold Tab")
                        : big_ + QStringLiteral(", key ") + QString::number(pad_ + 1));
}

void PadButton::showPressed(bool pressed) {
  if (pressed == pressed_) return;
  pressed_ = pressed;
  if (pad_ != kSeventhsPad) {
    if (pressed) {
      glowTo(1.0, kGlowInMs, true);
    } else {
      glowTo(0.0, kGlowOutMs, false);
    }
  }
  update();
}

void PadButton::flash() {
  if (pad_ == kSeventhsPad) return;
  glowAnimation_->stop();
  glow_ = 1.0;
  glowTo(0.0, kGlowOutMs, false);
  update();
}

void PadButton::glowTo(double target, int durationMs, bool easeOut) {
  glowAnimation_->stop();
  if (reduceMotion_) {
    glow_ = target;
    update();
    return;
  }
  glowAnimation_->setStartValue(glow_);
  glowAnimation_->setEndValue(target);
  glowAnimation_->setDuration(durationMs);
  glowAnimation_->setEasingCurve(easeOut ? easeOutCurve() : timingCurve(0.2, 0.6, 0.3, 1.0));
  glowAnimation_->start();
}

void PadButton::showGrey(bool grey) {
  if (grey == grey_) return;
  grey_ = grey;
  update();
}

void PadButton::showReduceMotion(bool reduce) { reduceMotion_ = reduce; }

void PadButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || mouseDown_) return;
  mouseDown_ = true;
  emit padPressed(pad_);
}

// Quick repeated presses are double clicks to Qt; to the pad each one is a press.
void PadButton::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

void PadButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !mouseDown_) return;
  mouseDown_ = false;
  emit padReleased(pad_);
}

void PadButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);
  const double side = width();
  if (pressed_ && pad_ != kSeventhsPad) {
    painter.translate(side / 2.0, side / 2.0);
    painter.scale(kPressedScale, kPressedScale);
    painter.translate(-side / 2.0, -side / 2.0);
  }

  // A lit pad is brighter, the way the video draws it.
  std::uint32_t fill = glowColor(fill_, glow_);
  std::uint32_t type = glowColor(type_, glow_);
  if (grey_) {
    fill = inactiveGrey(fill);
    type = inactiveGrey(type);
  }

  const QRectF face(0.0, 0.0, side, side);
  QPainterPath outline;
  outline.addRoundedRect(face, side * kCornerRadius, side * kCornerRadius);
  // A little light from above, so the pad reads as a key rather than a tile.
  QLinearGradient body(face.topLeft(), face.bottomLeft());
  body.setColorAt(0.0, rgbColor(scaled(fill, 1.05)));
  body.setColorAt(1.0, rgbColor(scaled(fill, 0.92)));
  painter.fillPath(outline, body);
  if (glow_ > 0.0) {
    QRadialGradient bloom(face.center(), side * 0.7);
    bloom.setColorAt(0.0, QColor(255, 255, 255, static_cast<int>(70 * glow_)));
    bloom.setColorAt(1.0, QColor(255, 255, 255, 0));
    painter.fillPath(outline, bloom);
  }
  painter.setPen(QPen(QColor(255, 255, 255, 40), 1.0));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(face.adjusted(0.5, 0.5, -0.5, -0.5), side * kCornerRadius - 0.5,
                          side * kCornerRadius - 0.5);

  const double inset = side * kLabelInset;
  const QFont bigFont = panelFont(side * kBigLabelSize);
  painter.setFont(bigFont);
  painter.setPen(rgbColor(type));
  painter.drawText(QPointF(inset, inset * 0.8 + QFontMetricsF(bigFont).ascent()), big_);
  const QFont smallFont = panelFont(side * kSmallLabelSize);
  const QFontMetricsF small(smallFont);
  painter.setFont(smallFont);
  painter.setPen(rgbColor(type, 0.72));
  painter.drawText(
      QPointF(side - inset - small.horizontalAdvance(small_), side - inset * 0.9 - small.descent()),
      small_);
}

}  // namespace quimbel
