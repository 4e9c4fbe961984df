#include "audio/core/convolution_reverb.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "audio/core/simd_dispatch.h"

namespace quimbel {
namespace {

// The FFT planner is not thread-safe; every plan is made and destroyed
// under this one lock. Only set-up and tear-down take it, never render.
std::mutex& plannerMutex() {
  static std::mutex mutex;
  return mutex;
}

constexpr double ResponseSeconds = 1.7;
constexpr std::uint32_t NoiseSeed = 0x5EED1234u;
constexpr double ResponseLevel = 0.0012589254117941662;  // -58 dB

// A forward and an inverse transform multiply by the transform size.
constexpr float SpectrumScale = 1.0f / ReverbFftSize;

// Adds the products of the delay line's spectra with the response's
// partition spectra into acc. Lanes × blocks bins are kept in registers
// across every partition, so each spectrum is read once per block.
typedef float Float4 __attribute__((vector_size(16)));
typedef float Float8 __attribute__((vector_size(32)));
typedef float Float16 __attribute__((vector_size(64)));

template <typename Vec, int Blocks>
[[gnu::always_inline]] inline void multiplyAccumulateKernel(float* acc, const float* fdl,
                                                            const float* ir, int partitions,
                                                            int head) {
  constexpr int Lanes = sizeof(Vec) / sizeof(float);
  static_assert(Lanes > 1);
  constexpr int Step = Lanes * Blocks;
  static_assert(ReverbBinStride % Step == 0);
  for (int bin = 0; bin < ReverbBinStride; bin += Step) {
    Vec sumRe[Blocks] = {};
    Vec sumIm[Blocks] = {};
    int slot = head;
    for (int k = 0; k < partitions; ++k) {
      const float* x = fdl + static_cast<std::size_t>(slot) * ReverbSpectrumFloats + bin;
      const float* h = ir + static_cast<std::size_t>(k) * ReverbSpectrumFloats + bin;
      for (int b = 0; b < Blocks; ++b) {
        Vec xr, xi, hr, hi;
        std::memcpy(&xr, x + b * Lanes, sizeof(Vec));
        std::memcpy(&xi, x + ReverbBinStride + b * Lanes, sizeof(Vec));
        std::memcpy(&hr, h + b * Lanes, sizeof(Vec));
        std::memcpy(&hi, h + ReverbBinStride + b * Lanes, sizeof(Vec));
        sumRe[b] += xr * hr - xi * hi;
        sumIm[b] += xr * hi + xi * hr;
      }
      slot = slot + 1 == partitions ? 0 : slot + 1;
    }
    for (int b = 0; b < Blocks; ++b) {
      std::memcpy(acc + bin + b * Lanes, &sumRe[b], sizeof(Vec));
      std::memcpy(acc + ReverbBinStride + bin + b * Lanes, &sumIm[b], sizeof(Vec));
    }
  }
}

using MultiplyAccumulate = void (*)(float*, const float*, const float*, int, int);

[[gnu::target("avx512f")]] void multiplyAccumulateAvx512(float* acc, const float* fdl,
                                                         const float* ir, int partitions,
                                                         int head) {
  multiplyAccumulateKernel<Float16, 3>(acc, fdl, ir, partitions, head);
}
[[gnu::target("avx2")]] void multiplyAccumulateAvx2(float* acc, const float* fdl, const float* ir,
                                                    int partitions, int head) {
  multiplyAccumulateKernel<Float8, 3>(acc, fdl, ir, partitions, head);
}
void multiplyAccumulatePlain(float* acc, const float* fdl, const float* ir, int partitions,
                             int head) {
  multiplyAccumulateKernel<Float4, 4>(acc, fdl, ir, partitions, head);
}

MultiplyAccumulate chooseMultiplyAccumulate() {
  switch (simdLevel()) {
    case SimdLevel::Avx512:
      return multiplyAccumulateAvx512;
    case SimdLevel::Avx2:
      return multiplyAccumulateAvx2;
    default:
      return multiplyAccumulatePlain;
  }
}

const MultiplyAccumulate multiplyAccumulate = chooseMultiplyAccumulate();

bool allZero(const float* x, int n) {
  for (int i = 0; i < n; ++i) {
    if (x[i] != 0.0f) return false;
  }
  return true;
}

void convolveChannel(ConvolutionReverb& r, float* input, const float* ir, float* fdl,
                     float* output) {
  float* spectrum = fdl + static_cast<std::size_t>(r.head) * ReverbSpectrumFloats;
  fftwf_execute_split_dft_r2c(r.forwardPlan, input, spectrum, spectrum + ReverbBinStride);
  multiplyAccumulate(r.accumulator, fdl, ir, r.partitions, r.head);
  fftwf_execute_split_dft_c2r(r.inversePlan, r.accumulator, r.accumulator + ReverbBinStride,
                              r.scratch);
  // Overlap-save: the first half of the window is wrapped around; keep the second.
  std::memcpy(output, r.scratch + ReverbBlockFrames, ReverbBlockFrames * sizeof(float));
  std::memcpy(input, input + ReverbBlockFrames, ReverbBlockFrames * sizeof(float));
}

}  // namespace

std::int32_t makeImpulseResponse(float* left, float* right, std::int32_t capacity, double rate) {
  const double limit = std::floor(rate * ResponseSeconds);
  const std::int32_t n =
      limit < static_cast<double>(capacity) ? static_cast<std::int32_t>(limit) : capacity;
  if (n < 1) return n;

  std::uint32_t s = NoiseSeed;
  double energy = 0.0;
  for (float* channel : {left, right}) {
    float y = 0.0f;
    for (std::int32_t i = 0; i < n; ++i) {
      s = s * 1664525u + 1013904223u;
      const float noise = static_cast<float>(s >> 8) * 5.9604645e-08f * 2.0f - 1.0f;
      y = y + 0.35f * (noise - y);
      const double t = i / rate;
      const double fade = 1.0 - static_cast<double>(i) / n;
      const double attack = t < 0.012 ? t / 0.012 : 1.0;
      const float value = static_cast<float>(attack * std::exp(-2.6 * t) * fade * fade * y);
      channel[i] = value;
      energy += static_cast<double>(value) * value;
    }
  }
  const double rms = std::max(std::sqrt(energy / (2.0 * n)), 0.000125);
  const float scale = static_cast<float>((1.0 / rms) * ResponseLevel * 44100.0 / rate);
  for (std::int32_t i = 0; i < n; ++i) {
    left[i] *= scale;
    right[i] *= scale;
  }
  return n;
}

bool setUpReverb(ConvolutionReverb& r, double rate) {
  const double capacityFrames = std::ceil(rate * ResponseSeconds) + 1.0;
  if (!(capacityFrames >= 1.0 && capacityFrames < 1e8)) return false;
  const auto capacity = static_cast<std::int32_t>(capacityFrames);
  std::vector<float> irLeftTime(static_cast<std::size_t>(capacity));
  std::vector<float> irRightTime(static_cast<std::size_t>(capacity));
  const std::int32_t n = makeImpulseResponse(irLeftTime.data(), irRightTime.data(), capacity, rate);
  const int partitions =
      std::max<int>(1, (std::max(n, 0) + ReverbBlockFrames - 1) / ReverbBlockFrames);

  // One zeroed, 64-byte aligned allocation for every array.
  const std::size_t spectra = static_cast<std::size_t>(partitions) * ReverbSpectrumFloats;
  const std::size_t floats = 4 * spectra + 2 * ReverbFftSize + 2 * ReverbBlockFrames +
                             ReverbFftSize + ReverbSpectrumFloats;
  const std::size_t bytes = (floats * sizeof(float) + 63) / 64 * 64;
  auto* base = static_cast<float*>(std::aligned_alloc(64, bytes));
  if (base == nullptr) return false;
  std::memset(base, 0, bytes);
  r = ConvolutionReverb{};
  r.memory = base;
  r.partitions = partitions;
  float* cursor = base;
  auto take = [&cursor](std::size_t count) {
    float* p = cursor;
    cursor += count;
    return p;
  };
  r.irLeft = take(spectra);
  r.irRight = take(spectra);
  r.fdlLeft = take(spectra);
  r.fdlRight = take(spectra);
  r.inputLeft = take(ReverbFftSize);
  r.inputRight = take(ReverbFftSize);
  r.outputLeft = take(ReverbBlockFrames);
  r.outputRight = take(ReverbBlockFrames);
  r.scratch = take(ReverbFftSize);
  r.accumulator = take(ReverbSpectrumFloats);

  {
    std::lock_guard<std::mutex> lock(plannerMutex());
    fftwf_iodim dim{ReverbFftSize, 1, 1};
    r.forwardPlan = fftwf_plan_guru_split_dft_r2c(1, &dim, 0, nullptr, r.scratch, r.accumulator,
                                                  r.accumulator + ReverbBinStride, FFTW_ESTIMATE);
    r.inversePlan = fftwf_plan_guru_split_dft_c2r(1, &dim, 0, nullptr, r.accumulator,
                                                  r.accumulator + ReverbBinStride, r.scratch,
                                                  FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
  }
  if (r.forwardPlan == nullptr || r.inversePlan == nullptr) {
    tearDownReverb(r);
    return false;
  }

  const float* timeChannels[2] = {irLeftTime.data(), irRightTime.data()};
  float* spectraChannels[2] = {r.irLeft, r.irRight};
  for (int c = 0; c < 2; ++c) {
    for (int k = 0; k < partitions; ++k) {
      std::fill(r.scratch, r.scratch + ReverbFftSize, 0.0f);
      const std::int32_t first = k * ReverbBlockFrames;
      const std::int32_t count = std::clamp(n - first, 0, ReverbBlockFrames);
      std::copy(timeChannels[c] + first, timeChannels[c] + first + count, r.scratch);
      float* spectrum = spectraChannels[c] + static_cast<std::size_t>(k) * ReverbSpectrumFloats;
      fftwf_execute_split_dft_r2c(r.forwardPlan, r.scratch, spectrum, spectrum + ReverbBinStride);
      for (int i = 0; i < ReverbSpectrumFloats; ++i) spectrum[i] *= SpectrumScale;
    }
  }
  std::fill(r.scratch, r.scratch + ReverbFftSize, 0.0f);
  std::fill(r.accumulator, r.accumulator + ReverbSpectrumFloats, 0.0f);
  r.silentBlocks = partitions + 2;  // idle until the first sound
  r.blockIndex = 0;
  r.head = 0;
  return true;
}

void tearDownReverb(ConvolutionReverb& r) {
  {
    std::lock_guard<std::mutex> lock(plannerMutex());
    if (r.forwardPlan != nullptr) fftwf_destroy_plan(r.forwardPlan);
    if (r.inversePlan != nullptr) fftwf_destroy_plan(r.inversePlan);
  }
  std::free(r.memory);
  r = ConvolutionReverb{};
}

void reverbProcessBlock(ConvolutionReverb& r) noexcept {
  const int p = r.partitions;
  const bool silent = allZero(r.inputLeft + ReverbBlockFrames, ReverbBlockFrames) &&
                      allZero(r.inputRight + ReverbBlockFrames, ReverbBlockFrames);
  // Capped so that a reverb left idle for years cannot overflow the count.
  r.silentBlocks = silent ? std::min(r.silentBlocks + 1, p + 2) : 0;
  if (r.silentBlocks > p + 1) {
    // After p + 1 silent blocks the delay line holds only silence, so
    // skipping the transforms is exact.
    std::memset(r.outputLeft, 0, ReverbBlockFrames * sizeof(float));
    std::memset(r.outputRight, 0, ReverbBlockFrames * sizeof(float));
    std::memset(r.inputLeft, 0, ReverbFftSize * sizeof(float));
    std::memset(r.inputRight, 0, ReverbFftSize * sizeof(float));
    return;
  }
  r.head = (p + r.head - 1) % p;
  convolveChannel(r, r.inputLeft, r.irLeft, r.fdlLeft, r.outputLeft);
  convolveChannel(r, r.inputRight, r.irRight, r.fdlRight, r.outputRight);
}

}  // namespace quimbel
