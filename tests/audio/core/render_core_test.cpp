#include "audio/core/render_core.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "audio/core/core_fixture.h"
#include "audio/core/render_core_state.h"

namespace quimbel {
namespace {

using testing::constantSample;
using testing::renderFrames;
using testing::soundingVoices;
using CorePtr = std::unique_ptr<RenderCore, testing::CoreDeleter>;

CorePtr coreWithSampleAt(int note, float level = 0.5f, int frames = 96000) {
  CorePtr core(createCore(48000.0));
  freeSample(
      installSample(core.get(), static_cast<std::uint32_t>(note), constantSample(level, frames)));
  return core;
}

std::vector<StartedNote> drainAll(RenderCore* core) {
  StartedNote notes[CoreQueueCapacity];
  const int n = drainStarted(core, notes, CoreQueueCapacity);
  return {notes, notes + n};
}

int firstNonZero(const std::vector<float>& x) {
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i] != 0.0f) return static_cast<int>(i);
  }
  return -1;
}

TEST(RenderCoreTest, FixedSizesFollowTheRate) {
  struct Case {
    double rate;
    int clickFrames;
    int preDelay;
    int partitions;
  };
  for (const Case& c :
       {Case{48000.0, 4320, 352, 160}, Case{44100.0, 3969, 282, 147}, Case{8000.0, 720, 1, 27}}) {
    CorePtr core(createCore(c.rate));
    EXPECT_EQ(core->clickAccent.frames, c.clickFrames) << c.rate;
    EXPECT_EQ(core->clickBeat.frames, c.clickFrames) << c.rate;
    EXPECT_EQ(core->preDelayLength, c.preDelay) << c.rate;
    EXPECT_EQ(core->reverb.partitions, c.partitions) << c.rate;
    EXPECT_EQ(coreSampleRate(core.get()), c.rate);
  }
}

TEST(RenderCoreTest, PitchRatiosSpanTwoOctavesEachWay) {
  CorePtr core(createCore(48000.0));
  EXPECT_EQ(core->pitchRatio[48], 4.0);
  EXPECT_EQ(core->pitchRatio[24], 1.0);
  EXPECT_EQ(core->pitchRatio[0], 0.25);
  EXPECT_EQ(core->pitchRatio[36], 2.0);
}

TEST(RenderCoreTest, SettersClampTheirValues) {
  CorePtr core(createCore(48000.0));
  setBPM(core.get(), 10.0);
  EXPECT_EQ(core->metronome.bpm.load(), 30.0);
  setBPM(core.get(), 1000.0);
  EXPECT_EQ(core->metronome.bpm.load(), 300.0);
  setVolume(core.get(), 1.5f);
  EXPECT_EQ(core->volume.load(), 1.0f);
  setVolume(core.get(), -0.5f);
  EXPECT_EQ(core->volume.load(), 0.0f);
}

TEST(RenderCoreTest, MakeSampleRoundsAndClampsToSixteenBits) {
  const float in[] = {1.5f, 1.0f, -1.0f, -2.0f, 0.5f, 1.5f / 32767.0f, 2.5f / 32767.0f};
  CoreSample* s = makeSample(in, nullptr, 7);
  const std::int16_t expected[] = {32767, 32767, -32767, -32767, 16384, 2, 2};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(s->left[i], expected[i]) << i;
    EXPECT_EQ(s->right[i], expected[i]) << i;
  }
  freeSample(s);
  CoreSample* empty = makeSample(nullptr, nullptr, 0);
  EXPECT_EQ(empty->frames, 0);
  EXPECT_NE(empty->left, nullptr);
  freeSample(empty);
  freeSample(nullptr);
}

TEST(RenderCoreTest, InstallSampleHandsBackThePreviousOccupant) {
  CorePtr core(createCore(48000.0));
  CoreSample* a = constantSample(0.1f, 10);
  CoreSample* b = constantSample(0.2f, 10);
  EXPECT_EQ(installSample(core.get(), 60, a), nullptr);
  EXPECT_EQ(installSample(core.get(), 60, b), a);
  CoreSample* c = constantSample(0.3f, 10);
  EXPECT_EQ(installSample(core.get(), 128, c), c);
  freeSample(a);
  freeSample(c);
}

TEST(RenderCoreTest, ZeroFrameRenderTakesCommandsAndPublishesTheClock) {
  CorePtr core = coreWithSampleAt(60);
  noteOn(core.get(), 60, 7, 90, 1.0f, 0.0, 1.0);
  float l = 0.0f, r = 0.0f;
  render(core.get(), &l, &r, 0);
  EXPECT_EQ(currentFrame(core.get()), 0);
  const auto started = drainAll(core.get());
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].tag, 7);
  EXPECT_EQ(started[0].velocity, 90);
  EXPECT_EQ(started[0].frame, 0);
  renderFrames(core.get(), 300);
  EXPECT_EQ(currentFrame(core.get()), 300);
}

TEST(RenderCoreTest, ScheduledNotesStartExactlyOnTheirFrame) {
  struct Case {
    const char* name;
    std::int64_t frame;
    std::int64_t expectedStart;
  };
  // The core has already rendered 1000 frames when the command arrives.
  for (const Case& c :
       {Case{"past frame starts at once", 10, 1000}, Case{"inside the next chunk", 1100, 1100},
        Case{"on a chunk edge", 1256, 1256}, Case{"one after a chunk edge", 1257, 1257},
        Case{"in a later call", 1700, 1700}}) {
    CorePtr core = coreWithSampleAt(60);
    renderFrames(core.get(), 1000, 500);
    scheduleNote(core.get(), 60, c.frame, 3, 100, 1.0f, 5.0);
    const auto out = renderFrames(core.get(), 1000, 500);
    EXPECT_EQ(firstNonZero(out) + 1000, c.expectedStart) << c.name;
    const auto started = drainAll(core.get());
    ASSERT_EQ(started.size(), 1u) << c.name;
    EXPECT_EQ(started[0].frame, c.expectedStart) << c.name;
  }
}

TEST(RenderCoreTest, NoteOnOffsetDelaysTheStart) {
  CorePtr core = coreWithSampleAt(60);
  noteOn(core.get(), 60, 1, 100, 1.0f, 0.01, 1.0);  // 480 frames
  const auto out = renderFrames(core.get(), 1024);
  EXPECT_EQ(firstNonZero(out), 480);
  EXPECT_EQ(drainAll(core.get())[0].frame, 480);
}

TEST(RenderCoreTest, ReleaseAllBeforeANoteOfTheSameFrameLeavesOnlyTheNewNote) {
  CorePtr core = coreWithSampleAt(60);
  noteOn(core.get(), 60, NoTag, 100, 1.0f, 0.0, 5.0);
  renderFrames(core.get(), 128);
  scheduleReleaseAll(core.get(), 400);
  scheduleNote(core.get(), 60, 400, NoTag, 100, 1.0f, 5.0);
  renderFrames(core.get(), 512);
  int holding = 0, fading = 0;
  for (const Voice& v : core->voices) {
    if (v.sample == nullptr) continue;
    (v.envelopeMultiplier == 1.0f ? holding : fading) += 1;
  }
  EXPECT_EQ(holding, 1);
  EXPECT_EQ(fading, 1);
  EXPECT_EQ(core->voices[1].startFrame, 400);
  EXPECT_EQ(core->voices[1].envelopeMultiplier, 1.0f);
}

TEST(RenderCoreTest, ReleaseAllDropsNotesStillWaitingAndFadesSoundingOnes) {
  CorePtr core = coreWithSampleAt(60);
  noteOn(core.get(), 60, NoTag, 100, 1.0f, 0.0, 5.0);
  noteOn(core.get(), 60, NoTag, 100, 1.0f, 1.0, 5.0);
  renderFrames(core.get(), 128);
  releaseAll(core.get());
  renderFrames(core.get(), 128);
  EXPECT_EQ(soundingVoices(core.get()), 1);
  EXPECT_LT(core->voices[0].envelopeMultiplier, 1.0f);
  EXPECT_LE(core->voices[0].endFrame, 128 + 9600);
  // A 30 ms fade reaches -74 dB well within its 200 ms cut.
  renderFrames(core.get(), 9600);
  EXPECT_EQ(soundingVoices(core.get()), 0);
}

TEST(RenderCoreTest, NoteHoldsThenFadesAndEndsWithinASecondOfRelease) {
  CorePtr core = coreWithSampleAt(60, 0.5f, 480000);
  noteOn(core.get(), 60, NoTag, 100, 1.0f, 0.0, 0.5);
  renderFrames(core.get(), 24000);
  EXPECT_EQ(core->voices[0].envelope, 1.0f);
  renderFrames(core.get(), 24000);
  EXPECT_LT(core->voices[0].envelope, 1.0f);
  renderFrames(core.get(), 48000);
  EXPECT_EQ(soundingVoices(core.get()), 0);
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

TEST(RenderCoreTest, AClickCanBeStolenLikeANote) {
  CorePtr core = coreWithSampleAt(60);
  startMetronome(core.get(), 1, 0.0);
  renderFrames(core.get(), 128);
  ASSERT_EQ(soundingVoices(core.get(), true), 1);
  for (int v = 0; v < 64; ++v) noteOn(core.get(), 60, NoTag, 100, 1.0f, 0.0, 5.0);
  renderFrames(core.get(), 128);
  EXPECT_EQ(soundingVoices(core.get(), true), 0);
  EXPECT_EQ(soundingVoices(core.get()), 64);
}

TEST(RenderCoreTest, NearestSampleWinsAndTheLowerOneOnATie) {
  CorePtr core(createCore(48000.0));
  CoreSample* low = constantSample(0.1f, 1000);
  CoreSample* high = constantSample(0.2f, 1000);
  installSample(core.get(), 58, low);
  installSample(core.get(), 62, high);
  struct Expect {
    std::uint32_t note;
    const CoreSample* sample;
    int semitones;  // note minus the chosen sample's note
  };
  for (const Expect& e : {Expect{60, low, 2}, Expect{61, high, -1}, Expect{58, low, 0},
                          Expect{20, low, -24}, Expect{127, high, 24}}) {
    noteOn(core.get(), e.note, NoTag, 100, 1.0f, 0.0, 1.0);
    renderFrames(core.get(), 1);
    const Voice& v = core->voices[0];
    EXPECT_EQ(v.sample, e.sample) << e.note;
    EXPECT_EQ(v.step, core->pitchRatio[e.semitones + 24]) << e.note;
    releaseAll(core.get());
    renderFrames(core.get(), 48000);
  }
}

TEST(RenderCoreTest, NoteWithoutAnySampleStartsNothingAndSendsNoNotice) {
  CorePtr core(createCore(48000.0));
  noteOn(core.get(), 60, 42, 100, 1.0f, 0.0, 1.0);
  noteOn(core.get(), 200, 43, 100, 1.0f, 0.0, 1.0);
  renderFrames(core.get(), 128);
  EXPECT_EQ(soundingVoices(core.get()), 0);
  EXPECT_TRUE(drainAll(core.get()).empty());
}

TEST(RenderCoreTest, CountInClicksSoundEvenWithTheMetronomeOff) {
  CorePtr core(createCore(48000.0));
  setBPM(core.get(), 120.0);  // a beat every 24000 frames
  startMetronome(core.get(), 4, 0.0);
  const auto out = renderFrames(core.get(), 8 * 24000);
  std::vector<float> peaks;
  for (int beat = 0; beat < 8; ++beat) {
    float peak = 0.0f;
    bool silentAfterClick = true;
    for (int i = 0; i < 24000; ++i) {
      const float x = std::fabs(out[static_cast<std::size_t>(beat * 24000 + i)]);
      peak = std::max(peak, x);
      if (i >= 4320 && x != 0.0f) silentAfterClick = false;
    }
    peaks.push_back(peak);
    EXPECT_TRUE(silentAfterClick) << beat;
  }
  for (int beat = 0; beat < 4; ++beat)
    EXPECT_GT(peaks[static_cast<std::size_t>(beat)], 0.05f) << beat;
  for (int beat = 4; beat < 8; ++beat)
    EXPECT_EQ(peaks[static_cast<std::size_t>(beat)], 0.0f) << beat;
  EXPECT_GT(peaks[0], peaks[1] * 1.1f);  // the downbeat is accented
  EXPECT_EQ(beatCount(core.get()), 8u);
  EXPECT_EQ(metronomeRunning(core.get()), 1u);
  EXPECT_EQ(nextBeatFrame(core.get()), 8 * 24000);
}

TEST(RenderCoreTest, EnabledMetronomeAccentsEveryBarAfterTheCountIn) {
  CorePtr core(createCore(48000.0));
  setMetronomeOn(core.get(), 1);
  startMetronome(core.get(), 4, 0.5);
  renderFrames(core.get(), 24000 + 7 * 24000 + 10);
  EXPECT_EQ(beatCount(core.get()), 8u);
  // Beat 4 (the first after the count-in) is accented at the quieter level.
  int clicks = soundingVoices(core.get(), true);
  EXPECT_EQ(clicks, 1);
  const Voice* click = nullptr;
  for (const Voice& v : core->voices) {
    if (v.sample != nullptr) click = &v;
  }
  ASSERT_NE(click, nullptr);
  EXPECT_EQ(click->gain, 0.048019998f);
  stopMetronome(core.get());
  renderFrames(core.get(), 128);
  EXPECT_EQ(metronomeRunning(core.get()), 0u);
}

TEST(RenderCoreTest, MetronomeClickLandsOnItsFrame) {
  CorePtr core(createCore(48000.0));
  startMetronome(core.get(), 1, 100.0 / 48000.0);
  const auto out = renderFrames(core.get(), 512);
  // The click's first sample is zero (its envelope starts at zero).
  EXPECT_EQ(firstNonZero(out), 101);
  EXPECT_EQ(core->voices[0].startFrame, 100);
}

TEST(RenderCoreTest, OutputAboveFullScaleIsSoftClipped) {
  CorePtr core(createCore(48000.0));
  CoreSample* full = constantSample(1.0f, 1000);
  struct Case {
    float level;
    bool clipped;
  };
  for (const Case& c : {Case{1.2f, true}, Case{0.99f, false}, Case{-1.5f, true}}) {
    RenderCore& state = *core;
    Voice& v = state.voices[0];
    v = Voice{};
    v.sample = full;
    v.step = 1.0;
    v.gain = c.level * 32768.0f / 32767.0f;
    v.envelope = v.envelopeMultiplier = 1.0f;
    v.isClick = 1;
    v.releaseFrame = v.endFrame = INT64_MAX;
    float l[16], r[16];
    render(core.get(), l, r, 16);
    const float click = state.clickLeft[5];
    EXPECT_NEAR(click, c.level, 1e-6f);
    EXPECT_EQ(l[5], c.clipped ? std::tanh(click) : click) << c.level;
    EXPECT_EQ(r[5], l[5]);
  }
  EXPECT_NEAR(std::tanh(1.2f), 0.8337f, 1e-4f);
  core->voices[0] = Voice{};
  freeSample(full);
}

TEST(RenderCoreTest, CompressorFiguresMatchItsCurve) {
  struct Case {
    float peak;
    float reductionDb;
  };
  for (const Case& c : {Case{1.0f, -6.6666f}, Case{0.3f, -0.5232f}, Case{0.1995f, 0.0f},
                        Case{0.01f, 0.0f}, Case{0.5011872f, -2.6666f}}) {
    EXPECT_NEAR(compressorReductionDb(c.peak), c.reductionDb, 1e-3f) << c.peak;
  }
}

TEST(RenderCoreTest, SteadyMixSettlesAtTheCompressorsGain) {
  struct Case {
    float mix;
    float expectedOut;
  };
  // With the reverb's response zeroed the mix is the dry signal alone.
  for (const Case& c : {Case{1.0f, 0.7459f}, Case{0.3f, 0.4539f}, Case{0.1f, 0.16069412f}}) {
    CorePtr core = coreWithSampleAt(60, 1.0f, 96000);
    ConvolutionReverb& r = core->reverb;
    std::fill(r.irLeft, r.irLeft + static_cast<std::size_t>(r.partitions) * ReverbSpectrumFloats,
              0.0f);
    std::fill(r.irRight, r.irRight + static_cast<std::size_t>(r.partitions) * ReverbSpectrumFloats,
              0.0f);
    setVolume(core.get(), 1.0f);
    const float gain = c.mix / (0.9f * 32767.0f / 32768.0f);
    noteOn(core.get(), 60, NoTag, 100, gain, 0.0, 10.0);
    const auto out = renderFrames(core.get(), 48000);
    EXPECT_NEAR(out.back(), c.expectedOut, 2e-4f) << c.mix;
  }
}

TEST(RenderCoreTest, VolumeChangesGlideOverOneChunk) {
  CorePtr core = coreWithSampleAt(60, 0.1f, 96000);
  noteOn(core.get(), 60, NoTag, 100, 1.0f, 0.0, 10.0);
  renderFrames(core.get(), 256);
  setVolume(core.get(), 0.0f);
  const auto out = renderFrames(core.get(), 256, 256);
  EXPECT_GT(std::fabs(out[0]), 0.0f);
  EXPECT_GT(std::fabs(out[100]), std::fabs(out[200]));
  EXPECT_NEAR(out[255], 0.0f, 1e-6f);
}

TEST(RenderCoreTest, FullStartedQueueLosesNoticesButNotNotes) {
  CorePtr core = coreWithSampleAt(60, 0.0f, 10);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 500; ++i) noteOn(core.get(), 60, round * 1000 + i, 100, 1.0f, 0.0, 0.0);
    renderFrames(core.get(), 16);
  }
  const auto started = drainAll(core.get());
  ASSERT_EQ(started.size(), static_cast<std::size_t>(CoreQueueCapacity));
  EXPECT_EQ(started.front().tag, 0);
  EXPECT_EQ(started.back().tag, 2000 + 1024 - 1000 - 1);
}

TEST(RenderCoreTest, DrainStartedIntoArraysHonoursMax) {
  CorePtr core = coreWithSampleAt(60);
  for (int i = 0; i < 5; ++i) noteOn(core.get(), 60, i, 10 + i, 1.0f, 0.0, 1.0);
  renderFrames(core.get(), 1);
  std::int32_t tags[8], velocities[8];
  std::int64_t frames[8];
  EXPECT_EQ(drainStarted(core.get(), tags, frames, velocities, 0), 0);
  EXPECT_EQ(drainStarted(core.get(), tags, frames, velocities, 3), 3);
  EXPECT_EQ(tags[2], 2);
  EXPECT_EQ(drainStarted(core.get(), tags, frames, velocities, 8), 2);
  EXPECT_EQ(tags[0], 3);
  EXPECT_EQ(velocities[1], 14);
}

TEST(RenderCoreTest, FullScheduleListLosesLaterEvents) {
  CorePtr core = coreWithSampleAt(60);
  for (int i = 0; i < CoreScheduledCapacity + 10; ++i) {
    scheduleNote(core.get(), 60, 1000000 + i, i, 100, 1.0f, 1.0);
    if (i % 1000 == 999) renderFrames(core.get(), 1);
  }
  renderFrames(core.get(), 1);
  EXPECT_EQ(core->scheduledCount, CoreScheduledCapacity);
  clearScheduled(core.get());
  renderFrames(core.get(), 1);
  EXPECT_EQ(core->scheduledCount, 0);
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

}  // namespace
}  // namespace quimbel
