#include "audio/core/convolution_reverb.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace quimbel {
namespace {

struct ReverbHolder {
  ReverbHolder() { EXPECT_TRUE(setUpReverb(reverb, 48000.0)); }
  ~ReverbHolder() { tearDownReverb(reverb); }
  ConvolutionReverb reverb;
};

TEST(ConvolutionReverbTest, ResponseHasItsLengthAndLevel) {
  std::vector<float> l(100000), r(100000);
  const int n = makeImpulseResponse(l.data(), r.data(), 100000, 48000.0);
  ASSERT_EQ(n, 81600);
  double energy = 0.0;
  for (int i = 0; i < n; ++i) energy += double(l[i]) * l[i] + double(r[i]) * r[i];
  EXPECT_NEAR(std::sqrt(energy / (2.0 * n)), 0.0012589254 * 44100.0 / 48000.0, 1e-8);
  EXPECT_EQ(l[0], 0.0f);                  // the attack ramps up from silence
  EXPECT_LT(std::fabs(l[n - 1]), 1e-7f);  // and the fade closes it
}

// A random burst, not a whole number of blocks, through the whole response
// against a direct convolution in double precision.
TEST(ConvolutionReverbTest, OutputIsTheLinearConvolutionDelayedByOneBlock) {
  ReverbHolder holder;
  std::vector<float> ir[2] = {std::vector<float>(100000), std::vector<float>(100000)};
  const auto irFrames =
      static_cast<std::size_t>(makeImpulseResponse(ir[0].data(), ir[1].data(), 100000, 48000.0));
  const std::size_t burst = 1300, total = burst + irFrames;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> in[2] = {std::vector<float>(burst), std::vector<float>(burst)};
  std::vector<double> want[2] = {std::vector<double>(total), std::vector<double>(total)};
  double peak = 0.0;
  for (int c = 0; c < 2; ++c) {
    for (float& x : in[c]) x = dist(rng) * (c == 0 ? 1.0f : 0.5f);
    for (std::size_t i = 0; i < burst; ++i)
      for (std::size_t k = 0; k < irFrames; ++k) want[c][i + k] += double(in[c][i]) * ir[c][k];
    for (double y : want[c]) peak = std::max(peak, std::fabs(y));
  }
  double worst = 0.0;
  for (std::size_t i = 0; i < total + 2048; ++i) {
    float out[2];
    reverbTick(holder.reverb, out[0], out[1], i < burst ? in[0][i] : 0.0f,
               i < burst ? in[1][i] : 0.0f);
    for (int c = 0; c < 2; ++c) {
      const double expected = i >= 512 && i - 512 < total ? want[c][i - 512] : 0.0;
      worst = std::max(worst, std::fabs(out[c] - expected));
    }
  }
  EXPECT_LT(worst, 1e-5 * peak);
}

TEST(ConvolutionReverbTest, IdleSkipIsExact) {
  // One reverb hears a burst, falls idle and hears a second burst; a fresh
  // one hears only the second. Their answers to it must be identical.
  ReverbHolder used, fresh;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  float l, r, fl, fr;
  const int p = used.reverb.partitions;
  for (int i = 0; i < 512 * (p + 8); ++i)
    reverbTick(used.reverb, l, r, i < 700 ? dist(rng) : 0.0f, i < 700 ? dist(rng) : 0.0f);
  EXPECT_GT(used.reverb.silentBlocks, p + 1);
  while (used.reverb.blockIndex != 0) reverbTick(used.reverb, l, r, 0.0f, 0.0f);
  for (int i = 0; i < 512 * (p + 4); ++i) {
    const float x = i < 900 ? dist(rng) : 0.0f;
    reverbTick(used.reverb, l, r, x, -x);
    reverbTick(fresh.reverb, fl, fr, x, -x);
    ASSERT_EQ(l, fl) << i;
    ASSERT_EQ(r, fr) << i;
  }
  // However small, a sample that is not zero keeps its block awake.
  for (int i = 0; i < 512; ++i) reverbTick(fresh.reverb, l, r, 0.0f, i == 300 ? 1e-30f : 0.0f);
  EXPECT_EQ(fresh.reverb.silentBlocks, 0);
}

}  // namespace
}  // namespace quimbel
