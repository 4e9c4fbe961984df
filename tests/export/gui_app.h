#pragma once

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <cstdlib>
#include <memory>

namespace quimbel {

// Text drawing needs a QGuiApplication: made once per test program on the
// offscreen platform, and closed (with its font caches) when the tests end.
inline void ensureGuiApplication() {
  struct Environment : ::testing::Environment {
    void TearDown() override { app.reset(); }
    int argc = 1;
    char name[13] = "quimbel-test";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QGuiApplication> app;
  };
  static auto* const environment =
      static_cast<Environment*>(::testing::AddGlobalTestEnvironment(new Environment));
  if (environment->app) return;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  environment->app = std::make_unique<QGuiApplication>(environment->argc, environment->argv);
}

}  // namespace quimbel
