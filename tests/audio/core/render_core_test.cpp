#include "audio/core/render_core.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "audio/core/core_fixture.h"
#include "audio/core/render_core_state.h"

namespace quimbel {
namespace {

using testing::constantSample;
using testing::CorePtr;
using testing::renderFrames;
using testing::soundingVoices;

CorePtr coreWithSampleAt(int note, float level = 0.5f, int frames = 96000) {
  CorePtr core(createCore(48000.0));
  freeSample(
      installSample(core.get(), static_cast<std::uint32_t>(note), constantSample(level, frames)));
  return core;
}

std::vector<StartedNote> drainAll(RenderCore* core) {
  StartedNote notes[CoreQueueCapacity];
  return {notes, notes + drainStarted(core, notes, CoreQueueCapacity)};
}

int firstNonZero(const std::vector<float>& x) {
  const auto it = std::find_if(x.begin(), x.end(), [](float v) { return v != 0.0f; });
  return it == x.end() ? -1 : static_cast<int>(it - x.begin());
}

TEST(RenderCoreTest, ScheduledNotesStartExactlyOnTheirFrame) {
  // The core has rendered 1000 frames, in calls of 500, when the command
  // arrives; it renders in chunks of 256 inside a call.
  const std::pair<std::int64_t, std::int64_t> cases[] = {
      {10, 1000}, {1100, 1100}, {1256, 1256}, {1257, 1257}, {1700, 1700}};
  for (const auto& [frame, start] : cases) {
    CorePtr core = coreWithSampleAt(60);
    renderFrames(core.get(), 1000, 500);
    scheduleNote(core.get(), 60, frame, 3, 100, 1.0f, 5.0);
    EXPECT_EQ(firstNonZero(renderFrames(core.get(), 1000, 500)) + 1000, start) << frame;
    const auto started = drainAll(core.get());
    ASSERT_EQ(started.size(), 1u) << frame;
    EXPECT_EQ(started[0].frame, start) << frame;
  }
}

TEST(RenderCoreTest, ASixtyFifthNoteStealsTheOldestVoice) {
  CorePtr core = coreWithSampleAt(60);
  // Voice 10 starts first; every other voice starts one frame later.
  for (int v = 0; v < 64; ++v)
    noteOn(core.get(), 60, NoTag, 100, 1.0f, v == 10 ? 0.0 : 1.0 / 48000, 5.0);
  renderFrames(core.get(), 128);
  ASSERT_EQ(soundingVoices(core.get()), 64);
  noteOn(core.get(), 60, 5, 100, 0.5f, 0.0, 5.0);
  renderFrames(core.get(), 128);
  EXPECT_EQ(core->voices[10].gain, 0.5f);
  EXPECT_EQ(core->voices[10].startFrame, 128);
  // Among equal ages the lowest index goes next.
  noteOn(core.get(), 60, 5, 100, 0.25f, 0.0, 5.0);
  renderFrames(core.get(), 128);
  EXPECT_EQ(core->voices[0].gain, 0.25f);
}

TEST(RenderCoreTest, NearestSampleWinsAndTheLowerOneOnATie) {
  CorePtr core(createCore(48000.0));
  CoreSample* low = constantSample(0.1f, 1000);
  CoreSample* high = constantSample(0.2f, 1000);
  installSample(core.get(), 58, low);
  installSample(core.get(), 62, high);
  // The note, the sample it plays and how many semitones it is shifted.
  for (const auto& [note, sample, semitones] :
       {std::tuple{60u, low, 2}, {61u, high, -1}, {20u, low, -24}, {127u, high, 24}}) {
    noteOn(core.get(), note, NoTag, 100, 1.0f, 0.0, 1.0);
    renderFrames(core.get(), 1);
    EXPECT_EQ(core->voices[0].sample, sample) << note;
    EXPECT_EQ(core->voices[0].step, core->pitchRatio[semitones + 24]) << note;
    releaseAll(core.get());
    renderFrames(core.get(), 48000);
  }
}

TEST(RenderCoreTest, CountInClicksSoundEvenWithTheMetronomeOff) {
  CorePtr core(createCore(48000.0));
  setBPM(core.get(), 120.0);  // a beat every 24000 frames
  startMetronome(core.get(), 4, 0.0);
  const auto out = renderFrames(core.get(), 8 * 24000);
  float peaks[8] = {};
  for (int beat = 0; beat < 8; ++beat) {
    for (int i = 0; i < 24000; ++i) {
      const float x = std::fabs(out[static_cast<std::size_t>(beat * 24000 + i)]);
      peaks[beat] = std::max(peaks[beat], x);
      if (i >= 4320) {
        ASSERT_EQ(x, 0.0f) << beat;  // a click lasts 90 ms
      }
    }
    EXPECT_TRUE(beat < 4 ? peaks[beat] > 0.05f : peaks[beat] == 0.0f) << beat;
  }
  EXPECT_GT(peaks[0], peaks[1] * 1.1f);  // the downbeat is accented
  EXPECT_EQ(beatCount(core.get()), 8u);
  EXPECT_EQ(nextBeatFrame(core.get()), 8 * 24000);
}

TEST(RenderCoreTest, OutputAboveFullScaleIsSoftClipped) {
  CorePtr core(createCore(48000.0));
  CoreSample* full = constantSample(1.0f, 1000);
  for (const float level : {1.2f, 0.99f, -1.5f}) {
    Voice& v = core->voices[0];
    v = Voice{};
    v.sample = full;
    v.step = 1.0;
    v.gain = level * 32768.0f / 32767.0f;
    v.envelope = v.envelopeMultiplier = 1.0f;
    v.isClick = 1;  // clicks skip the reverb and the compressor
    v.releaseFrame = v.endFrame = INT64_MAX;
    float l[16], r[16];
    render(core.get(), l, r, 16);
    const float click = core->clickLeft[5];
    EXPECT_NEAR(click, level, 1e-6f);
    EXPECT_EQ(l[5], std::fabs(level) > 1.0f ? std::tanh(click) : click) << level;
    EXPECT_EQ(r[5], l[5]);
  }
  core->voices[0] = Voice{};
  freeSample(full);
}

TEST(RenderCoreTest, CompressorFiguresMatchItsCurve) {
  const std::pair<float, float> curve[] = {
      {1.0f, -6.6666f}, {0.5011872f, -2.6666f}, {0.3f, -0.5232f}, {0.1995f, 0.0f}, {0.01f, 0.0f}};
  for (const auto& [peak, db] : curve) EXPECT_NEAR(compressorReductionDb(peak), db, 1e-3f) << peak;
  // A steady dry mix (the reverb's response zeroed) settles at its gain.
  for (const auto& [mix, out] : {std::pair{1.0f, 0.7459f}, {0.1f, 0.16069412f}}) {
    CorePtr core = coreWithSampleAt(60, 1.0f, 96000);
    ConvolutionReverb& r = core->reverb;
    std::fill(r.response, r.response + r.responseFloats, 0.0f);
    setVolume(core.get(), 1.0f);
    noteOn(core.get(), 60, NoTag, 100, mix / (0.9f * 32767.0f / 32768.0f), 0.0, 10.0);
    EXPECT_NEAR(renderFrames(core.get(), 48000).back(), out, 2e-4f) << mix;
  }
}

TEST(RenderCoreTest, AbsurdTimesNeitherCrashNorWrapTheClock) {
  CorePtr core = coreWithSampleAt(60);
  noteOn(core.get(), 60, 1, 100, 1.0f, 1e30, 1e30);
  noteOn(core.get(), 60, 2, 100, 1.0f, -5.0, NAN);
  startMetronome(core.get(), 2, 1e300);
  renderFrames(core.get(), 256);
  const auto started = drainAll(core.get());
  ASSERT_EQ(started.size(), 2u);
  EXPECT_GT(started[0].frame, 0);
  EXPECT_EQ(started[1].frame, 0);
}

TEST(RenderCoreTest, CommandRoomCountsDownToAFullQueueThatRefusesTheRest) {
  CorePtr core(createCore(48000.0));
  EXPECT_EQ(commandRoom(core.get()), CoreQueueCapacity);
  for (int i = 0; i <= CoreQueueCapacity; ++i) scheduleReleaseAll(core.get(), 1000000 + i);
  EXPECT_EQ(commandRoom(core.get()), 0);
  float unused = 0.0f;
  render(core.get(), &unused, &unused, 0);
  EXPECT_EQ(commandRoom(core.get()), CoreQueueCapacity);
  // The one sent into the full queue is the one lost.
  ASSERT_EQ(core->scheduledCount, CoreQueueCapacity);
  EXPECT_EQ(core->scheduled[CoreQueueCapacity - 1].frame, 1000000 + CoreQueueCapacity - 1);
}

}  // namespace
}  // namespace quimbel
