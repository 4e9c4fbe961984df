#include "app/pad_panel.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWindow>

#include "ui/panel_view.h"

namespace quimbel {

PadPanel::PadPanel(bool standalone, QWidget* parent)
    : QWidget(parent), view_(new PanelView(this)), standalone_(standalone) {
  if (standalone) {
    setWindowFlags(Qt::Window);
    setWindowTitle(QStringLiteral("Quimbel"));
  } else {
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                   Qt::NoDropShadowWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
  }
  setAttribute(Qt::WA_ShowWithoutActivating, false);
  setFocusPolicy(Qt::StrongFocus);
  setAcceptDrops(false);
  setFixedSize(view_->size());
}

bool PadPanel::event(QEvent* event) { return QWidget::event(event); }

void PadPanel::keyPressEvent(QKeyEvent* event) { QWidget::keyPressEvent(event); }

void PadPanel::keyReleaseEvent(QKeyEvent* event) { QWidget::keyReleaseEvent(event); }

void PadPanel::mousePressEvent(QMouseEvent* event) {
  if (movable_ && event->button() == Qt::LeftButton) {
    // A pinned panel moves with the window manager's own move, which keeps
    // it on the screen and works on every X11 desktop.
    if (windowHandle() && windowHandle()->startSystemMove()) return;
    dragFrom_ = event->globalPosition() - QPointF(pos());
    dragging_ = true;
  }
  QWidget::mousePressEvent(event);
}

void PadPanel::mouseMoveEvent(QMouseEvent* event) {
  if (dragging_) move((event->globalPosition() - dragFrom_).toPoint());
  QWidget::mouseMoveEvent(event);
}

void PadPanel::mouseReleaseEvent(QMouseEvent* event) {
  dragging_ = false;
  QWidget::mouseReleaseEvent(event);
}

void PadPanel::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange) emit activeChanged(isActiveWindow());
  QWidget::changeEvent(event);
}

void PadPanel::closeEvent(QCloseEvent* event) {
  if (standalone_) emit closeRequested();
  // The tray panel is only ever hidden, never closed.
  event->ignore();
}

bool PadPanel::focusNextPrevChild(bool) { return false; }

}  // namespace quimbel
