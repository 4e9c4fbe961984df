#pragma once

// One QApplication per widget test program, on the offscreen platform unless
// the environment names another.

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>

namespace quimbel::testing {

inline QApplication& offscreenApp() {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "ui_test";
  static char* argv[] = {name, nullptr};
  // Never destroyed: at exit Qt's own globals may already be gone.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Sends one left-button event at `at` (the widget's points, fractions kept).
inline void mouse(QWidget& widget, QEvent::Type type, QPointF at) {
  const QPointF scene = QPointF(widget.mapTo(widget.window(), QPoint(0, 0))) + at;
  const bool down = type != QEvent::MouseButtonRelease;
  QMouseEvent event(type, at, scene, widget.mapToGlobal(at), Qt::LeftButton,
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
