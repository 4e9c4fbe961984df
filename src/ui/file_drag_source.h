#pragma once

// Lets a control be clicked, or dragged out of the panel as a file: the
// export keys. The press already asks the owner to get the file ready; once
// the pointer has gone further than 3 points the owner is asked for the file
// on every move until it has one, and the drag then carries its URL (copy
// only; the program's own windows take no drops). A press that never went
// further than 3 points is a click. When the file will not come (its making
// failed), the gesture stops asking: the next press tries again.
//
// Thread contract: main thread only. The drag runs a nested event loop.

#include <QObject>
#include <QPointF>
#include <QUrl>
#include <functional>
#include <optional>

class QMouseEvent;
class QWidget;

namespace quimbel {

class FileDragSource : public QObject {
  Q_OBJECT
 public:
  // Straight-line distance, in points, beyond which a press is no click.
  static constexpr double kDragThreshold = 3.0;
  static constexpr int kIconSide = 32;

  struct Actions {
    std::function<std::optional<QUrl>()> file;
    std::function<void()> click;
    std::function<void()> prepare;
    // Asked when `file` has nothing: true when the file will not come this
    // gesture (the owner has told the user why).
    std::function<bool()> failed;
  };

  FileDragSource(QWidget* target, Actions actions);
  void setActions(Actions actions);

 signals:
  // Around the drag session, which keeps the pointer until the drop.
  void dragStarted();
  void dragFinished();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void moveTo(QMouseEvent* event);
  void startDrag(const QUrl& url);

  QWidget* target_;
  Actions actions_;
  bool down_ = false;
  QPointF downScene_;  // the press, window points
  bool dragged_ = false;
  bool moved_ = false;
  bool gaveUp_ = false;    // the file of this gesture failed: no more asking
  bool dragging_ = false;  // a drag session runs: the program refuses drops
};

}  // namespace quimbel
