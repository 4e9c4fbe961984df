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

// A mouse event of the left button at `at` (widget points); the global
// position is the same point, which is all the resize edge reads.
inline void sendMouse(QWidget& widget, QEvent::Type type, QPointF at) {
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent event(type, at, at, at, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                    held, Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
}

// A scroll: `pixels` for a trackpad, or `angle` eighths of a degree for a wheel.
inline void sendWheel(QWidget& widget, QPoint pixels, QPoint angle) {
  const QPointF at(widget.width() / 2.0, widget.height() / 2.0);
  QWheelEvent event(at, at, pixels, angle, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(&widget, &event);
}

}  // namespace quimbel::testing
