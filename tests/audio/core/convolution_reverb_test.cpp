#include "audio/core/convolution_reverb.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace quimbel {
namespace {

struct ReverbHolder {
  explicit ReverbHolder(double rate) { EXPECT_TRUE(setUpReverb(reverb, rate)); }
  ~ReverbHolder() { tearDownReverb(reverb); }
  ConvolutionReverb reverb;
};

std::vector<float> response(double rate, bool right) {
  const int capacity = static_cast<int>(std::ceil(rate * 1.7)) + 1;
  std::vector<float> l(static_cast<std::size_t>(capacity)), r(static_cast<std::size_t>(capacity));
  const int n = makeImpulseResponse(l.data(), r.data(), capacity, rate);
  auto& out = right ? r : l;
  out.resize(static_cast<std::size_t>(n));
  return out;
}

TEST(ConvolutionReverbTest, ResponseLengthAndPartitionsFollowTheRate) {
  struct Case {
    double rate;
    int frames;
    int partitions;
  };
  for (const Case& c : {Case{48000.0, 81600, 160}, Case{44100.0, 74970, 147}}) {
    EXPECT_EQ(response(c.rate, false).size(), static_cast<std::size_t>(c.frames));
    ReverbHolder holder(c.rate);
    EXPECT_EQ(holder.reverb.partitions, c.partitions);
  }
  std::vector<float> small(100), smallR(100);
  EXPECT_EQ(makeImpulseResponse(small.data(), smallR.data(), 100, 48000.0), 100);
  EXPECT_EQ(makeImpulseResponse(small.data(), smallR.data(), 0, 48000.0), 0);
}

TEST(ConvolutionReverbTest, ResponseIsFixedStereoAndScaledToItsLevel) {
  const auto left = response(48000.0, false);
  const auto right = response(48000.0, true);
  EXPECT_EQ(left, response(48000.0, false));
  EXPECT_NE(left, right);
  double energy = 0.0;
  for (std::size_t i = 0; i < left.size(); ++i)
    energy += double(left[i]) * left[i] + double(right[i]) * right[i];
  const double rms = std::sqrt(energy / (2.0 * left.size()));
  EXPECT_NEAR(rms, 0.0012589254 * 44100.0 / 48000.0, 1e-8);
  EXPECT_EQ(left[0], 0.0f);                  // the attack ramps up from silence
  EXPECT_LT(std::fabs(left.back()), 1e-7f);  // and the fade closes it
}

TEST(ConvolutionReverbTest, ImpulseComesBackAsTheResponseOneBlockLate) {
  ReverbHolder holder(48000.0);
  const auto left = response(48000.0, false);
  const auto right = response(48000.0, true);
  float peak = 0.0f;
  for (float x : left) peak = std::max(peak, std::fabs(x));
  double worst = 0.0;
  for (int i = 0; i < 512 + 20000; ++i) {
    float l, r;
    reverbTick(holder.reverb, l, r, i == 0 ? 1.0f : 0.0f, i == 0 ? 1.0f : 0.0f);
    if (i < 512) {
      ASSERT_EQ(l, 0.0f) << i;
      ASSERT_EQ(r, 0.0f) << i;
    } else {
      worst = std::max(worst, std::fabs(double(l) - left[static_cast<std::size_t>(i - 512)]));
      worst = std::max(worst, std::fabs(double(r) - right[static_cast<std::size_t>(i - 512)]));
    }
  }
  EXPECT_LT(worst, 1e-6 * peak);
}

// A random burst through the whole response against a direct convolution
// in double precision.
TEST(ConvolutionReverbTest, OutputIsTheLinearConvolutionDelayedByOneBlock) {
  ReverbHolder holder(48000.0);
  const auto irL = response(48000.0, false);
  const auto irR = response(48000.0, true);
  const int burst = 1300;  // not a whole number of blocks
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> inL(burst), inR(burst);
  for (int i = 0; i < burst; ++i) {
    inL[static_cast<std::size_t>(i)] = dist(rng);
    inR[static_cast<std::size_t>(i)] = dist(rng) * 0.5f;
  }
  const int total = burst + static_cast<int>(irL.size()) + 1024;
  std::vector<double> wantL(static_cast<std::size_t>(total)),
      wantR(static_cast<std::size_t>(total));
  for (int i = 0; i < burst; ++i) {
    for (std::size_t k = 0; k < irL.size(); ++k) {
      wantL[static_cast<std::size_t>(i) + k] += double(inL[static_cast<std::size_t>(i)]) * irL[k];
      wantR[static_cast<std::size_t>(i) + k] += double(inR[static_cast<std::size_t>(i)]) * irR[k];
    }
  }
  double peak = 0.0;
  for (int i = 0; i < total; ++i)
    peak = std::max({peak, std::fabs(wantL[static_cast<std::size_t>(i)]),
                     std::fabs(wantR[static_cast<std::size_t>(i)])});
  double worst = 0.0;
  for (int i = 0; i < total + 512; ++i) {
    float l, r;
    const bool in = i < burst;
    reverbTick(holder.reverb, l, r, in ? inL[static_cast<std::size_t>(i)] : 0.0f,
               in ? inR[static_cast<std::size_t>(i)] : 0.0f);
    const int t = i - 512;
    const double eL = t >= 0 && t < total ? wantL[static_cast<std::size_t>(t)] : 0.0;
    const double eR = t >= 0 && t < total ? wantR[static_cast<std::size_t>(t)] : 0.0;
    worst = std::max({worst, std::fabs(l - eL), std::fabs(r - eR)});
  }
  EXPECT_LT(worst, 1e-5 * peak);
}

TEST(ConvolutionReverbTest, IdleSkipIsExact) {
  // One reverb hears a burst, falls idle and hears a second burst; a fresh
  // one hears only the second. Their answers to it must be identical.
  ReverbHolder used(48000.0);
  ReverbHolder fresh(48000.0);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  float l, r;
  for (int i = 0; i < 700; ++i) reverbTick(used.reverb, l, r, dist(rng), dist(rng));
  const int p = used.reverb.partitions;
  for (int i = 700; i < 512 * (p + 8); ++i) {
    reverbTick(used.reverb, l, r, 0.0f, 0.0f);
  }
  EXPECT_GT(used.reverb.silentBlocks, p + 1);
  // Line both up on the same position inside a block.
  while (used.reverb.blockIndex != 0) reverbTick(used.reverb, l, r, 0.0f, 0.0f);
  for (int i = 0; i < 512 * (p + 4); ++i) {
    const float x = i < 900 ? dist(rng) : 0.0f;
    float fl, fr;
    reverbTick(used.reverb, l, r, x, -x);
    reverbTick(fresh.reverb, fl, fr, x, -x);
    ASSERT_EQ(l, fl) << i;
    ASSERT_EQ(r, fr) << i;
  }
}

TEST(ConvolutionReverbTest, OneNonZeroSampleKeepsABlockAwake) {
  ReverbHolder holder(48000.0);
  float l, r;
  EXPECT_EQ(holder.reverb.silentBlocks, holder.reverb.partitions + 2);
  for (int i = 0; i < 512; ++i) reverbTick(holder.reverb, l, r, 0.0f, i == 300 ? 1e-30f : 0.0f);
  EXPECT_EQ(holder.reverb.silentBlocks, 0);
  for (int i = 0; i < 512; ++i) reverbTick(holder.reverb, l, r, 0.0f, 0.0f);
  EXPECT_EQ(holder.reverb.silentBlocks, 1);
}

}  // namespace
}  // namespace quimbel
