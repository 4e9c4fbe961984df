#include "export/video_frames.h"

#include <gtest/gtest.h>

#include <QFontInfo>
#include <cmath>
#include <filesystem>

#include "audio/data_folder.h"
#include "export/gui_app.h"
#include "music/chords.h"
#include "screen/compose.h"

namespace quimbel {
namespace {

constexpr std::uint32_t kFrameBackground = 0x0A0A0A;

// Pad i's rectangle before any inset: x, y, side 249.6.
struct PadBox {
  double x, y;
};
PadBox padBox(int i) { return {144.8 + (i % 3) * 270.4, 975.6 + (i / 3) * 270.4}; }

class VideoPainterTest : public testing::Test {
 protected:
  void SetUp() override { ensureGuiApplication(); }

  static std::uint32_t at(const QImage& image, double x, double y) {
    return image.pixel(static_cast<int>(x), static_cast<int>(y)) & 0xFFFFFF;
  }
  static std::uint32_t video(std::uint32_t srgb) { return toVideoColor(srgb); }

  // Pixels of exactly `color` inside a box.
  static int countColor(const QImage& image, double x0, double y0, double x1, double y1,
                        std::uint32_t color) {
    int n = 0;
    for (int y = static_cast<int>(y0); y < static_cast<int>(y1); ++y) {
      for (int x = static_cast<int>(x0); x < static_cast<int>(x1); ++x) {
        if ((image.pixel(x, y) & 0xFFFFFF) == color) ++n;
      }
    }
    return n;
  }

  // The leftmost and rightmost columns holding anything but the background,
  // within rows y0 … y1.
  static std::pair<int, int> inkSpan(const QImage& image, int y0, int y1) {
    int left = image.width();
    int right = -1;
    for (int y = y0; y < y1; ++y) {
      for (int x = 0; x < image.width(); ++x) {
        if ((image.pixel(x, y) & 0xFFFFFF) != video(kFrameBackground)) {
          left = std::min(left, x);
          right = std::max(right, x);
        }
      }
    }
    return {left, right};
  }

  static VideoExport::Frame screenWithChord() {
    ChordScreen::Input input;
    input.key = {0, Chords::Mode::major};
    input.shown = ChordScreen::Shown{{48, 52, 55}, "C", 0xFF5526};
    VideoExport::Frame frame;
    frame.cells = ChordScreen::compose(input, 500.0);
    return frame;
  }
};

TEST_F(VideoPainterTest, ScreenCellsAreDrawnInTheirColoursWithGapsAndRoundedCorners) {
  const VideoPainter painter(0, std::nullopt);
  QImage image = VideoPainter::makeFrame();
  const VideoExport::Frame frame = screenWithChord();
  painter.drawTake(image, frame);

  int lit = 0;
  for (int n = 0; n < ChordScreen::kCellCount; ++n) {
    const double x = 144.8 + (n % 32) * 24.78125 + 11.09;
    const double y = 154.0 + (n / 32) * 24.78125 + 11.09;
    const std::uint32_t expected = frame.cells[n].value_or(ChordScreen::kBackground);
    if (frame.cells[n]) ++lit;
    ASSERT_EQ(at(image, x, y), video(expected)) << "cell " << n;
  }
  EXPECT_GT(lit, 20);
  // Column 168 lies wholly in the gap after the first column of cells.
  EXPECT_EQ(at(image, 168, 165), video(0x121212));
  // Outside the rounded corner the frame's background shows.
  EXPECT_EQ(at(image, 145, 155), video(kFrameBackground));
  EXPECT_EQ(at(image, 934, 943), video(kFrameBackground));
}

TEST_F(VideoPainterTest, PressedPadIsInsetAndBrightenedOthersAreNot) {
  const VideoPainter painter(0, std::nullopt);
  QImage image = VideoPainter::makeFrame();
  VideoExport::Frame frame = screenWithChord();
  frame.pressed[0] = true;
  frame.glow[0] = 1.0;
  frame.glow[3] = 0.5;  // released and fading: brighter, full size
  painter.drawTake(image, frame);

  const PadBox p0 = padBox(0);
  // The 3.744-pixel band of a pressed pad shows the background.
  EXPECT_EQ(at(image, p0.x + 1.5, p0.y + 125), video(kFrameBackground));
  EXPECT_EQ(at(image, p0.x + 229, p0.y + 125), video(glowColor(Chords::padColor(0), 1.0)));
  EXPECT_EQ(glowColor(Chords::padColor(0), 1.0), 0xFF612Bu);

  const PadBox p3 = padBox(3);
  EXPECT_EQ(at(image, p3.x + 1.5, p3.y + 125), video(glowColor(Chords::padColor(3), 0.5)));
  const PadBox p1 = padBox(1);
  EXPECT_EQ(at(image, p1.x + 1.5, p1.y + 125), video(Chords::padColor(1)));
}

TEST_F(VideoPainterTest, SeventhsPadTurnsLightWithTheFlagAndIsNeverInset) {
  const VideoPainter painter(0, std::nullopt);
  QImage image = VideoPainter::makeFrame();
  VideoExport::Frame frame = screenWithChord();
  frame.pressed[7] = true;
  frame.glow[7] = 1.0;
  painter.drawTake(image, frame);
  const PadBox p7 = padBox(7);
  EXPECT_EQ(at(image, p7.x + 1.5, p7.y + 125), video(Chords::padColor(7)));

  frame.seventh = true;
  painter.drawTake(image, frame);
  EXPECT_EQ(at(image, p7.x + 1.5, p7.y + 125), video(0xEDEDED));
  EXPECT_GT(countColor(image, p7.x, p7.y, p7.x + 249, p7.y + 249, video(0x161616)), 100);
}

TEST_F(VideoPainterTest, LabelsSitTopLeftAndDegreesCarryTheModifierSuffix) {
  const VideoPainter painter(0, std::nullopt);
  QImage image = VideoPainter::makeFrame();
  VideoExport::Frame frame = screenWithChord();
  const PadBox p0 = padBox(0);
  const std::uint32_t type = video(Chords::padLabelColor(0));
  auto labelInk = [&] { return countColor(image, p0.x, p0.y, p0.x + 125, p0.y + 135, type); };
  // The degree's box: from its left edge to the pad's right, above its
  // bottom margin; nothing of it lies lower.
  const double degreeBottom = p0.y + 249.6 - 20.8;
  auto degreeInk = [&] {
    return countColor(image, p0.x + 26, degreeBottom - 45, p0.x + 249, degreeBottom, type);
  };

  painter.drawTake(image, frame);
  EXPECT_GT(labelInk(), 300);
  const int plain = degreeInk();
  EXPECT_GT(plain, 30);
  EXPECT_EQ(countColor(image, p0.x, degreeBottom + 1, p0.x + 249, p0.y + 249, type), 0);
  EXPECT_EQ(countColor(image, p0.x + 130, p0.y + 10, p0.x + 249, p0.y + 150, type), 0);

  frame.seventh = true;  // "I7"
  painter.drawTake(image, frame);
  const int seventh = degreeInk();
  EXPECT_GT(seventh, plain * 3 / 2);

  frame.ninth = true;  // "I9" replaces "I7"
  painter.drawTake(image, frame);
  EXPECT_GT(degreeInk(), plain * 3 / 2);
  EXPECT_NE(degreeInk(), seventh);
}

TEST_F(VideoPainterTest, KnobPointerTurnsThirtyDegreesPerStepClockwise) {
  struct Case {
    int knob;
    double dx, dy;  // a point 60 px along the pointer from the knob's centre
  };
  for (const Case c : {Case{0, 0, -60}, Case{3, 60, 0}, Case{-3, -60, 0}, Case{5, 30, 52}}) {
    const VideoPainter painter(c.knob, std::nullopt);
    QImage image = VideoPainter::makeFrame();
    painter.drawTake(image, screenWithChord());
    const ChordScreen::KnobColors colors =
        ChordScreen::kKnobPalette[ChordScreen::knobPaletteIndex(c.knob)];
    EXPECT_EQ(at(image, 810.4 + c.dx, 1641.2 + c.dy), video(colors.second)) << c.knob;
    // Opposite the pointer only the body shows.
    EXPECT_EQ(at(image, 810.4 - c.dx, 1641.2 - c.dy), video(colors.first)) << c.knob;
  }
}

TEST_F(VideoPainterTest, OutroFadesInTheIconAndCentredText) {
  VideoBitmap icon;
  icon.width = 280;
  icon.height = 280;
  icon.bgra.resize(280 * 280 * 4);
  for (std::size_t i = 0; i < icon.bgra.size(); i += 4) {
    icon.bgra[i] = 0x99;  // B
    icon.bgra[i + 1] = 0x66;
    icon.bgra[i + 2] = 0x33;
    icon.bgra[i + 3] = 0xFF;
  }
  const VideoPainter painter(0, icon);
  QImage image = VideoPainter::makeFrame();

  painter.drawOutro(image, 0.0);
  EXPECT_EQ(at(image, 540, 780), video(kFrameBackground));
  EXPECT_EQ(inkSpan(image, 960, 1160).second, -1);

  painter.drawOutro(image, 1.0);
  EXPECT_EQ(at(image, 540, 780), video(0x336699));
  EXPECT_EQ(at(image, 399, 780), video(kFrameBackground));
  const auto [nameLeft, nameRight] = inkSpan(image, 966, 1075);
  ASSERT_GE(nameRight, 0);
  EXPECT_NEAR(nameLeft + nameRight, 1080, 8);
  EXPECT_GT(nameRight - nameLeft, 200);
  const auto [addressLeft, addressRight] = inkSpan(image, 1082, 1150);
  ASSERT_GE(addressRight, 0);
  EXPECT_NEAR(addressLeft + addressRight, 1080, 8);

  // Halfway through the fade the icon is halfway over the background.
  painter.drawOutro(image, 0.125);
  const std::uint32_t half = at(image, 540, 780);
  const int blue = static_cast<int>(half & 0xFF);
  EXPECT_NEAR(blue,
              (static_cast<int>(video(0x336699) & 0xFF) +
               static_cast<int>(video(kFrameBackground) & 0xFF)) /
                  2,
              2);
}

TEST_F(VideoPainterTest, OutroWithoutIconShowsOnlyTheText) {
  const VideoPainter painter(0, std::nullopt);
  QImage image = VideoPainter::makeFrame();
  painter.drawOutro(image, 1.0);
  EXPECT_EQ(inkSpan(image, 600, 960).second, -1);
  EXPECT_GE(inkSpan(image, 966, 1075).second, 0);
}

TEST_F(VideoPainterTest, PanelFontIsUncutSansWhenTheDataFolderHasIt) {
  if (!std::filesystem::exists(dataFolder() / "Fonts" / "uncut-sans-latin-400-normal.woff2") &&
      !std::filesystem::exists(dataFolder() / "Fonts" / "uncut-sans-latin-400-normal.woff")) {
    GTEST_SKIP() << "no panel font in the data folder";
  }
  EXPECT_EQ(QFontInfo(videoPanelFont(36.4)).family(), QStringLiteral("Uncut Sans"));
}

TEST_F(VideoPainterTest, AppIconLoadsAt280Pixels) {
  if (!std::filesystem::exists(dataFolder() / "AppIcon.png")) {
    GTEST_SKIP() << "no icon in the data folder";
  }
  const std::optional<VideoBitmap> icon = loadVideoIcon();
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->width, 280);
  EXPECT_EQ(icon->height, 280);
  ASSERT_EQ(icon->bgra.size(), 280u * 280u * 4u);
  EXPECT_EQ(icon->bgra[3], 0);                            // a transparent corner
  EXPECT_EQ(icon->bgra[(140 * 280 + 140) * 4 + 3], 255);  // an opaque middle
}

}  // namespace
}  // namespace quimbel
