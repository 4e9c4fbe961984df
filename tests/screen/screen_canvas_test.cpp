// The pixel canvas: what it pushes, when, and that a hidden panel composes
// nothing.

#include "screen/screen_canvas.h"

#include <gtest/gtest.h>

#include <QTimer>

#include "ui/offscreen_app.h"

namespace quimbel {
namespace {

// A canvas over a snapshot the test changes, counting the compositions.
struct Rig {
  QApplication& app = testing::offscreenApp();
  ChordScreen::Input input;
  bool live = true;
  int snapshots = 0;
  ScreenCanvas canvas;

  Rig() {
    canvas.resize(304, 304);
    canvas.setSource([this] {
      ++snapshots;
      return ScreenCanvas::Frame{input, 0.0, live};
    });
  }
  QRgb cell(int row, int column) const { return canvas.picture().pixel(column, row) & 0xFFFFFF; }
};

TEST(ScreenCanvasTest, PushesOnlyFramesWithAChangedCellGreyedWhenNotLive) {
  Rig rig;
  rig.input.state = PadState::done;  // an empty sheet: every cell empty
  EXPECT_TRUE(rig.canvas.drawFrame()) << "the first frame is always pushed";
  EXPECT_FALSE(rig.canvas.drawFrame());

  // Not live, the lit keys of C major (0xFF5526) turn grey 118; the empty
  // background stays as it is.
  rig.input.state = PadState::ready;
  rig.live = false;
  EXPECT_TRUE(rig.canvas.drawFrame());
  EXPECT_EQ(rig.cell(20, 3), 0x767676u);
  EXPECT_EQ(rig.cell(0, 0), ChordScreen::kBackground);

  // Flipping live pushes exactly one new picture.
  rig.live = true;
  EXPECT_TRUE(rig.canvas.drawFrame());
  EXPECT_EQ(rig.cell(20, 3), 0xFF5526u);
  EXPECT_FALSE(rig.canvas.drawFrame());
}

TEST(ScreenCanvasTest, FramesRunOnlyWhileVisibleOnOneTimer) {
  Rig rig;
  rig.canvas.showVisible(false);
  EXPECT_EQ(rig.snapshots, 0);
  EXPECT_TRUE(rig.canvas.findChildren<QTimer*>().isEmpty());

  rig.canvas.showVisible(true);
  rig.canvas.showVisible(true);
  EXPECT_EQ(rig.snapshots, 1) << "one frame at once, not one per call";
  ASSERT_EQ(rig.canvas.findChildren<QTimer*>().size(), 1);
  EXPECT_TRUE(rig.canvas.findChildren<QTimer*>().front()->isActive());

  rig.canvas.showVisible(false);
  EXPECT_TRUE(rig.canvas.findChildren<QTimer*>().isEmpty());
  EXPECT_EQ(rig.snapshots, 1);
}

}  // namespace
}  // namespace quimbel
