#include "ui/file_drag_source.h"

#include <QApplication>
#include <QDrag>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QMimeData>
#include <QMouseEvent>
#include <QWidget>
#include <cmath>

namespace quimbel {

FileDragSource::FileDragSource(QWidget* target, Actions actions)
    : QObject(target), target_(target), actions_(std::move(actions)) {
  target->installEventFilter(this);
}

void FileDragSource::setActions(Actions actions) { actions_ = std::move(actions); }

bool FileDragSource::eventFilter(QObject* watched, QEvent* event) {
  if (dragging_) {
    // The file is for other programs: none of this program's windows takes
    // it, whatever they accept otherwise (a file dialog's folder list would).
    switch (event->type()) {
      case QEvent::DragEnter:
      case QEvent::DragMove:
      case QEvent::Drop:
        event->ignore();
        return true;
      default:
        break;
    }
  }
  if (watched != target_) return false;
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton) return false;
      down_ = true;
      downScene_ = mouse->scenePosition();
      dragged_ = false;
      moved_ = false;
      gaveUp_ = false;
      if (actions_.prepare) actions_.prepare();
      return true;
    }
    case QEvent::MouseMove:
      if (!down_) return false;
      moveTo(static_cast<QMouseEvent*>(event));
      return true;
    case QEvent::MouseButtonRelease:
      if (!down_ || static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton) return false;
      down_ = false;
      if (!dragged_ && !moved_ && actions_.click) actions_.click();
      return true;
    default:
      return false;
  }
}

void FileDragSource::moveTo(QMouseEvent* event) {
  if (dragged_ || gaveUp_) return;
  const QPointF travel = event->scenePosition() - downScene_;
  if (std::hypot(travel.x(), travel.y()) <= kDragThreshold) return;
  moved_ = true;
  // The file may still be in the making (the video): every further move asks
  // again, so the drag starts as soon as it exists while the button is held.
  std::optional<QUrl> url = actions_.file ? actions_.file() : std::nullopt;
  if (!url) {
    gaveUp_ = actions_.failed && actions_.failed();
    return;
  }
  dragged_ = true;
  startDrag(*url);
}

void FileDragSource::startDrag(const QUrl& url) {
  auto* mime = new QMimeData;
  mime->setUrls({url});
  auto* drag = new QDrag(target_);
  drag->setMimeData(mime);
  const QIcon icon = QFileIconProvider().icon(QFileInfo(url.toLocalFile()));
  drag->setPixmap(icon.pixmap(kIconSide, kIconSide));
  // The icon sits centred under the point where the button went down.
  drag->setHotSpot(QPoint(kIconSide / 2, kIconSide / 2));
  emit dragStarted();
  dragging_ = true;
  qApp->installEventFilter(this);
  drag->exec(Qt::CopyAction, Qt::CopyAction);
  qApp->removeEventFilter(this);
  dragging_ = false;
  // The drag swallowed the release: the gesture ends here.
  down_ = false;
  emit dragFinished();
}

}  // namespace quimbel
