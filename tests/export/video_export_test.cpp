#include "export/video_export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "look/palette.h"

namespace quimbel {
namespace {

ChordHit hit(int pad, double t, double hold = 0.2, bool seventh = false, bool ninth = false) {
  return {.pad = pad, .t = t, .hold = hold, .seventh = seventh, .ninth = ninth};
}

// The ease curve solved by Newton's method rather than bisection.
double referenceGlow(double seconds) {
  const double p = std::min(seconds / 1.6, 1.0);
  auto x = [](double s) { return 0.6 * s * (1 - s) * (1 - s) + 0.9 * s * s * (1 - s) + s * s * s; };
  double s = p;
  for (int i = 0; i < 50; ++i) s -= (x(s) - p) / ((x(s + 1e-7) - x(s - 1e-7)) / 2e-7);
  return 1.0 - (1.8 * s * (1 - s) * (1 - s) + 3.0 * s * s * (1 - s) + s * s * s);
}

TEST(VideoExportTest, PassLengthAndFrameCountFollowTheTake) {
  struct Case {
    const char* rule;
    std::vector<double> hitTimes;
    double taken, passLength;
    int frames;  // 0: not checked
  };
  const Case cases[] = {
      {"four seconds ending inside: 294 frames", {0.0, 1.5, 3.9}, 4.0, 4.0, 294},
      {"empty take of no length: 58 frames, not 57", {}, 0.0, 0.05, 58},
      {"a hit at the end extends the pass", {0.0, 4.0}, 4.0, 4.05, 0},
      {"only the last entry counts", {3.0, 1.0}, 2.0, 2.0, 0},
  };
  for (const Case& c : cases) {
    VideoExport v{.taken = c.taken};
    for (double t : c.hitTimes) v.events.push_back(hit(0, t));
    EXPECT_DOUBLE_EQ(v.passLength(), c.passLength) << c.rule;
    EXPECT_DOUBLE_EQ(v.totalLength(), 2 * c.passLength + 1.8) << c.rule;
    if (c.frames > 0) {
      EXPECT_EQ(v.frameCount(), c.frames) << c.rule;
    }
  }
}

TEST(VideoExportTest, ReleasedPadFadesAlongTheEaseCurveAndBrightensItsColours) {
  for (double s : {0.0, 0.1, 0.4, 0.8, 1.5, 1.6, 10.0}) {
    EXPECT_NEAR(releaseGlow(s), referenceGlow(s), 1e-9) << s;
  }
  EXPECT_EQ(glowColor(0xFF5526, 1.0), 0xFF612Bu);  // 0x55 × 1.14 = 96.9, 0x26 × 1.14 = 43.3
  EXPECT_EQ(glowColor(0xF9ECCF, 1.0), 0xFFFFECu);  // the two brighter channels clip
  // sRGB 128 is 21.6 % linear light; 0.216^(1 / 1.961) is 117 of 255.
  EXPECT_EQ(toVideoChannel(128), 117);
  EXPECT_EQ(fromVideoColor(toVideoColor(0x0A0A0A)), 0x0A0A0Au);
}

TEST(VideoExportTest, HeldHitPressesItsPadAndSetsTheModifierFlags) {
  struct Case {
    bool seventh, ninth, shownSeventh, shownNinth;
  };
  for (const Case c : {Case{false, false, false, false}, Case{true, false, true, false},
                       Case{false, true, true, true}}) {
    const VideoExport v{.events = {hit(4, 1.0, 0.5, c.seventh, c.ninth)}, .taken = 3.0};
    EXPECT_FALSE(v.frameState(0.99).pressed[4]);
    for (double now : {1.0, 1.4999}) {
      const VideoExport::Frame f = v.frameState(now);
      EXPECT_TRUE(f.pressed[4]) << now;
      EXPECT_EQ(f.glow[4], 1.0) << now;
      EXPECT_EQ(f.seventh, c.shownSeventh) << now;
      EXPECT_EQ(f.ninth, c.shownNinth) << now;
    }
    const VideoExport::Frame released = v.frameState(2.3);
    EXPECT_FALSE(released.pressed[4]);
    EXPECT_FALSE(released.seventh || released.ninth);
    EXPECT_NEAR(released.glow[4], referenceGlow(0.8), 1e-9);
    // The second pass plays the hit again (and only now, not at 1.2 s).
    EXPECT_TRUE(v.frameState(3.0 + 1.2).pressed[4]);
  }
  // The same pad hit twice keeps the brighter glow: the first hit, held
  // long, outshines the second, released earlier. A pad index off the grid
  // lights nothing (and writes nothing out of bounds).
  const VideoExport v{.events = {hit(1, 0.0, 2.0), hit(1, 0.2, 0.1), hit(-1, 0.0, 5.0)},
                      .taken = 4.0};
  const VideoExport::Frame f = v.frameState(2.1);
  EXPECT_FALSE(f.pressed[1]);
  EXPECT_NEAR(f.glow[1], referenceGlow(0.1), 1e-9);
}

}  // namespace
}  // namespace quimbel
