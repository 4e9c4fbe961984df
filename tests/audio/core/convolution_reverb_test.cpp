#include "audio/core/convolution_reverb.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>
#include <vector>

namespace quimbel {
namespace {

struct ReverbHolder {
  explicit ReverbHolder(double rate = 48000.0) { EXPECT_TRUE(setUpReverb(reverb, rate)); }
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

// A random burst through the whole response against a direct convolution in
// double precision. The bursts start and end inside blocks; the longest is
// longer than a tail partition, so its convolution with every partition
// crosses that partition's boundaries, head and tail alike.
TEST(ConvolutionReverbTest, OutputIsTheLinearConvolutionDelayedByOneBlock) {
  // The rate, and the first frame and length of the burst.
  const std::tuple<double, std::size_t, std::size_t> bursts[] = {
      {48000.0, 0, 1300}, {44100.0, 333, ReverbTailFrames + ReverbBlockFrames + 91}};
  for (const auto& [rate, start, length] : bursts) {
    ReverbHolder holder(rate);
    std::vector<float> ir[2] = {std::vector<float>(100000), std::vector<float>(100000)};
    const auto irFrames =
        static_cast<std::size_t>(makeImpulseResponse(ir[0].data(), ir[1].data(), 100000, rate));
    const std::size_t end = start + length, total = end + irFrames;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> in[2] = {std::vector<float>(end), std::vector<float>(end)};
    std::vector<double> want[2] = {std::vector<double>(total), std::vector<double>(total)};
    double peak = 0.0;
    for (int c = 0; c < 2; ++c) {
      for (std::size_t i = start; i < end; ++i) in[c][i] = dist(rng) * (c == 0 ? 1.0f : 0.5f);
      for (std::size_t i = start; i < end; ++i)
        for (std::size_t k = 0; k < irFrames; ++k) want[c][i + k] += double(in[c][i]) * ir[c][k];
      for (double y : want[c]) peak = std::max(peak, std::fabs(y));
    }
    double worst = 0.0;
    for (std::size_t i = 0; i < total + 2 * ReverbTailFrames; ++i) {
      float out[2];
      reverbTick(holder.reverb, out[0], out[1], i < end ? in[0][i] : 0.0f,
                 i < end ? in[1][i] : 0.0f);
      for (int c = 0; c < 2; ++c) {
        const double expected = i >= 512 && i - 512 < total ? want[c][i - 512] : 0.0;
        worst = std::max(worst, std::fabs(out[c] - expected));
      }
    }
    EXPECT_LT(worst, 1e-5 * peak) << rate;
    EXPECT_TRUE(reverbIdle(holder.reverb));
  }
}

TEST(ConvolutionReverbTest, IdleSkipIsExact) {
  // One reverb hears a burst, falls idle and hears a second burst; a fresh
  // one hears only the second. Their answers to it must be identical.
  ReverbHolder used, fresh;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  float l, r, fl, fr;
  EXPECT_TRUE(reverbIdle(fresh.reverb));
  for (int i = 0; i < 700; ++i) reverbTick(used.reverb, l, r, dist(rng), dist(rng));
  EXPECT_FALSE(reverbIdle(used.reverb));
  // Both at the same place in their blocks, head and tail.
  long ticks = 700;
  while (!reverbIdle(used.reverb) || ticks % ReverbTailFrames != 0) {
    reverbTick(used.reverb, l, r, 0.0f, 0.0f);
    ++ticks;
  }
  for (int i = 0; i < 40 * ReverbTailFrames; ++i) {
    const float x = i < 900 ? dist(rng) : 0.0f;
    reverbTick(used.reverb, l, r, x, -x);
    reverbTick(fresh.reverb, fl, fr, x, -x);
    ASSERT_EQ(l, fl) << i;
    ASSERT_EQ(r, fr) << i;
  }
  // However small, a sample that is not zero keeps its block awake.
  for (int i = 0; i < 512; ++i) reverbTick(fresh.reverb, l, r, 0.0f, i == 300 ? 1e-30f : 0.0f);
  EXPECT_EQ(fresh.reverb.silentBlocks, 0);
  EXPECT_FALSE(reverbIdle(fresh.reverb));
}

}  // namespace
}  // namespace quimbel
