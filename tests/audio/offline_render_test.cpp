#include "audio/offline_render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "audio/audio_fixtures.h"
#include "audio/core/render_core.h"
#include "music/voicing.h"

namespace quimbel {
namespace {

using testing::between;
using testing::magnitudeAt;
using testing::rms;

constexpr double kC4 = 261.6256;
constexpr double kC5 = 523.2511;

ChordHit hitAt(double t, std::vector<int> notes, std::optional<double> length = std::nullopt) {
  ChordHit hit;
  hit.t = t;
  hit.voicing.offsets.assign(notes.size(), 0.0);
  hit.voicing.notes = std::move(notes);
  hit.voicing.gain = 1.0f;
  hit.length = length;
  return hit;
}

std::size_t firstSoundingFrame(const std::vector<float>& signal) {
  const auto it = std::find_if(signal.begin(), signal.end(), [](float x) { return x != 0.0f; });
  return static_cast<std::size_t>(it - signal.begin());
}

struct FrameCountCase {
  const char* rule;
  double seconds;
  double rate;
  std::size_t frames;
};

class OfflineFrameCountTest : public ::testing::TestWithParam<FrameCountCase> {};

TEST_P(OfflineFrameCountTest, IsTheCeilingOfTheDoubleProduct) {
  const auto& c = GetParam();
  EXPECT_EQ(offlineFrameCount(c.seconds, c.rate), c.frames) << c.rule;
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, OfflineFrameCountTest,
    ::testing::Values(
        // 5.4 × 44100 is 238140.00000000003 in doubles: the ceiling is one
        // frame more than exact arithmetic would give.
        FrameCountCase{"a 2 s take plus sustain and tail", (2.0 + 1.9) + 1.5, 44100, 238141},
        FrameCountCase{"whole seconds are exact", 1.0, 48000, 48000},
        FrameCountCase{"a part of a frame is a whole frame", 1.5 / 48000, 48000, 2},
        FrameCountCase{"nothing", 0.0, 44100, 0},
        FrameCountCase{"a negative length", -1.0, 44100, 0},
        FrameCountCase{"not a number", std::nan(""), 44100, 0},
        FrameCountCase{"infinite", INFINITY, 44100, 0}));

TEST(OfflineRenderTest, GivesEqualChannelsOfTheRequestedLengthAndSilenceWithoutHits) {
  const SampleLibrary library = testing::sineLibrary({60});
  const StereoBuffer out = renderOffline({}, 0.3, 1.0f, 44100, library);
  ASSERT_EQ(out.left.size(), offlineFrameCount(0.3, 44100));
  EXPECT_EQ(out.right.size(), out.left.size());
  EXPECT_EQ(rms(out.left) + rms(out.right), 0.0) << "the metronome must not click in an export";

  EXPECT_TRUE(renderOffline({}, 0.0, 1.0f, 44100, library).left.empty());
}

TEST(OfflineRenderTest, EachHitStartsExactlyOnItsFrameWhateverTheChunking) {
  // A recording at the render rate that sounds from its first frame.
  std::vector<float> level(44100, 0.5f);
  SampleLibrary library;
  library.emplace(60, StoredSound(testing::makeSound(level, level, 44100)));
  // 0.25 s at 44100 is frame 11025, not on a 512-frame boundary; t = 0 must
  // sound from the very first frame.
  for (double t : {0.0, 0.25, 1000.5 / 44100}) {
    const std::vector<ChordHit> hits{hitAt(t, {60})};
    const StereoBuffer out = renderOffline(hits, 0.5, 1.0f, 44100, library);
    EXPECT_EQ(firstSoundingFrame(out.left), static_cast<std::size_t>(std::trunc(44100 * t))) << t;
  }
}

TEST(OfflineRenderTest, HitsAreSortedByTimeKeepingRecordedOrderForEqualTimes) {
  const SampleLibrary library = testing::sineLibrary({60, 72});
  struct Case {
    const char* rule;
    std::vector<ChordHit> hits;
    double survivor;
    double silenced;
  };
  const std::vector<Case> cases{
      {"the later of two equal times damps the earlier",
       {hitAt(0.1, {60}), hitAt(0.1, {72})},
       kC5,
       kC4},
      {"recorded order decides, not the note", {hitAt(0.1, {72}), hitAt(0.1, {60})}, kC4, kC5},
      {"a list out of time order is sorted first", {hitAt(0.3, {72}), hitAt(0.1, {60})}, kC5, kC4},
  };
  for (const Case& c : cases) {
    const StereoBuffer out = renderOffline(c.hits, 1.2, 1.0f, 48000, library);
    const auto late = between(out.left, 48000, 0.7, 1.1);
    EXPECT_GT(magnitudeAt(late, 48000, c.survivor), 100 * magnitudeAt(late, 48000, c.silenced))
        << c.rule;
  }
}

TEST(OfflineRenderTest, TheSecondOfTwoEqualTimesFadesTheFirstOverAFewHundredthsOfASecond) {
  const SampleLibrary library = testing::sineLibrary({60, 72});
  const std::vector<ChordHit> hits{hitAt(0.0, {60}), hitAt(0.0, {72})};
  const StereoBuffer both = renderOffline(hits, 0.3, 1.0f, 48000, library);
  const std::vector<ChordHit> alone{hitAt(0.0, {72})};
  const StereoBuffer single = renderOffline(alone, 0.3, 1.0f, 48000, library);
  // The first chord is heard at first, then only its faint reverb: a chord
  // left sounding would keep its level for 1.9 s.
  const double heard = magnitudeAt(between(both.left, 48000, 0.0, 0.02), 48000, kC4);
  EXPECT_GT(heard, 0.001);
  EXPECT_LT(magnitudeAt(between(both.left, 48000, 0.2, 0.3), 48000, kC4), 0.05 * heard);
  EXPECT_NE(both.left, single.left);
}

TEST(OfflineRenderTest, HitLengthEndsTheNoteAndVolumeScalesTheOutput) {
  const SampleLibrary library = testing::sineLibrary({60}, 48000, 4.0);
  const std::vector<ChordHit> shortHit{hitAt(0.0, {60}, 0.2)};
  const std::vector<ChordHit> defaultHit{hitAt(0.0, {60})};
  const StereoBuffer shortOut = renderOffline(shortHit, 1.5, 1.0f, 48000, library);
  const StereoBuffer longOut = renderOffline(defaultHit, 1.5, 1.0f, 48000, library);
  // 1.2 s after a 0.2 s note the release has taken it far down; the 1.9 s
  // default still sounds.
  EXPECT_LT(rms(between(shortOut.left, 48000, 1.3, 1.5)),
            0.01 * rms(between(longOut.left, 48000, 1.3, 1.5)));

  const StereoBuffer quiet = renderOffline(defaultHit, 0.5, 0.25f, 48000, library);
  EXPECT_LT(rms(between(quiet.left, 48000, 0.1, 0.5)),
            0.5 * rms(between(longOut.left, 48000, 0.1, 0.5)));
  EXPECT_GT(rms(between(quiet.left, 48000, 0.1, 0.5)), 0.0);
}

TEST(OfflineRenderTest, MalformedVoicingsAndNotesOffTheKeyboardAreSkippedNotFatal) {
  const SampleLibrary library = testing::sineLibrary({60});
  ChordHit hit = hitAt(0.0, {60, 300, -5});
  hit.voicing.offsets = {};  // fewer offsets than notes
  const std::vector<ChordHit> hits{hit};
  const StereoBuffer out = renderOffline(hits, 0.3, 1.0f, 48000, library);
  EXPECT_NEAR(
      testing::strongestFrequency(between(out.left, 48000, 0.05, 0.3), 48000, 200, 320, 0.5), kC4,
      2.0);
}

// The render as it would go with every sample of the library installed
// whole: the same hit order, chunking and commands as renderOffline.
StereoBuffer renderWithWholeLibrary(const std::vector<ChordHit>& sorted, double seconds,
                                    double rate, const SampleLibrary& library) {
  const std::size_t total = offlineFrameCount(seconds, rate);
  StereoBuffer out{std::vector<float>(total), std::vector<float>(total)};
  RenderCore* core = createCore(rate);
  installSamples(core, library, rate);
  setVolume(core, 1.0f);
  std::size_t e = 0;
  for (std::size_t p = 0; p < total;) {
    std::size_t boundary = total;
    for (; e < sorted.size(); ++e) {
      const double frame = std::max(std::trunc(rate * sorted[e].t), 0.0);
      if (frame > static_cast<double>(p)) {
        boundary = std::min(static_cast<std::size_t>(std::min(frame, 1e12)), total);
        break;
      }
      const ChordHit& hit = sorted[e];
      releaseAll(core);
      for (std::size_t i = 0; i < hit.voicing.notes.size(); ++i) {
        noteOn(core, static_cast<std::uint32_t>(hit.voicing.notes[i]), NoTag, 100,
               hit.voicing.gain * chordScale(hit.voicing.notes.size()), hit.voicing.offsets[i],
               noteLength(hit.voicing, i, hit.length));
      }
    }
    const std::size_t chunk = std::clamp<std::size_t>(boundary - p, 1, 512);
    render(core, out.left.data() + p, out.right.data() + p, static_cast<std::int32_t>(chunk));
    p += chunk;
  }
  destroyCore(core);
  return out;
}

// An export installs only the samples its notes play from, and only as far
// as a voice can read them: nothing of that may be heard. Notes halfway
// between two samples (the lower one plays), above every sample, samples
// at another rate cut short by their conversion, chords cut by the next one
// and notes left to ring out.
TEST(OfflineRenderTest, SoundsExactlyAsWithEveryWholeSampleInstalled) {
  SampleLibrary library = testing::sineLibrary({40, 44, 52, 90}, 48000, 4.0);
  library.insert_or_assign(200, library.at(40));
  std::vector<ChordHit> hits{hitAt(0.0, {42, 127}, 0.4), hitAt(0.25, {46, 48}),
                             hitAt(0.25, {70, 71}, 0.05), hitAt(1.0, {52, 53, 54}, 3.0)};
  hits[1].voicing.offsets = {0.0, 0.3};
  hits[3].voicing.durations = std::vector<double>{0.2, 5.0};
  for (double rate : {44100.0, 48000.0, 96000.0}) {
    const StereoBuffer expected = renderWithWholeLibrary(hits, 3.5, rate, library);
    const StereoBuffer out = renderOffline(hits, 3.5, 1.0f, rate, library);
    ASSERT_EQ(out.left.size(), expected.left.size());
    EXPECT_TRUE(out.left == expected.left && out.right == expected.right) << rate;
  }
}

// The real piano, as shipped in the data folder.
class PianoRenderTest : public ::testing::TestWithParam<double> {};

TEST_P(PianoRenderTest, MiddleCIsInTuneAndTheReverbOutlastsTheDrySound) {
  const double rate = GetParam();
  ASSERT_FALSE(sampleLibrary().empty()) << "no piano in QUIMBEL_DATA_DIR";
  const std::vector<ChordHit> hits{hitAt(0.0, {60})};
  const StereoBuffer out = renderOffline(hits, 4.5, 1.0f, rate);

  const auto held = between(out.left, rate, 0.05, 1.85);
  const double fundamental = testing::strongestFrequency(held, rate, 230, 290, 0.05);
  EXPECT_NEAR(fundamental, kC4, kC4 * 0.003);

  // The voice sounds 1.9 s and then releases for at most one second: from
  // 2.9 s on only the reverb can be heard, and it fades.
  const double dry = rms(between(out.left, rate, 0.1, 1.0));
  const double tail = rms(between(out.left, rate, 2.95, 3.3));
  const double later = rms(between(out.left, rate, 4.0, 4.5));
  EXPECT_GT(tail, dry * 1e-4);
  EXPECT_LT(later, tail);
}

INSTANTIATE_TEST_SUITE_P(Rates, PianoRenderTest, ::testing::Values(44100.0, 48000.0),
                         [](const auto& info) {
                           return "At" + std::to_string(static_cast<int>(info.param));
                         });

}  // namespace
}  // namespace quimbel
