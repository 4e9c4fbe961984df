#include "ui/about_window.h"

#include <gtest/gtest.h>

#include "app/app_delegate_about.h"
#include "ui/offscreen_app.h"
#include "ui/pixel_grid_view.h"

namespace quimbel {
namespace {

TEST(AboutWindowTest, OpeningAgainReusesTheOneWindowWhoseFaceAnimatesOnlyWhileOpen) {
  testing::offscreenApp();
  QObject owner;
  AboutWindow& first = openAboutWindow(owner, false);
  EXPECT_TRUE(first.isVisible());
  EXPECT_EQ(first.versionText(), "Version " QUIMBEL_VERSION);
  EXPECT_TRUE(first.face()->animating());
  first.close();
  EXPECT_FALSE(first.face()->animating());
  AboutWindow& second = openAboutWindow(owner, false);
  EXPECT_EQ(&second, &first);
  EXPECT_TRUE(second.isVisible());
  EXPECT_TRUE(second.face()->animating());
}

}  // namespace
}  // namespace quimbel
