#pragma once

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <cstdlib>
#include <memory>

namespace quimbel {

// Text drawing needs a QGuiApplication; tests run without a display, so the
// offscreen platform stands in. Made once per test program and closed when
// the tests end, so that the font caches it holds are released too.
class GuiApplicationEnvironment : public ::testing::Environment {
 public:
  void make() {
    if (app_) return;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    app_ = std::make_unique<QGuiApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[13] = "quimbel-test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QGuiApplication> app_;
};

inline void ensureGuiApplication() {
  static auto* const environment = static_cast<GuiApplicationEnvironment*>(
      ::testing::AddGlobalTestEnvironment(new GuiApplicationEnvironment));
  environment->make();
}

}  // namespace quimbel
