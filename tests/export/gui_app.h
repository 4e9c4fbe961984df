#pragma once

#include <QGuiApplication>
#include <cstdlib>

namespace quimbel {

// Text drawing needs a QGuiApplication; tests run without a display, so the
// offscreen platform stands in. Made once per test program and kept.
inline void ensureGuiApplication() {
  static QGuiApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "quimbel-test";
    static char* argv[] = {name, nullptr};
    return new QGuiApplication(argc, argv);
  }();
  (void)app;
}

}  // namespace quimbel
