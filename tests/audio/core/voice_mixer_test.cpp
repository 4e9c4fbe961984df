#include "audio/core/voice_mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>

#include "audio/core/core_fixture.h"

namespace quimbel {
namespace {

using CorePtr = std::unique_ptr<RenderCore, testing::CoreDeleter>;

// Fills voices with a random mix of states: waiting, sounding, releasing,
// about to end, near their sample's end, clicks, and free slots.
void randomVoices(RenderCore& c, std::mt19937& rng, CoreSample* const* samples, int sampleCount) {
  std::uniform_int_distribution<int> pick(0, sampleCount - 1);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int v = 0; v < CoreVoiceCount; ++v) {
    Voice& voice = c.voices[v];
    voice = Voice{};
    if (unit(rng) < 0.15) continue;  // free
    const CoreSample* s = samples[pick(rng)];
    voice.sample = s;
    voice.step = c.pitchRatio[std::uniform_int_distribution<int>(0, 48)(rng)];
    voice.position =
        unit(rng) < 0.2 ? s->frames - 1.0 - unit(rng) * 300.0 : unit(rng) * (s->frames / 2);
    const double shape = unit(rng);
    if (shape < 0.15) {
      // Just below a power of two, where the spacing of positions doubles.
      voice.position =
          std::ldexp(1.0, std::uniform_int_distribution<int>(0, 14)(rng)) - unit(rng) * 40.0;
      voice.position = std::max(voice.position, 0.0);
    } else if (shape < 0.25) {
      // Half a position spacing past a whole one between 8192 and 16384:
      // every step there is a rounding tie, settled towards even.
      voice.step = 1.0 + 0x1p-40;
      voice.position = 8192.0 + unit(rng) * 8000.0;
    }
    voice.delay = unit(rng) < 0.3 ? std::uniform_int_distribution<int>(1, 400)(rng) : 0;
    voice.gain = static_cast<float>(unit(rng));
    voice.envelope = unit(rng) < 0.2 ? 0.00021f : static_cast<float>(unit(rng));
    voice.envelopeMultiplier = unit(rng) < 0.5 ? 1.0f : 0.9995f;
    voice.releaseFrame = c.clock + std::uniform_int_distribution<int>(-50, 300)(rng);
    voice.endFrame = voice.releaseFrame + std::uniform_int_distribution<int>(0, 300)(rng);
    voice.startFrame = c.clock - v;
    voice.isClick = unit(rng) < 0.1 ? 1 : 0;
  }
}

TEST(VoiceMixerTest, EveryBuildMatchesTheOneVoiceAtATimeMixBitForBit) {
  const struct {
    SimdLevel level;
    const char* name;
  } builds[] = {
      {SimdLevel::Plain, "plain"}, {SimdLevel::Avx2, "avx2"}, {SimdLevel::Avx512, "avx512"}};
  CorePtr a(createCore(48000.0));
  CorePtr b(createCore(48000.0));
  CoreSample* samples[3] = {testing::toneSample(261.6, 5000), testing::toneSample(440.0, 20000),
                            testing::constantSample(-0.75f, 700)};
  for (const auto& build : builds) {
    if (build.level > simdLevel()) continue;  // this processor cannot run it
    SCOPED_TRACE(build.name);
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
      randomVoices(*a, rng, samples, 3);
      std::memcpy(static_cast<void*>(b->voices), a->voices, sizeof(a->voices));
      const int n = round % 5 == 0 ? 256 : std::uniform_int_distribution<int>(1, 256)(rng);
      for (RenderCore* c : {a.get(), b.get()}) {
        c->clock = 1000 + round;
        for (float* bus : {c->pianoLeft, c->pianoRight, c->clickLeft, c->clickRight})
          std::fill(bus, bus + 256, 0.0f);
      }
      mixVoicesAt(build.level, *a, n);
      mixVoicesReference(*b, n);
      ASSERT_EQ(std::memcmp(a->pianoLeft, b->pianoLeft, sizeof(float) * 256), 0) << round;
      ASSERT_EQ(std::memcmp(a->pianoRight, b->pianoRight, sizeof(float) * 256), 0) << round;
      ASSERT_EQ(std::memcmp(a->clickLeft, b->clickLeft, sizeof(float) * 256), 0) << round;
      ASSERT_EQ(std::memcmp(a->clickRight, b->clickRight, sizeof(float) * 256), 0) << round;
      for (int v = 0; v < CoreVoiceCount; ++v) {
        const Voice& x = a->voices[v];
        const Voice& y = b->voices[v];
        ASSERT_EQ(x.sample, y.sample) << round << " voice " << v;
        if (x.sample == nullptr) continue;
        ASSERT_EQ(x.position, y.position) << round << " voice " << v;
        ASSERT_EQ(x.envelope, y.envelope) << round << " voice " << v;
        ASSERT_EQ(x.envelopeMultiplier, y.envelopeMultiplier) << round << " voice " << v;
        ASSERT_EQ(x.delay, y.delay) << round << " voice " << v;
      }
    }
  }
  for (int v = 0; v < CoreVoiceCount; ++v) a->voices[v] = b->voices[v] = Voice{};
  for (CoreSample* s : samples) freeSample(s);
}

TEST(VoiceMixerTest, EveryPitchPlaysItsWholeSampleExactlyAsFrameByFrame) {
  // A voice runs through every binade of its position from 0 to the
  // sample's end; any drift of the positions would show in the bus.
  CorePtr a(createCore(48000.0));
  CorePtr b(createCore(48000.0));
  CoreSample* sample = testing::toneSample(330.0, 40000);
  for (SimdLevel level : {SimdLevel::Plain, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (level > simdLevel()) continue;
    for (int ratio = 0; ratio <= 48; ++ratio) {
      SCOPED_TRACE(::testing::Message()
                   << "level " << static_cast<int>(level) << " ratio " << ratio);
      for (RenderCore* c : {a.get(), b.get()}) {
        c->clock = 0;
        c->voices[0] = Voice{};
        c->voices[0].sample = sample;
        c->voices[0].step = c->pitchRatio[ratio];
        c->voices[0].gain = 0.8f;
        c->voices[0].envelope = 1.0f;
        c->voices[0].envelopeMultiplier = ratio % 3 == 0 ? 0.99999f : 1.0f;
        c->voices[0].releaseFrame = c->voices[0].endFrame = 1 << 30;
      }
      int chunks = 0;
      while (b->voices[0].sample != nullptr) {
        const int n = chunks % 3 == 0 ? 256 : 128 - chunks % 7;
        for (RenderCore* c : {a.get(), b.get()})
          for (float* bus : {c->pianoLeft, c->pianoRight}) std::fill(bus, bus + 256, 0.0f);
        mixVoicesAt(level, *a, n);
        mixVoicesReference(*b, n);
        ASSERT_EQ(std::memcmp(a->pianoLeft, b->pianoLeft, sizeof(float) * 256), 0) << chunks;
        ASSERT_EQ(std::memcmp(a->pianoRight, b->pianoRight, sizeof(float) * 256), 0) << chunks;
        ASSERT_EQ(a->voices[0].sample, b->voices[0].sample) << chunks;
        for (RenderCore* c : {a.get(), b.get()}) c->clock += n;
        ++chunks;
      }
    }
  }
  a->voices[0] = b->voices[0] = Voice{};
  freeSample(sample);
}

}  // namespace
}  // namespace quimbel
