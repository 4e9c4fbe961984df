#pragma once

// Raw mouse gestures for the panel's controls: press, vertical drag with the
// travel and whether it went far enough to count as a drag, release, scroll,
// right click (or Meta-click), a context menu and the cursor over the
// control. It watches one widget as an event filter and calls the newest
// handlers it was given, so the owner may swap them at any time.
//
// Thread contract: main thread only.

#include <QCursor>
#include <QObject>
#include <QPointF>
#include <QSizeF>
#include <functional>
#include <optional>

class QMenu;
class QMouseEvent;
class QWheelEvent;
class QWidget;

namespace quimbel {

class MouseCatcher : public QObject {
  Q_OBJECT
 public:
  // Vertical travel, in points, from which a gesture is a drag and no click.
  static constexpr double kMoveThreshold = 3.0;
  // Smaller scroll deltas are the tail of a trackpad's inertia: dropped.
  static constexpr double kScrollFloor = 0.5;

  struct Handlers {
    std::optional<Qt::CursorShape> cursor;
    std::function<void()> onDown;
    // Travel since the press, points, positive upwards; `moved` stays set
    // once the travel reached the threshold.
    std::function<void(double dy, bool moved)> onDrag;
    std::function<void(bool moved)> onUp;
    // Vertical delta: points for a trackpad, notches for a wheel (up positive).
    std::function<void(double delta)> onScroll;
    std::function<void()> onRightClick;
    // A context menu, owned by the caller's handler; shown at the pointer.
    std::function<QMenu*()> menu;
    // Offset since the press, points, height positive downwards.
    std::function<void(QSizeF offset)> onMove;
    // The pointer's horizontal position in the control.
    std::function<void(double x)> onX;
  };

  MouseCatcher(QWidget* target, Handlers handlers);
  void setHandlers(Handlers handlers);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool press(QMouseEvent* event);
  void drag(QMouseEvent* event);
  void releaseButton(QMouseEvent* event);
  bool secondary(QMouseEvent* event);
  bool scroll(QWheelEvent* event);

  QWidget* target_;
  Handlers handlers_;
  QPointF start_;
  bool down_ = false;
  bool moved_ = false;
  double wheelNotches_ = 0.0;
};

}  // namespace quimbel
