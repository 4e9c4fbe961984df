#pragma once

// The one QApplication of a widget test program, on the offscreen platform,
// and synthetic mouse and wheel events sent straight to a widget.

#include <QApplication>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QWidget>
#include <cstdlib>

namespace quimbel::testing {

inline QApplication& offscreenApp() {
  static int argc = 1;
  static char name[] = "ui_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  return *app;
}

// A scroll: `pixels` for a trackpad, or `angle` eighths of a degree for a wheel.
inline void sendWheel(QWidget& widget, QPoint pixels, QPoint angle) {
  const QPointF at(widget.width() / 2.0, widget.height() / 2.0);
  QWheelEvent event(at, at, pixels, angle, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(&widget, &event);
}

// Sends one left-button event at `at` (the widget's points, fractions kept),
// with the window and global positions the widget really has.
inline void mouse(QWidget& widget, QEvent::Type type, QPointF at) {
  const QPointF scene = QPointF(widget.mapTo(widget.window(), QPoint(0, 0))) + at;
  const bool down = type != QEvent::MouseButtonRelease;
  QMouseEvent event(type, at, scene, widget.mapToGlobal(at),
                    type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                    down ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
}

// A press at `from`, one move to `to` (unless they are equal), a release there.
inline void gesture(QWidget& widget, QPointF from, QPointF to) {
  mouse(widget, QEvent::MouseButtonPress, from);
  if (to != from) mouse(widget, QEvent::MouseMove, to);
  mouse(widget, QEvent::MouseButtonRelease, to);
}

}  // namespace quimbel::testing
