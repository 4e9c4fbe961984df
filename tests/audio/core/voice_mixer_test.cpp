#include "audio/core/voice_mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "audio/core/core_fixture.h"

namespace quimbel {
namespace {

// Fills voices with a random mix of states: waiting, sounding, releasing,
// about to end, near their sample's end, clicks, and free slots.
void randomVoices(RenderCore& c, std::mt19937& rng, CoreSample* const (&samples)[3]) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
  };
  for (int v = 0; v < CoreVoiceCount; ++v) {
    Voice& voice = c.voices[v];
    voice = Voice{};
    if (unit(rng) < 0.15) continue;  // free
    const CoreSample* s = samples[pick(0, 2)];
    voice.sample = s;
    voice.step = c.pitchRatio[pick(0, 48)];
    voice.position =
        unit(rng) < 0.2 ? s->frames - 1.0 - unit(rng) * 300.0 : unit(rng) * (s->frames / 2);
    const double shape = unit(rng);
    if (shape < 0.15) {
      // Just below a power of two, where the spacing of positions doubles.
      voice.position = std::max(std::ldexp(1.0, pick(0, 14)) - unit(rng) * 40.0, 0.0);
    } else if (shape < 0.25) {
      // Half a position spacing past a whole one between 8192 and 16384:
      // every step there is a rounding tie, settled towards even.
      voice.step = 1.0 + 0x1p-40;
      voice.position = 8192.0 + unit(rng) * 8000.0;
    } else if (shape < 0.35) {
      // Whole positions and octave steps that land exactly on the last frame.
      voice.step = std::ldexp(1.0, pick(-1, 2));
      voice.position = s->frames - 1.0 - pick(0, 64);
    }
    voice.delay = unit(rng) < 0.3 ? pick(1, 400) : 0;
    voice.gain = static_cast<float>(unit(rng));
    voice.envelope = unit(rng) < 0.2 ? 0.00021f : static_cast<float>(unit(rng));
    voice.envelopeMultiplier = unit(rng) < 0.5 ? 1.0f : 0.9995f;
    voice.releaseFrame = c.clock + pick(-50, 300);
    voice.endFrame = voice.releaseFrame + pick(0, 300);
    voice.startFrame = c.clock - v;
    voice.isClick = unit(rng) < 0.1 ? 1 : 0;
  }
}

// Each vectorised build the processor can run must mix exactly as the
// one-voice-at-a-time loop does: buses and voice states, bit for bit.
TEST(VoiceMixerTest, EveryBuildMatchesTheOneVoiceAtATimeMixBitForBit) {
  testing::CorePtr a(createCore(48000.0)), b(createCore(48000.0));
  CoreSample* const samples[3] = {testing::toneSample(261.6, 5000),
                                  testing::toneSample(440.0, 20000),
                                  testing::constantSample(-0.75f, 700)};
  for (SimdLevel level : {SimdLevel::Plain, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (level > simdLevel()) continue;
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
      SCOPED_TRACE(::testing::Message() << "level " << int(level) << " round " << round);
      randomVoices(*a, rng, samples);
      std::memcpy(static_cast<void*>(b->voices), a->voices, sizeof(a->voices));
      const int n = round % 5 == 0 ? 256 : std::uniform_int_distribution<int>(1, 256)(rng);
      for (RenderCore* c : {a.get(), b.get()}) {
        c->clock = 1000 + round;
        for (float* bus : {c->pianoLeft, c->pianoRight, c->clickLeft, c->clickRight})
          std::fill(bus, bus + 256, 0.0f);
      }
      mixVoicesAt(level, *a, n);
      mixVoicesReference(*b, n);
      for (auto bus : {&RenderCore::pianoLeft, &RenderCore::pianoRight, &RenderCore::clickLeft,
                       &RenderCore::clickRight})
        ASSERT_EQ(std::memcmp((*a).*bus, (*b).*bus, sizeof(float) * 256), 0);
      for (int v = 0; v < CoreVoiceCount; ++v) {
        const Voice &x = a->voices[v], &y = b->voices[v];
        ASSERT_EQ(x.sample, y.sample) << v;
        if (x.sample == nullptr) continue;
        ASSERT_EQ(x.position, y.position) << v;
        ASSERT_EQ(x.envelope, y.envelope) << v;
        ASSERT_EQ(x.envelopeMultiplier, y.envelopeMultiplier) << v;
        ASSERT_EQ(x.delay, y.delay) << v;
      }
    }
  }
  for (int v = 0; v < CoreVoiceCount; ++v) a->voices[v] = b->voices[v] = Voice{};
  for (CoreSample* s : samples) freeSample(s);
}

}  // namespace
}  // namespace quimbel
