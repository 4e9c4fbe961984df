#include "ui/about_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

#include "app/app_delegate_about.h"
#include "ui/pixel_grid_view.h"

namespace quimbel {
namespace {

// One application for the whole program, gone before the exit handlers run
// (Qt's font cache cannot be torn down after them).
class OffscreenApplication : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[18] = "about_window_test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};
[[maybe_unused]] ::testing::Environment* const offscreen =
    ::testing::AddGlobalTestEnvironment(new OffscreenApplication);

int aboutWindowCount() {
  int count = 0;
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (qobject_cast<AboutWindow*>(widget)) ++count;
  return count;
}

TEST(AboutWindowTest, OpeningAgainReusesTheOneWindowEvenAfterItWasClosed) {
  QObject owner;
  AboutWindow& first = openAboutWindow(owner, false);
  EXPECT_TRUE(first.isVisible());
  EXPECT_EQ(first.windowTitle(), "About Quimbel");
  first.close();
  AboutWindow& second = openAboutWindow(owner, false);
  EXPECT_EQ(&second, &first);
  EXPECT_TRUE(second.isVisible());
  EXPECT_EQ(aboutWindowCount(), 1);
}

TEST(AboutWindowTest, ShowsTheBuildsVersion) {
  QObject owner;
  EXPECT_EQ(openAboutWindow(owner, false).versionText(), "Version " QUIMBEL_VERSION);
}

TEST(AboutWindowTest, TheFaceAnimatesOnlyWhileTheWindowIsOpen) {
  QObject owner;
  AboutWindow& window = openAboutWindow(owner, false);
  EXPECT_TRUE(window.face()->animating());
  window.close();
  EXPECT_FALSE(window.face()->animating());
  openAboutWindow(owner, false);
  EXPECT_TRUE(window.face()->animating());
}

TEST(AboutWindowTest, TheLicencesNameTheProgramsLicenceAndThePianos) {
  const QString text = AboutWindow::licenceText();
  EXPECT_TRUE(text.contains("GPL-3.0-or-later"));
  EXPECT_TRUE(text.contains("Salamander Grand Piano V3"));
}

}  // namespace
}  // namespace quimbel
