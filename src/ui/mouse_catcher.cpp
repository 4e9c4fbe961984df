#include "ui/mouse_catcher.h"

#include <QMenu>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QWidget>
#include <cmath>

namespace quimbel {

MouseCatcher::MouseCatcher(QWidget* target, Handlers handlers) : QObject(target), target_(target) {
  setHandlers(std::move(handlers));
  target->installEventFilter(this);
}

void MouseCatcher::setHandlers(Handlers handlers) {
  handlers_ = std::move(handlers);
  if (handlers_.cursor) {
    target_->setCursor(*handlers_.cursor);
  } else {
    target_->unsetCursor();
  }
}

bool MouseCatcher::eventFilter(QObject* watched, QEvent* event) {
  if (watched != target_) return false;
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
      return press(static_cast<QMouseEvent*>(event));
    case QEvent::MouseMove:
      if (!down_) return false;
      drag(static_cast<QMouseEvent*>(event));
      return true;
    case QEvent::MouseButtonRelease:
      if (!down_ || static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton) return false;
      releaseButton(static_cast<QMouseEvent*>(event));
      return true;
    case QEvent::Wheel:
      return scroll(static_cast<QWheelEvent*>(event));
    default:
      return false;
  }
}

bool MouseCatcher::press(QMouseEvent* event) {
  // The right button, and Meta with the left, stand for a secondary click.
  const bool meta = event->modifiers().testFlag(Qt::MetaModifier);
  if (event->button() == Qt::RightButton || (meta && event->button() == Qt::LeftButton)) {
    if (secondary(event)) return true;
    if (event->button() == Qt::RightButton) return false;
  }
  if (event->button() != Qt::LeftButton) return false;
  start_ = event->scenePosition();
  down_ = true;
  moved_ = false;
  if (handlers_.onDown) handlers_.onDown();
  if (handlers_.onX) handlers_.onX(event->position().x());
  return true;
}

bool MouseCatcher::secondary(QMouseEvent* event) {
  if (handlers_.menu) {
    if (QMenu* menu = handlers_.menu()) menu->popup(event->globalPosition().toPoint());
    return true;
  }
  if (handlers_.onRightClick) {
    if (event->button() == Qt::RightButton) target_->activateWindow();
    handlers_.onRightClick();
    return true;
  }
  return false;
}

void MouseCatcher::drag(QMouseEvent* event) {
  const QPointF at = event->scenePosition();
  // Window positions grow downwards here; the gesture's travel is up-positive.
  const double dy = start_.y() - at.y();
  if (std::abs(dy) >= kMoveThreshold) moved_ = true;
  if (handlers_.onDrag) handlers_.onDrag(dy, moved_);
  if (handlers_.onMove) handlers_.onMove(QSizeF(at.x() - start_.x(), at.y() - start_.y()));
  if (handlers_.onX) handlers_.onX(event->position().x());
}

void MouseCatcher::releaseButton(QMouseEvent*) {
  down_ = false;
  if (handlers_.onUp) handlers_.onUp(moved_);
}

bool MouseCatcher::scroll(QWheelEvent* event) {
  if (!handlers_.onScroll) return false;
  // A trackpad reports points; a wheel reports eighths of a degree, 120 a
  // notch. Fine-grained wheels send a fraction of a notch per event, which
  // adds up here until it is worth a report; a turn back starts afresh.
  double delta = 0.0;
  if (!event->pixelDelta().isNull()) {
    delta = event->pixelDelta().y();
  } else {
    const double notches = event->angleDelta().y() / 120.0;
    if (notches * wheelNotches_ < 0.0) wheelNotches_ = 0.0;
    wheelNotches_ += notches;
    delta = wheelNotches_;
  }
  if (std::abs(delta) > kScrollFloor) {
    wheelNotches_ = 0.0;
    handlers_.onScroll(delta);
  }
  event->accept();
  return true;
}

}  // namespace quimbel
