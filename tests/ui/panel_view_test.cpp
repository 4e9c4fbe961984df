// The panel as a whole: the screen it shows against the command
// line's picture, and the pads wired to a pad model by the app delegate.

#include "ui/panel_view.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTemporaryDir>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_delegate.h"
#include "app/pad_panel.h"
#include "cli/cli.h"
#include "model/model_rig.h"
#include "music/chords.h"
#include "screen/screen_canvas.h"
#include "ui/offscreen_app.h"
#include "ui/pad_button.h"
#include "ui/wired_panel.h"

namespace quimbel {
namespace {

using testing::mouse;
using testing::offscreenApp;

// A screen with many colours: a chord, the recording frame and the flash of
// the empty cells 100 ms after recording began.
constexpr std::string_view kSnapshot = R"({
  "key": {"tonic": 1, "mode": "minor"},
  "shown": {"notes": [61, 64, 68, 71], "name": "C#m7", "color": "#ff5526"},
  "state": "rec", "recAt": 900
})";

ChordScreen::Input snapshotInput() {
  ChordScreen::Input input;
  input.key = {1, Chords::Mode::minor};
  input.shown = ChordScreen::Shown{{61, 64, 68, 71}, "C#m7", 0xFF5526};
  input.state = PadState::rec;
  input.recAt = 900;
  return input;
}

TEST(PanelViewTest, TheScreenShowsTheCommandLinePictureCellForCell) {
  offscreenApp();
  QTemporaryDir scratch;
  ASSERT_TRUE(scratch.isValid());
  const std::string json = scratch.filePath("snapshot.json").toStdString();
  const std::string png = scratch.filePath("screen.png").toStdString();
  std::ofstream(json) << kSnapshot;
  const std::vector<std::string_view> args = {json, "--now", "1000", "--png", png};
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(cli::runScreen(args), 0);
  ::testing::internal::GetCapturedStdout();
  const QImage expected(QString::fromStdString(png));
  ASSERT_FALSE(expected.isNull());

  // The tall layout at 2x: a cell edge off by half a point shows there.
  PanelView view;
  view.screen().setSource([] { return ScreenCanvas::Frame{snapshotInput(), 1000.0, true}; });
  ASSERT_TRUE(view.screen().drawFrame());
  const QRect screen = view.screen().geometry();
  const double pitch = (screen.width() + 1.0) / 32.0;
  QImage shot(view.size() * 2, QImage::Format_RGB32);
  shot.setDevicePixelRatio(2);
  view.render(&shot);
  auto pixel = [&](double x, double y) {
    return shot.pixel(static_cast<int>((screen.x() + x) * 2),
                      static_cast<int>((screen.y() + y) * 2)) &
           0xFFFFFFu;
  };
  int cells = 0, gaps = 0;
  for (int row = 0; row < 32; ++row) {
    for (int column = 0; column < 32; ++column) {
      // The middle of the cell's lit part (the cell less its 1-point gap),
      // then the middle of the gap to its right.
      const double x = (column + 0.5) * pitch - 0.5, y = (row + 0.5) * pitch - 0.5;
      if (pixel(x, y) != (expected.pixel(column * 10 + 4, row * 10 + 4) & 0xFFFFFFu)) ++cells;
      if (column < 31 && pixel((column + 1) * pitch - 0.5, y) != ScreenCanvas::kGapColor) ++gaps;
    }
  }
  EXPECT_EQ(cells, 0);
  EXPECT_EQ(gaps, 0);
}

TEST(PanelWiringTest, TheSeventhsPadHoldsSeventhsWhilePressedAndRecolours) {
  testing::WiredPanel wired;
  PadModel& model = wired.model();
  PanelView& view = wired.view();
  PadButton& sevenths = view.pad(7);

  mouse(sevenths, QEvent::MouseButtonPress, {40, 40});
  EXPECT_TRUE(model.sevenths());
  EXPECT_EQ(sevenths.fill(), 0xEDEDEDu);
  EXPECT_EQ(view.pad(0).big(), QStringLiteral("I7"));
  mouse(view.pad(4), QEvent::MouseButtonPress, {40, 40});
  EXPECT_TRUE(model.held().get().contains(4));
  EXPECT_TRUE(view.pad(4).pressed());

  mouse(view.pad(4), QEvent::MouseButtonRelease, {40, 40});
  mouse(sevenths, QEvent::MouseButtonRelease, {40, 40});
  EXPECT_FALSE(model.sevenths());
  EXPECT_FALSE(model.held().get().contains(4));
  EXPECT_EQ(sevenths.fill(), Chords::padColor(7));
  EXPECT_EQ(view.pad(0).big(), QStringLiteral("I"));
}

}  // namespace
}  // namespace quimbel
