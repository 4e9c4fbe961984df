#include "screen/screen_canvas.h"

#include <QPaintDevice>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <cmath>

namespace quimbel {

namespace {

constexpr std::uint32_t kNotYetPushed = 0xFFFFFFFFu;

QColor rgbColor(std::uint32_t rgb) { return QColor::fromRgb(0xFF000000u | rgb); }

}  // namespace

ScreenCanvas::ScreenCanvas(QWidget* parent) : QWidget(parent) {
  shown_.fill(kNotYetPushed);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAccessibleName(QStringLiteral("Screen, "));
}

void ScreenCanvas::showCorners(double radius, std::uint32_t outside) {
  cornerRadius_ = radius;
  outside_ = outside;
  update();
}

void ScreenCanvas::setSource(Source source) { source_ = std::move(source); }

void ScreenCanvas::showVisible(bool visible) {
  if (!visible) {
    delete timer_;
    timer_ = nullptr;
    return;
  }
  if (timer_) return;
  timer_ = new QTimer(this);
  timer_->setTimerType(Qt::PreciseTimer);
  timer_->setInterval(kFrameIntervalMs);
  connect(timer_, &QTimer::timeout, this, [this] { drawFrame(); });
  timer_->start();
  drawFrame();
}

bool ScreenCanvas::drawFrame() {
  if (!source_) return false;
  const Frame frame = source_();
  const ChordScreen::Cells cells = ChordScreen::compose(frame.input, frame.nowMs);
  bool changed = false;
  for (int i = 0; i < ChordScreen::kCellCount; ++i) {
    std::uint32_t color = cells[i].value_or(ChordScreen::kBackground);
    if (!frame.live) color = inactiveGrey(color);
    if (color != shown_[i]) {
      shown_[i] = color;
      changed = true;
    }
  }
  if (!changed) return false;

  if (picture_.isNull())
    picture_ = QImage(ChordScreen::kSide, ChordScreen::kSide, QImage::Format_RGB32);
  for (int row = 0; row < ChordScreen::kSide; ++row) {
    auto* line = reinterpret_cast<QRgb*>(picture_.scanLine(row));
    for (int column = 0; column < ChordScreen::kSide; ++column) {
      line[column] = 0xFF000000u | shown_[row * ChordScreen::kSide + column];
    }
  }
  update();
  return true;
}

void ScreenCanvas::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), rgbColor(kGapColor));
  if (!picture_.isNull()) paintCells(painter);
  if (cornerRadius_ > 0.0) {
    QPainterPath corners;
    corners.setFillRule(Qt::OddEvenFill);
    corners.addRect(QRectF(rect()));
    corners.addRoundedRect(QRectF(rect()), cornerRadius_, cornerRadius_);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(corners, rgbColor(outside_));
  }
}

void ScreenCanvas::paintCells(QPainter& painter) {
  // The picture reaches one point past the right and bottom edges, so that
  // the gap after the last column and row falls outside the view.
  const double width = this->width();
  const double height = this->height();
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(QRectF(0.0, 0.0, width + 1.0, height + 1.0), picture_);

  // Each gap covers the last point of a cell. Its edges are snapped to device
  // pixels, the same way the scaled picture's cell edges fall, so no sliver
  // of a neighbouring cell shows beside a gap at any pixel ratio.
  const double ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
  const double pitch = (width + 1.0) / ChordScreen::kSide;
  auto snap = [ratio](double points) { return std::round(points * ratio) / ratio; };
  const QColor gap = rgbColor(kGapColor);
  for (int i = 1; i < ChordScreen::kSide; ++i) {
    const double from = snap(pitch * i - 1.0);
    const double to = snap(pitch * i);
    painter.fillRect(QRectF(from, 0.0, to - from, height), gap);
    painter.fillRect(QRectF(0.0, from, width, to - from), gap);
  }
}

}  // namespace quimbel
