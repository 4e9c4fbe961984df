#include "ui/pixel_grid_view.h"

#include <QPaintEvent>
#include <QPainter>
#include <chrono>

namespace quimbel {

namespace {

// 1/60 s, rounded to the timer's whole milliseconds.
constexpr int kFrameMs = 17;

}  // namespace

PixelGridView::PixelGridView(CellsAt cellsAt, QWidget* parent, Clock clock)
    : QWidget(parent), cellsAt_(std::move(cellsAt)), clock_(std::move(clock)) {
  if (!clock_) clock_ = &PixelGridView::uptimeMs;
  shown_.fill(AboutFace::kUnlit);
  timer_.setTimerType(Qt::PreciseTimer);
  timer_.setInterval(kFrameMs);
  connect(&timer_, &QTimer::timeout, this, &PixelGridView::drawFrame);
  // The grid is a picture, not a control: a drag on it moves the window.
  setAttribute(Qt::WA_TransparentForMouseEvents);
  drawFrame();
}

double PixelGridView::uptimeMs() {
  using Ms = std::chrono::duration<double, std::milli>;
  return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PixelGridView::setCellsAt(CellsAt cellsAt) {
  cellsAt_ = std::move(cellsAt);
  drawFrame();
}

void PixelGridView::drawFrame() {
  const AboutFace::Cells cells = cellsAt_(clock_());
  for (int i = 0; i < AboutFace::kCellCount; ++i) {
    const std::uint32_t color = AboutFace::paintedColor(cells[static_cast<std::size_t>(i)]);
    if (color == shown_[static_cast<std::size_t>(i)]) continue;
    shown_[static_cast<std::size_t>(i)] = color;
    update(cellRect(i).toAlignedRect());
  }
}

QRectF PixelGridView::cellRect(int index) const {
  // The pitch leaves a 1-point gap between cells and none after the last.
  const double pitch = (width() + 1) / double(AboutFace::kSide);
  return {pitch * (index % AboutFace::kSide), pitch * (index / AboutFace::kSide), pitch - 1,
          pitch - 1};
}

void PixelGridView::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  for (int i = 0; i < AboutFace::kCellCount; ++i) {
    const QRectF cell = cellRect(i);
    if (!event->region().intersects(cell.toAlignedRect())) continue;
    painter.fillRect(cell, QColor::fromRgb(shown_[static_cast<std::size_t>(i)]));
  }
}

void PixelGridView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  drawFrame();
  timer_.start();
}

void PixelGridView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  timer_.stop();
}

}  // namespace quimbel
