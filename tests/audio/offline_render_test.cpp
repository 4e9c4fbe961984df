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
  return {.t = t, .voicing = plainVoicing(notes), .length = length};
}

TEST(OfflineFrameCountTest, IsTheCeilingOfTheDoubleProductAndNothingForBadLengths) {
  // 5.4 × 44100 is 238140.00000000003 in doubles: one frame more than exact
  // arithmetic would give.
  EXPECT_EQ(offlineFrameCount((2.0 + 1.9) + 1.5, 44100), 238141u);
  for (double bad : {-1.0, std::nan(""), double(INFINITY)})
    EXPECT_EQ(offlineFrameCount(bad, 44100), 0u);
}

// Hits given out of order play in time order; the volume scales the output;
// no hits are silence (no metronome clicks in an export); voicings with
// missing offsets and notes off the keyboard are skipped, not fatal.
TEST(OfflineRenderTest, SortsHitsScalesByVolumeAndSkipsWhatCannotPlay) {
  const SampleLibrary library = testing::sineLibrary({60, 72});
  const std::vector<ChordHit> unsorted{hitAt(0.3, {72}), hitAt(0.1, {60})};
  const StereoBuffer sorted = renderOffline(unsorted, 1.2, 1.0f, 48000, library);
  const auto late = between(sorted.left, 48000, 0.7, 1.1);
  EXPECT_GT(magnitudeAt(late, 48000, kC5), 100 * magnitudeAt(late, 48000, kC4));
  const StereoBuffer silent = renderOffline({}, 0.3, 1.0f, 44100, library);
  EXPECT_EQ(rms(silent.left) + rms(silent.right), 0.0);
  ChordHit hit = hitAt(0.0, {60, 300, -5});
  hit.voicing.offsets = {};
  const StereoBuffer out = renderOffline({&hit, 1}, 0.5, 1.0f, 48000, library);
  EXPECT_NEAR(
      testing::strongestFrequency(between(out.left, 48000, 0.05, 0.3), 48000, 200, 320, 0.5), kC4,
      2.0);
  const double quiet = rms(renderOffline({&hit, 1}, 0.5, 0.25f, 48000, library).left);
  EXPECT_TRUE(quiet > 0.0 && quiet < 0.5 * rms(out.left)) << quiet;
}

// The same hits with every sample installed whole, issued and chunked as
// the export does (the hits given in time order, with all their offsets).
StereoBuffer renderWithWholeLibrary(const std::vector<ChordHit>& hits, double seconds, double rate,
                                    const SampleLibrary& library) {
  const std::size_t total = offlineFrameCount(seconds, rate);
  StereoBuffer out{std::vector<float>(total), std::vector<float>(total)};
  RenderCore* core = createCore(rate);
  installSamples(core, library, rate);
  setVolume(core, 1.0f);
  for (std::size_t p = 0, e = 0; p < total;) {
    for (; e < hits.size() && std::size_t(rate * hits[e].t) <= p; ++e) {
      const Voicing& v = hits[e].voicing;
      releaseAll(core);
      for (std::size_t i = 0; i < v.notes.size(); ++i) {
        noteOn(core, static_cast<std::uint32_t>(v.notes[i]), NoTag, 100,
               v.gain * chordScale(v.notes.size()), v.offsets[i], noteLength(v, i, hits[e].length));
      }
    }
    const std::size_t next = e < hits.size() ? std::size_t(rate * hits[e].t) : total;
    const std::size_t chunk = std::min<std::size_t>(next - p, 512);
    render(core, out.left.data() + p, out.right.data() + p, static_cast<std::int32_t>(chunk));
    p += chunk;
  }
  destroyCore(core);
  return out;
}

// An export installs only the samples its notes play from, and only as far
// as a voice can read them: none of that may be heard. Notes between two
// samples and above every sample, converted samples, chords cut by the next
// one and notes left to ring out. Every hit starts on the frame its time
// falls in, a time between two frames too (the last hit's, at every rate).
TEST(OfflineRenderTest, SoundsExactlyAsWithEveryWholeSampleInstalled) {
  SampleLibrary library = testing::sineLibrary({40, 44, 52, 90}, 48000, 4.0);
  library.insert_or_assign(200, library.at(40));
  std::vector<ChordHit> hits{hitAt(0.0, {42, 127}, 0.4), hitAt(0.25, {46, 48}),
                             hitAt(0.25, {70, 71}, 0.05), hitAt(1.00001, {52, 53, 54}, 3.0)};
  hits[1].voicing.offsets = {0.0, 0.3};
  hits[3].voicing.durations = std::vector<double>{0.2, 5.0};
  for (double rate : {44100.0, 48000.0, 96000.0}) {
    const StereoBuffer expected = renderWithWholeLibrary(hits, 3.5, rate, library);
    const StereoBuffer out = renderOffline(hits, 3.5, 1.0f, rate, library);
    EXPECT_TRUE(out.left == expected.left && out.right == expected.right) << rate;
  }
}

// The real piano, as shipped in the data folder: the voice sounds 1.9 s and
// then releases for at most one second, so from 2.9 s on only the reverb can
// be heard, and it fades.
TEST(PianoRenderTest, TheReverbOutlastsTheDrySoundAndFades) {
  const StereoBuffer out = renderOffline(std::vector{hitAt(0.0, {60})}, 4.5, 1.0f, 44100);
  const double tail = rms(between(out.left, 44100, 2.95, 3.3));
  EXPECT_GT(tail, rms(between(out.left, 44100, 0.1, 1.0)) * 1e-4);
  EXPECT_LT(rms(between(out.left, 44100, 4.0, 4.5)), tail);
}

}  // namespace
}  // namespace quimbel
