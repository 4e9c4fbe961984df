#include "audio/core/render_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "audio/core/core_fixture.h"
#include "audio/core/render_core_state.h"

namespace quimbel {
namespace {

using namespace testing;

CorePtr coreWithSampleAt(std::uint32_t note, float level = 0.5f, int frames = 96000) {
  CorePtr core(createCore(48000.0));
  freeSample(installSample(core.get(), note, constantSample(level, frames)));
  return core;
}

std::vector<StartedNote> drainAll(RenderCore* core) {
  StartedNote notes[CoreQueueCapacity];
  return {notes, notes + drainStarted(core, notes, CoreQueueCapacity)};
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
    const auto out = renderFrames(core.get(), 1000, 500);
    EXPECT_EQ(std::ranges::find_if(out, [](float x) { return x != 0.0f; }) - out.begin(),
              start - 1000)
        << frame;
    const auto started = drainAll(core.get());
    EXPECT_TRUE(started.size() == 1 && started[0].frame == start) << frame;
  }
}

TEST(RenderCoreTest, ASixtyFifthNoteStealsTheOldestVoice) {
  CorePtr core = coreWithSampleAt(60);
  // Voice 10 starts first; every other voice starts one frame later.
  for (int v = 0; v < 64; ++v)
    noteOn(core.get(), 60, NoTag, 100, 1.0f, v == 10 ? 0.0 : 1.0 / 48000, 5.0);
  renderFrames(core.get(), 128);
  noteOn(core.get(), 60, 5, 100, 0.5f, 0.0, 5.0);
  renderFrames(core.get(), 128);
  EXPECT_EQ(core->voices[10].gain, 0.5f);
  EXPECT_EQ(core->voices[10].startFrame, 128);
}

TEST(RenderCoreTest, NearestSampleWinsAndTheLowerOneOnATie) {
  CorePtr core(createCore(48000.0));
  installSample(core.get(), 58, constantSample(0.1f, 1000));
  installSample(core.get(), 62, constantSample(0.2f, 1000));
  // The note, the sample it plays and how many semitones it is shifted; each
  // note takes the next free voice.
  const std::tuple<std::uint32_t, int, int> cases[] = {
      {60, 58, 2}, {61, 62, -1}, {20, 58, -24}, {127, 62, 24}};
  for (const auto& c : cases) noteOn(core.get(), std::get<0>(c), NoTag, 100, 1.0f, 0.0, 1.0);
  renderFrames(core.get(), 1);
  for (int v = 0; v < 4; ++v) {
    EXPECT_EQ(core->voices[v].sample, core->samples[std::get<1>(cases[v])].load()) << v;
    EXPECT_EQ(core->voices[v].step, core->pitchRatio[std::get<2>(cases[v]) + 24]) << v;
  }
}

TEST(RenderCoreTest, CountInClicksSoundEvenWithTheMetronomeOff) {
  CorePtr core(createCore(48000.0));
  setBPM(core.get(), 120.0);  // a beat every 24000 frames
  startMetronome(core.get(), 4, 0.0);
  const auto out = renderFrames(core.get(), 8 * 24000);
  float peaks[8] = {};
  for (std::size_t i = 0; i < out.size(); ++i) {
    peaks[i / 24000] = std::max(peaks[i / 24000], std::fabs(out[i]));
    EXPECT_TRUE(i % 24000 < 4320 || out[i] == 0.0f) << i;  // a click lasts 90 ms
  }
  for (int beat = 0; beat < 8; ++beat) EXPECT_EQ(peaks[beat] > 0.05f, beat < 4) << beat;
  EXPECT_GT(peaks[0], peaks[1] * 1.1f);  // the downbeat is accented
}

TEST(RenderCoreTest, OutputAboveFullScaleIsSoftClipped) {
  CorePtr core = coreWithSampleAt(60, 1.0f, 1000);
  const CoreSample* full = core->samples[60].load();
  for (const float level : {1.2f, 0.99f, -1.5f}) {
    // Clicks skip the reverb and the compressor.
    core->voices[0] = Voice{.sample = full,
                            .step = 1.0,
                            .gain = level * 32768.0f / 32767.0f,
                            .envelope = 1.0f,
                            .envelopeMultiplier = 1.0f,
                            .releaseFrame = INT64_MAX,
                            .endFrame = INT64_MAX,
                            .isClick = 1};
    float l[16], r[16];
    render(core.get(), l, r, 16);
    const float click = core->clickLeft[5];
    EXPECT_EQ(l[5], std::fabs(level) > 1.0f ? std::tanh(click) : click) << level;
    EXPECT_EQ(r[5], l[5]);
  }
}

TEST(RenderCoreTest, CompressorFiguresMatchItsCurve) {
  const std::pair<float, float> curve[] = {
      {1.0f, -6.6666f}, {0.5011872f, -2.6666f}, {0.3f, -0.5232f}, {0.1995f, 0.0f}, {0.01f, 0.0f}};
  for (const auto& [peak, db] : curve) EXPECT_NEAR(compressorReductionDb(peak), db, 1e-3f) << peak;
  // A steady dry mix (the reverb's response zeroed) settles at its gain.
  for (const auto& [mix, out] : {std::pair{1.0f, 0.7459f}, {0.1f, 0.16069412f}}) {
    CorePtr core = coreWithSampleAt(60, 1.0f, 96000);
    std::fill_n(core->reverb.response, core->reverb.responseFloats, 0.0f);
    setVolume(core.get(), 1.0f);
    noteOn(core.get(), 60, NoTag, 100, mix / (0.9f * 32767.0f / 32768.0f), 0.0, 10.0);
    EXPECT_NEAR(renderFrames(core.get(), 48000).back(), out, 2e-4f) << mix;
  }
}

TEST(RenderCoreTest, AbsurdTimesNeitherCrashNorWrapTheClockAndAFullQueueRefusesTheRest) {
  CorePtr core = coreWithSampleAt(60);
  noteOn(core.get(), 60, 1, 100, 1.0f, 1e30, 1e30);
  noteOn(core.get(), 60, 2, 100, 1.0f, -5.0, NAN);
  startMetronome(core.get(), 2, 1e300);
  renderFrames(core.get(), 256);
  const auto started = drainAll(core.get());
  ASSERT_EQ(started.size(), 2u);
  EXPECT_TRUE(started[0].frame > 0 && started[1].frame == 0);
  // A full queue refuses the rest: the one sent into it is the one lost.
  core = coreWithSampleAt(60);
  for (int i = 0; i <= CoreQueueCapacity; ++i) scheduleReleaseAll(core.get(), 1000000 + i);
  renderFrames(core.get(), 1);
  EXPECT_EQ(commandRoom(core.get()), CoreQueueCapacity);
  ASSERT_EQ(core->scheduledCount, CoreQueueCapacity);
  EXPECT_EQ(core->scheduled[CoreQueueCapacity - 1].frame, 1000000 + CoreQueueCapacity - 1);
}

}  // namespace
}  // namespace quimbel
