#include "export/video_frames.h"

#include <gtest/gtest.h>

#include "export/gui_app.h"
#include "music/chords.h"

namespace quimbel {
namespace {

const std::uint32_t kBackground = toVideoColor(0x0A0A0A);

// Pad i's top-left corner before any inset (its side is 249.6).
QPointF padCorner(int i) { return {144.8 + (i % 3) * 270.4, 975.6 + (i / 3) * 270.4}; }

std::uint32_t at(const QImage& image, double x, double y) {
  return image.pixel(static_cast<int>(x), static_cast<int>(y)) & 0xFFFFFF;
}

// Pixels of exactly `color` in the box, or (color 0) of anything but the
// background; and the leftmost and rightmost such columns.
struct Ink {
  int count = 0, left = 1 << 20, right = -1;
};
Ink ink(const QImage& image, QRectF box, std::uint32_t color = 0) {
  Ink found;
  for (int y = static_cast<int>(box.top()); y < static_cast<int>(box.bottom()); ++y) {
    for (int x = static_cast<int>(box.left()); x < static_cast<int>(box.right()); ++x) {
      const std::uint32_t p = image.pixel(x, y) & 0xFFFFFF;
      if (color != 0 ? p == color : p != kBackground) {
        ++found.count;
        found.left = std::min(found.left, x);
        found.right = std::max(found.right, x);
      }
    }
  }
  return found;
}

class VideoPainterTest : public testing::Test {
 protected:
  void SetUp() override { ensureGuiApplication(); }
  QImage image = VideoPainter::makeFrame();
};

TEST_F(VideoPainterTest, PressedPadIsInsetAndBrightenedOthersAreNot) {
  VideoExport::Frame frame;
  frame.pressed[0] = true;
  frame.glow[0] = 1.0;
  frame.glow[3] = 0.5;      // released and fading: brighter, full size
  frame.pressed[7] = true;  // the sevenths pad is never inset
  VideoPainter(0, std::nullopt).drawTake(image, frame);

  const QPointF p0 = padCorner(0);
  EXPECT_EQ(at(image, p0.x() + 1.5, p0.y() + 125), kBackground);  // the 3.744 band
  EXPECT_EQ(at(image, p0.x() + 229, p0.y() + 125), toVideoColor(0xFF612B));
  const QPointF p3 = padCorner(3);
  EXPECT_EQ(at(image, p3.x() + 1.5, p3.y() + 125),
            toVideoColor(glowColor(Chords::padColor(3), 0.5)));
  const QPointF p7 = padCorner(7);
  EXPECT_EQ(at(image, p7.x() + 1.5, p7.y() + 125), toVideoColor(Chords::padColor(7)));

  frame.seventh = true;
  VideoPainter(0, std::nullopt).drawTake(image, frame);
  EXPECT_EQ(at(image, p7.x() + 1.5, p7.y() + 125), toVideoColor(0xEDEDED));
  EXPECT_GT(ink(image, QRectF(p7, QSizeF(249, 249)), toVideoColor(0x161616)).count, 100);
}

TEST_F(VideoPainterTest, LabelSitsTopLeftAndTheDegreeCarriesTheModifierSuffix) {
  const VideoPainter painter(0, std::nullopt);
  const QPointF p = padCorner(1);
  const std::uint32_t type = toVideoColor(Chords::padLabelColor(1));
  const double degreeBottom = p.y() + 249.6 - 20.8;
  auto degreeInk = [&] {
    return ink(image, QRectF(p.x() + 26, degreeBottom - 45, 220, 45), type).count;
  };
  VideoExport::Frame frame;
  painter.drawTake(image, frame);
  EXPECT_GT(ink(image, QRectF(p.x(), p.y(), 125, 135), type).count, 300);
  EXPECT_EQ(ink(image, QRectF(p.x() + 130, p.y(), 119, 150), type).count, 0);
  EXPECT_EQ(ink(image, QRectF(p.x(), degreeBottom + 1, 249, 20), type).count, 0);
  const int plain = degreeInk();  // "II"

  frame.seventh = true;  // "II7"
  painter.drawTake(image, frame);
  const int seventh = degreeInk();
  frame.ninth = true;  // "II9"
  painter.drawTake(image, frame);
  EXPECT_GT(seventh, plain * 5 / 4);
  EXPECT_GT(degreeInk(), plain * 5 / 4);
  EXPECT_NE(degreeInk(), seventh);
}

TEST_F(VideoPainterTest, KnobPointerTurnsThirtyDegreesPerStepClockwise) {
  // A point 60 px along the pointer from the knob's centre, per knob value.
  struct Case {
    int knob, dx, dy;
  };
  for (const auto& [knob, dx, dy] :
       {Case{0, 0, -60}, Case{3, 60, 0}, Case{-3, -60, 0}, Case{5, 30, 52}}) {
    VideoPainter(knob, std::nullopt).drawTake(image, VideoExport::Frame{});
    const auto colors = ChordScreen::kKnobPalette[ChordScreen::knobPaletteIndex(knob)];
    EXPECT_EQ(at(image, 810.4 + dx, 1641.2 + dy), toVideoColor(colors.second)) << knob;
    EXPECT_EQ(at(image, 810.4 - dx, 1641.2 - dy), toVideoColor(colors.first)) << knob;
  }
}

TEST_F(VideoPainterTest, OutroFadesInTheIconAndCentredText) {
  VideoBitmap icon{280, 280, {}};
  for (int i = 0; i < 280 * 280; ++i) icon.bgra.insert(icon.bgra.end(), {0x99, 0x66, 0x33, 0xFF});
  const VideoPainter painter(0, icon);

  painter.drawOutro(image, 0.0);
  EXPECT_EQ(ink(image, QRectF(0, 600, 1080, 560)).count, 0);

  painter.drawOutro(image, 1.0);
  EXPECT_EQ(at(image, 540, 780), toVideoColor(0x336699));
  EXPECT_EQ(at(image, 399, 780), kBackground);
  for (const QRectF line : {QRectF(0, 966, 1080, 110), QRectF(0, 1082, 1080, 70)}) {
    const Ink text = ink(image, line);
    ASSERT_GT(text.count, 0);
    EXPECT_NEAR(text.left + text.right, 1080, 8);
  }

  VideoPainter(0, std::nullopt).drawOutro(image, 1.0);
  EXPECT_EQ(ink(image, QRectF(0, 600, 1080, 360)).count, 0);  // no icon, only text
}

}  // namespace
}  // namespace quimbel
