#include "ui/resize_edge.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

namespace quimbel {

namespace {

const QColor kBarColor(0x5E, 0x5E, 0x5E);
const QColor kGripColor(0x3C, 0x3C, 0x3C);

}  // namespace

ResizeEdge::ResizeEdge(Kind kind, QWidget* parent) : QWidget(parent), kind_(kind) {
  setAttribute(Qt::WA_TranslucentBackground);
  setCursor(kind == Kind::strip ? Qt::SizeHorCursor : Qt::SizeFDiagCursor);
}

void ResizeEdge::showWide(bool wide) { wide_ = wide; }

void ResizeEdge::enterEvent(QEnterEvent*) {
  hover_ = true;
  update();
}

void ResizeEdge::leaveEvent(QEvent*) {
  hover_ = false;
  update();
}

void ResizeEdge::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  drag_ = {event->globalPosition().x(), wide_ ? kWideWidth : kTallWidth};
  update();
}

void ResizeEdge::mouseMoveEvent(QMouseEvent* event) {
  if (!drag_) return;
  const double width = drag_->second + event->globalPosition().x() - drag_->first;
  if (wide_ && width < kNarrowBelow) {
    emit resizeRequested(false);
  } else if (!wide_ && width > kWidenAbove) {
    emit resizeRequested(true);
  }
}

void ResizeEdge::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  drag_.reset();
  update();
}

void ResizeEdge::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  const bool active = hover_ || drag_.has_value();
  if (kind_ == Kind::strip) {
    if (!active) return;
    painter.setBrush(kBarColor);
    const QRectF bar(width() / 2.0 - 1.5, height() * 0.35, 3.0, height() * 0.3);
    painter.drawRoundedRect(bar, 1.5, 1.5);
    return;
  }
  // Two short diagonal ridges in the corner, brighter under the pointer.
  QPen ridge(active ? kBarColor : kGripColor, 1.5, Qt::SolidLine, Qt::RoundCap);
  painter.setPen(ridge);
  const double w = width(), h = height();
  painter.drawLine(QPointF(w - 3.0, h - 8.0), QPointF(w - 8.0, h - 3.0));
  painter.drawLine(QPointF(w - 3.0, h - 4.0), QPointF(w - 4.0, h - 3.0));
}

}  // namespace quimbel
