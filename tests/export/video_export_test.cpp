#include "export/video_export.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "screen/compose.h"

namespace quimbel {
namespace {

ChordHit hit(int pad, double t, double hold = 0.2, bool seventh = false, bool ninth = false) {
  ChordHit h;
  h.pad = pad;
  h.t = t;
  h.hold = hold;
  h.seventh = seventh;
  h.ninth = ninth;
  h.voicing.notes = {48 + pad, 52 + pad, 55 + pad};
  h.voicing.offsets = {0.0, 0.0, 0.0};
  h.shown.notes = h.voicing.notes;
  h.shown.name = "P" + std::to_string(pad);
  h.shown.color = 0x112233 * static_cast<std::uint32_t>(pad + 1);
  return h;
}

VideoExport take(std::vector<ChordHit> events, double taken) {
  VideoExport v;
  v.events = std::move(events);
  v.taken = taken;
  v.key = {1, Chords::Mode::minor};
  v.knob = -3;
  return v;
}

// The ease curve solved by a method other than bisection: Newton on x(s).
double referenceGlow(double seconds) {
  const double p = std::min(seconds / 1.6, 1.0);
  auto x = [](double s) { return 0.6 * s * (1 - s) * (1 - s) + 0.9 * s * s * (1 - s) + s * s * s; };
  auto dx = [&](double s) { return (x(s + 1e-7) - x(s - 1e-7)) / 2e-7; };
  double s = p;
  for (int i = 0; i < 50; ++i) s -= (x(s) - p) / dx(s);
  return 1.0 - (1.8 * s * (1 - s) * (1 - s) + 3.0 * s * s * (1 - s) + s * s * s);
}

struct LengthCase {
  const char* rule;
  std::vector<double> hitTimes;
  double taken;
  double passLength;
  int frames;  // 0: not checked
};

class VideoLengthTest : public testing::TestWithParam<LengthCase> {};

TEST_P(VideoLengthTest, PassLengthAndFrameCountFollowTheTake) {
  const LengthCase& c = GetParam();
  std::vector<ChordHit> hits;
  for (double t : c.hitTimes) hits.push_back(hit(0, t));
  const VideoExport v = take(hits, c.taken);
  EXPECT_DOUBLE_EQ(v.passLength(), c.passLength);
  EXPECT_DOUBLE_EQ(v.totalLength(), 2 * c.passLength + 1.8);
  if (c.frames > 0) {
    EXPECT_EQ(v.frameCount(), c.frames);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Takes, VideoLengthTest,
    testing::Values(
        LengthCase{"FourSecondTakeEndingInsideGives294Frames", {0.0, 1.5, 3.9}, 4.0, 4.0, 294},
        LengthCase{"EmptyTakeOfNoLengthGives58FramesNot57", {}, 0.0, 0.05, 58},
        LengthCase{"EmptyTakeKeepsItsRecordedLength", {}, 2.5, 2.5, 0},
        LengthCase{"HitStartingAtTheEndExtendsThePass", {0.0, 4.0}, 4.0, 4.05, 0},
        LengthCase{"HitAfterTheEndExtendsThePass", {5.0}, 4.0, 5.05, 0},
        LengthCase{"OnlyTheLastEntryCounts", {3.0, 1.0}, 2.0, 2.0, 0}),
    [](const testing::TestParamInfo<LengthCase>& info) { return std::string(info.param.rule); });

TEST(VideoExportTest, FourSecondTakeShowsTheTakeForEightSecondsThenTheOutro) {
  const VideoExport v = take({hit(0, 0.0), hit(2, 3.0)}, 4.0);
  ASSERT_EQ(v.frameCount(), 294);
  const double takeEnd = 2 * v.passLength();
  EXPECT_LT(239.0 / 30.0, takeEnd);
  EXPECT_FALSE(240.0 / 30.0 < takeEnd);
}

TEST(VideoExportTest, DoubledEventsRepeatTheTakeOnePassLaterInStableOrder) {
  // Two hits at the same time must keep their recorded order in both copies.
  const VideoExport v = take({hit(3, 0.5), hit(1, 0.5), hit(2, 1.0)}, 2.0);
  const std::vector<ChordHit> doubled = v.doubledEvents();
  ASSERT_EQ(doubled.size(), 6u);
  const std::vector<int> pads{3, 1, 2, 3, 1, 2};
  const std::vector<double> times{0.5, 0.5, 1.0, 2.5, 2.5, 3.0};
  for (std::size_t i = 0; i < doubled.size(); ++i) {
    EXPECT_EQ(doubled[i].pad, pads[i]) << i;
    EXPECT_DOUBLE_EQ(doubled[i].t, times[i]) << i;
  }
}

TEST(VideoGlowTest, ReleasedPadFadesAlongTheEaseCurve) {
  EXPECT_NEAR(releaseGlow(0.0), 1.0, 1e-9);
  for (double s : {0.1, 0.4, 0.8, 1.2, 1.5}) {
    EXPECT_NEAR(releaseGlow(s), referenceGlow(s), 1e-9) << s;
  }
  // An ease-out: most of the light goes early.
  EXPECT_LT(releaseGlow(0.4), 0.5);
  double last = 1.0;
  for (double s = 0.0; s <= 1.6; s += 0.01) {
    EXPECT_LE(releaseGlow(s), last + 1e-12);
    last = releaseGlow(s);
  }
  EXPECT_NEAR(releaseGlow(1.6), 0.0, 1e-9);
  EXPECT_NEAR(releaseGlow(10.0), 0.0, 1e-9);
}

TEST(VideoGlowTest, GlowBrightensEveryChannelAndStopsAtWhite) {
  EXPECT_EQ(glowColor(0xFF5526, 0.0), 0xFF5526u);
  EXPECT_EQ(glowColor(0xFF5526, 1.0), 0xFF612Bu);  // 0x55 × 1.14 = 96.9, 0x26 × 1.14 = 43.3
  EXPECT_EQ(glowColor(0xF9ECCF, 1.0), 0xFFFFECu);  // 0xCF × 1.14 = 236 (0xEC); the rest clip
  EXPECT_EQ(glowColor(0x646464, 0.5), 0x6B6B6Bu);  // 100 × 1.07 = 107
}

struct FlagCase {
  const char* rule;
  bool seventh;
  bool ninth;
  bool shownSeventh;
  bool shownNinth;
};

class VideoFlagTest : public testing::TestWithParam<FlagCase> {};

TEST_P(VideoFlagTest, HeldHitSetsTheModifierFlagsOnlyWhileDown) {
  const FlagCase& c = GetParam();
  const VideoExport v = take({hit(2, 0.5, 0.4, c.seventh, c.ninth)}, 2.0);
  const VideoExport::Frame down = v.frameState(0.7);
  EXPECT_EQ(down.seventh, c.shownSeventh);
  EXPECT_EQ(down.ninth, c.shownNinth);
  const VideoExport::Frame up = v.frameState(0.95);
  EXPECT_FALSE(up.seventh);
  EXPECT_FALSE(up.ninth);
}

INSTANTIATE_TEST_SUITE_P(
    Modifiers, VideoFlagTest,
    testing::Values(FlagCase{"Plain", false, false, false, false},
                    FlagCase{"Seventh", true, false, true, false},
                    FlagCase{"NinthAlsoLightsTheSevenths", false, true, true, true},
                    FlagCase{"Both", true, true, true, true}),
    [](const testing::TestParamInfo<FlagCase>& info) { return std::string(info.param.rule); });

TEST(VideoFrameStateTest, PadIsPressedAndFullyLitUntilItsHoldEnds) {
  const VideoExport v = take({hit(4, 1.0, 0.5)}, 3.0);
  const VideoExport::Frame before = v.frameState(0.99);
  EXPECT_FALSE(before.pressed[4]);
  EXPECT_EQ(before.glow[4], 0.0);

  for (double now : {1.0, 1.25, 1.4999}) {
    const VideoExport::Frame f = v.frameState(now);
    EXPECT_TRUE(f.pressed[4]) << now;
    EXPECT_EQ(f.glow[4], 1.0) << now;
    for (int pad = 0; pad < kVideoPads; ++pad) {
      if (pad != 4) {
        EXPECT_FALSE(f.pressed[pad]) << pad;
      }
    }
  }
  const VideoExport::Frame released = v.frameState(1.5);
  EXPECT_FALSE(released.pressed[4]);
  EXPECT_NEAR(released.glow[4], 1.0, 1e-9);
  EXPECT_NEAR(v.frameState(2.3).glow[4], referenceGlow(0.8), 1e-9);
  EXPECT_NEAR(v.frameState(1.5 + 1.6).glow[4], 0.0, 1e-9);
}

TEST(VideoFrameStateTest, SamePadHitTwiceKeepsTheBrighterGlow) {
  // The first hit is held long; the second, started later, is released
  // earlier, so the first one's glow is the larger at 2.1 s.
  const VideoExport v = take({hit(1, 0.0, 2.0), hit(1, 0.2, 0.1)}, 4.0);
  const VideoExport::Frame f = v.frameState(2.1);
  EXPECT_FALSE(f.pressed[1]);
  EXPECT_NEAR(f.glow[1], referenceGlow(0.1), 1e-9);
  EXPECT_GT(f.glow[1], referenceGlow(1.8));
}

TEST(VideoFrameStateTest, ScreenShowsTheLatestStartedHitAsTheScreenComposesIt) {
  const VideoExport v = take({hit(0, 0.5, 3.0), hit(5, 1.0)}, 2.0);

  ChordScreen::Input idle;
  idle.key = v.key;
  EXPECT_EQ(v.frameState(0.25).cells, ChordScreen::compose(idle, 250.0));

  // Pad 0 is still held at 1.2 s, yet the later hit owns the screen.
  ChordScreen::Input showing = idle;
  showing.shown = v.events[1].shown;
  EXPECT_EQ(v.frameState(1.2).cells, ChordScreen::compose(showing, 1200.0));
}

TEST(VideoFrameStateTest, SecondPassReplaysTheFirst) {
  const VideoExport v = take({hit(0, 0.0, 0.3, true), hit(6, 0.8, 0.6)}, 2.0);
  for (double now : {0.1, 0.5, 1.0, 1.9}) {
    const VideoExport::Frame first = v.frameState(now);
    const VideoExport::Frame second = v.frameState(now + 2.0);
    EXPECT_EQ(first.pressed, second.pressed) << now;
    EXPECT_EQ(first.seventh, second.seventh) << now;
    for (int pad = 0; pad < kVideoPads; ++pad) {
      // The first pass's fades may still shine into the second.
      EXPECT_GE(second.glow[pad], first.glow[pad]) << now;
    }
  }
}

TEST(VideoFrameStateTest, PadOutsideTheGridLightsNothing) {
  const VideoExport v = take({hit(-1, 0.0, 1.0), hit(8, 0.0, 1.0), hit(100, 0.0, 1.0)}, 2.0);
  const VideoExport::Frame f = v.frameState(0.5);
  for (int pad = 0; pad < kVideoPads; ++pad) {
    EXPECT_FALSE(f.pressed[pad]);
    EXPECT_EQ(f.glow[pad], 0.0);
  }
}

TEST(VideoColorTest, ConversionKeepsTheEndsAndRoundTrips) {
  EXPECT_EQ(toVideoChannel(0), 0);
  EXPECT_EQ(toVideoChannel(255), 255);
  // sRGB 128 is 21.6 % linear light; 0.216^(1 / 1.961) = 0.457, that is 117.
  EXPECT_EQ(toVideoChannel(128), 117);
  for (int c = 0; c < 256; ++c) {
    const auto v = toVideoChannel(static_cast<std::uint8_t>(c));
    if (c > 0) {
      EXPECT_GE(v, toVideoChannel(static_cast<std::uint8_t>(c - 1))) << c;
    }
    // Dark sRGB steps are finer than the video's, so the way back may land
    // one step off there.
    EXPECT_NEAR(fromVideoChannel(v), c, c < 16 ? 2 : 1) << c;
  }
  EXPECT_EQ(toVideoColor(0x00FF80), 0x00FF75u);
  EXPECT_EQ(fromVideoColor(toVideoColor(0x0A0A0A)), 0x0A0A0Au);
}

}  // namespace
}  // namespace quimbel
