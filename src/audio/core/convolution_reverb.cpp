#include "audio/core/convolution_reverb.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
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

// Adds the products of the delay line's spectra with the response's
// partition spectra into acc, over bins [begin, end) of spectra `stride`
// bins apart. Lanes × blocks bins are kept in registers across every
// partition, so each spectrum is read once per block.
typedef float Float4 __attribute__((vector_size(16)));
typedef float Float8 __attribute__((vector_size(32)));
typedef float Float16 __attribute__((vector_size(64)));

template <typename Vec, int Blocks>
[[gnu::always_inline]] inline void multiplyAccumulateKernel(float* acc, const float* fdl,
                                                            const float* ir, int partitions,
                                                            int head, int stride, int begin,
                                                            int end) {
  constexpr int Lanes = sizeof(Vec) / sizeof(float);
  static_assert(Lanes > 1);
  constexpr int Step = Lanes * Blocks;
  // Head spectra and every share of a tail spectrum are whole steps long.
  static_assert(ReverbBinStride % Step == 0);
  const std::size_t spectrumFloats = 2 * static_cast<std::size_t>(stride);
  for (int bin = begin; bin < end; bin += Step) {
    Vec sumRe[Blocks] = {};
    Vec sumIm[Blocks] = {};
    int slot = head;
    for (int k = 0; k < partitions; ++k) {
      const float* x = fdl + static_cast<std::size_t>(slot) * spectrumFloats + bin;
      const float* h = ir + static_cast<std::size_t>(k) * spectrumFloats + bin;
      for (int b = 0; b < Blocks; ++b) {
        Vec xr, xi, hr, hi;
        std::memcpy(&xr, x + b * Lanes, sizeof(Vec));
        std::memcpy(&xi, x + stride + b * Lanes, sizeof(Vec));
        std::memcpy(&hr, h + b * Lanes, sizeof(Vec));
        std::memcpy(&hi, h + stride + b * Lanes, sizeof(Vec));
        sumRe[b] += xr * hr - xi * hi;
        sumIm[b] += xr * hi + xi * hr;
      }
      slot = slot + 1 == partitions ? 0 : slot + 1;
    }
    for (int b = 0; b < Blocks; ++b) {
      std::memcpy(acc + bin + b * Lanes, &sumRe[b], sizeof(Vec));
      std::memcpy(acc + stride + bin + b * Lanes, &sumIm[b], sizeof(Vec));
    }
  }
}

using MultiplyAccumulate = void (*)(float*, const float*, const float*, int, int, int, int, int);

[[gnu::target("avx512f")]] void multiplyAccumulateAvx512(float* acc, const float* fdl,
                                                         const float* ir, int partitions, int head,
                                                         int stride, int begin, int end) {
  multiplyAccumulateKernel<Float16, 3>(acc, fdl, ir, partitions, head, stride, begin, end);
}
[[gnu::target("avx2")]] void multiplyAccumulateAvx2(float* acc, const float* fdl, const float* ir,
                                                    int partitions, int head, int stride, int begin,
                                                    int end) {
  multiplyAccumulateKernel<Float8, 3>(acc, fdl, ir, partitions, head, stride, begin, end);
}
void multiplyAccumulatePlain(float* acc, const float* fdl, const float* ir, int partitions,
                             int head, int stride, int begin, int end) {
  multiplyAccumulateKernel<Float4, 4>(acc, fdl, ir, partitions, head, stride, begin, end);
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

typedef std::int32_t Int4 __attribute__((vector_size(16)));

Float4 load4(const float* from) {
  Float4 v;
  std::memcpy(&v, from, sizeof v);
  return v;
}

void store4(float* to, Float4 v) { std::memcpy(to, &v, sizeof v); }

// n is a multiple of 4.
bool allZero(const float* x, int n) {
  for (int i = 0; i < n; i += 64) {
    Int4 any = {};
    for (int j = i; j < i + 64 && j < n; j += 4) any |= load4(x + j) != 0.0f;
    if ((any[0] | any[1] | any[2] | any[3]) != 0) return false;
  }
  return true;
}

void addInto(float* to, const float* from, int n) {
  for (int i = 0; i < n; i += 4) store4(to + i, load4(to + i) + load4(from + i));
}

// Left and right into interleaved complex values, and back.
void interleave(const float* left, const float* right, float* to, int n) {
  for (int i = 0; i < n; i += 4) {
    const Float4 l = load4(left + i), r = load4(right + i);
    store4(to + 2 * i, __builtin_shuffle(l, r, Int4{0, 4, 1, 5}));
    store4(to + 2 * i + 4, __builtin_shuffle(l, r, Int4{2, 6, 3, 7}));
  }
}

void deinterleave(const float* from, float* left, float* right, int n) {
  for (int i = 0; i < n; i += 4) {
    const Float4 a = load4(from + 2 * i), b = load4(from + 2 * i + 4);
    store4(left + i, __builtin_shuffle(a, b, Int4{0, 2, 4, 6}));
    store4(right + i, __builtin_shuffle(a, b, Int4{1, 3, 5, 7}));
  }
}

// The head: both channels in one complex transform, left in the real
// parts and right in the imaginary parts, kept as two arrays. The bins of
// the two channels are taken apart for the delay line and put back together
// for the inverse, whose real and imaginary parts are then the left and the
// right result.

// The two channels' spectra (each doubled) out of the shared transform.
void separateHead(const float* re, const float* im, float* left, float* right) {
  for (int k = 0; k < ReverbBins; ++k) {
    const int m = (ReverbFftSize - k) % ReverbFftSize;
    left[k] = re[k] + re[m];
    left[ReverbBinStride + k] = im[k] - im[m];
    right[k] = im[k] + im[m];
    right[ReverbBinStride + k] = re[m] - re[k];
  }
}

void joinHead(const float* left, const float* right, float* re, float* im) {
  for (int k = 0; k < ReverbBins; ++k) {
    const float a = left[k], b = left[ReverbBinStride + k];
    const float c = right[k], d = right[ReverbBinStride + k];
    re[k] = a - d;
    im[k] = b + c;
    if (k != 0 && k != ReverbFftSize / 2) {
      re[ReverbFftSize - k] = a + d;
      im[ReverbFftSize - k] = c - b;
    }
  }
}

void convolveHead(ConvolutionReverb& r) {
  const std::size_t slot = static_cast<std::size_t>(r.head) * ReverbSpectrumFloats;
  float* accLeft = r.accumulator;
  float* accRight = r.accumulator + ReverbSpectrumFloats;
  fftwf_execute(r.forwardPlan);
  separateHead(r.headSpectrum, r.headSpectrum + ReverbFftSize, r.fdlLeft + slot, r.fdlRight + slot);
  multiplyAccumulate(accLeft, r.fdlLeft, r.irLeft, r.partitions, r.head, ReverbBinStride, 0,
                     ReverbBinStride);
  multiplyAccumulate(accRight, r.fdlRight, r.irRight, r.partitions, r.head, ReverbBinStride, 0,
                     ReverbBinStride);
  joinHead(accLeft, accRight, r.headSpectrum, r.headSpectrum + ReverbFftSize);
  fftwf_execute(r.inversePlan);
  // Overlap-save: the first half of the window is wrapped around; keep the second.
  std::memcpy(r.outputLeft, r.scratch + ReverbBlockFrames, ReverbBlockFrames * sizeof(float));
  std::memcpy(r.outputRight, r.scratch + ReverbFftSize + ReverbBlockFrames,
              ReverbBlockFrames * sizeof(float));
  std::memcpy(r.inputLeft, r.inputLeft + ReverbBlockFrames, ReverbBlockFrames * sizeof(float));
  std::memcpy(r.inputRight, r.inputRight + ReverbBlockFrames, ReverbBlockFrames * sizeof(float));
}

// ---- the tail ----
//
// Both channels share one complex transform: left in the real parts, right
// in the imaginary parts. The 8192-point transform of frame n = n2 + 128 n1
// runs as 128 column transforms of 64 points (over n1, in place), a
// twiddle, and 64 row transforms of 128 points (over n2) whose results are
// written out transposed, so that bin k = k1 + 64 k2 lands in natural order
// in the spectrum. Each pass is cut into shares that run in separate steps.
// The bins of the two channels are taken apart for the delay line and put
// back together for the inverse, which runs the passes backwards.

constexpr int TailBins = ReverbTailFftSize;
constexpr int TailMacParts = ReverbTailBinStride / ReverbBinStride;
constexpr int ColumnsPerPart = ReverbTailColumns / ReverbTailFftParts;
constexpr int RowsPerPart = ReverbTailRows / ReverbTailFftParts;

// Two complex products per vector: (zr wr - zi wi, zr wi + zi wr), with wi
// negated for the inverse.
void twiddleColumns(float* work, const float* twiddles, int part, bool inverse) {
  const Float4 conjugate = inverse ? Float4{1.0f, -1.0f, 1.0f, -1.0f} : Float4{1, 1, 1, 1};
  const Float4 alternate = {-1.0f, 1.0f, -1.0f, 1.0f};
  for (int row = 0; row < ReverbTailRows; ++row) {
    const int first = row * ReverbTailColumns + part * ColumnsPerPart;
    float* z = work + 2 * first;
    const float* w = twiddles + 2 * first;
    for (int i = 0; i < 2 * ColumnsPerPart; i += 4) {
      const Float4 x = load4(z + i), t = load4(w + i) * conjugate;
      const Float4 re = __builtin_shuffle(x, Int4{0, 0, 2, 2});
      const Float4 im = __builtin_shuffle(x, Int4{1, 1, 3, 3});
      const Float4 swapped = __builtin_shuffle(t, Int4{1, 0, 3, 2});
      store4(z + i, re * t + im * swapped * alternate);
    }
  }
}

void forwardColumns(ConvolutionReverb& r, int part) {
  fftwf_execute(r.tailColumnsForward[part]);
  twiddleColumns(r.tailWork, r.tailTwiddles, part, false);
}

void inverseColumns(ConvolutionReverb& r, int part) {
  twiddleColumns(r.tailWork, r.tailTwiddles, part, true);
  fftwf_execute(r.tailColumnsInverse[part]);
}

// The two channels' spectra (each doubled) out of the shared transform.
void separateChannels(const float* work, float* left, float* right) {
  for (int k = 0; k < ReverbTailBins; ++k) {
    const float* z = work + 2 * k;
    const float* m = work + 2 * ((TailBins - k) % TailBins);
    left[k] = z[0] + m[0];
    left[ReverbTailBinStride + k] = z[1] - m[1];
    right[k] = z[1] + m[1];
    right[ReverbTailBinStride + k] = m[0] - z[0];
  }
}

// The inverse transform's input whose real part is the left result and
// whose imaginary part is the right one.
void joinChannels(const float* left, const float* right, float* work) {
  for (int k = 0; k < ReverbTailBins; ++k) {
    const float a = left[k], b = left[ReverbTailBinStride + k];
    const float c = right[k], d = right[ReverbTailBinStride + k];
    float* z = work + 2 * k;
    z[0] = a - d;
    z[1] = b + c;
    if (k != 0 && k != TailBins / 2) {
      float* m = work + 2 * (TailBins - k);
      m[0] = a + d;
      m[1] = c - b;
    }
  }
}

// Head blocks held by the two halves of the tail's window.
constexpr int TailWindowBlocks = 2 * ReverbTailFrames / ReverbBlockFrames;

// Where the count of silent head blocks stops: past both idle rules.
int idleBlockCap(int partitions) { return std::max(partitions + 2, TailWindowBlocks + 1); }

float* tailResult(ConvolutionReverb& r, int which) {
  return r.tailOutput + static_cast<std::size_t>(which) * 2 * ReverbTailFrames;
}

// One tail block's work, one task per step: 3 steps between head blocks, 24
// per tail block. The result is due when the next tail block begins.
enum class TailTask {
  Gather,
  ColumnsForward,
  RowsForward,
  Separate,
  Multiply,
  Join,
  RowsInverse,
  ColumnsInverse,
  Scatter,
  None
};

struct TailTaskEntry {
  TailTask task;
  int part;
};

constexpr int TailSteps = 3 * (ReverbTailFrames / ReverbBlockFrames);

constexpr auto tailSchedule = [] {
  std::array<TailTaskEntry, TailSteps> schedule{};
  for (auto& entry : schedule) entry = {TailTask::None, 0};
  int i = 0;
  schedule[i++] = {TailTask::Gather, 0};
  for (int p = 0; p < ReverbTailFftParts; ++p) schedule[i++] = {TailTask::ColumnsForward, p};
  for (int p = 0; p < ReverbTailFftParts; ++p) schedule[i++] = {TailTask::RowsForward, p};
  schedule[i++] = {TailTask::Separate, 0};
  for (int p = 0; p < TailMacParts; ++p) schedule[i++] = {TailTask::Multiply, p};
  schedule[i++] = {TailTask::Join, 0};
  for (int p = 0; p < ReverbTailFftParts; ++p) schedule[i++] = {TailTask::RowsInverse, p};
  for (int p = 0; p < ReverbTailFftParts; ++p) schedule[i++] = {TailTask::ColumnsInverse, p};
  schedule[i++] = {TailTask::Scatter, 0};
  return schedule;
}();

void runTailTask(ConvolutionReverb& r, int step) {
  const TailTaskEntry entry = tailSchedule[static_cast<std::size_t>(step)];
  const std::size_t slot = static_cast<std::size_t>(r.tailHead) * ReverbTailSpectrumFloats;
  float* accLeft = r.tailAccumulator;
  float* accRight = r.tailAccumulator + ReverbTailSpectrumFloats;
  switch (entry.task) {
    case TailTask::Gather: {
      // The window: the tail block before (the half now being refilled,
      // untouched until the next head block ends) and the one just complete.
      const int older = r.tailFilling, newer = 1 - r.tailFilling;
      for (int half = 0; half < 2; ++half) {
        const std::size_t from =
            static_cast<std::size_t>(half == 0 ? older : newer) * ReverbTailFrames;
        interleave(r.tailWindowLeft + from, r.tailWindowRight + from,
                   r.tailWork + static_cast<std::size_t>(half) * 2 * ReverbTailFrames,
                   ReverbTailFrames);
      }
      break;
    }
    case TailTask::ColumnsForward:
      forwardColumns(r, entry.part);
      break;
    case TailTask::RowsForward:
      fftwf_execute(r.tailRowsForward[entry.part]);
      break;
    case TailTask::Separate:
      separateChannels(r.tailSpectrum, r.tailFdlLeft + slot, r.tailFdlRight + slot);
      break;
    case TailTask::Multiply: {
      const int begin = entry.part * ReverbBinStride;
      multiplyAccumulate(accLeft, r.tailFdlLeft, r.tailIrLeft, r.tailPartitions, r.tailHead,
                         ReverbTailBinStride, begin, begin + ReverbBinStride);
      multiplyAccumulate(accRight, r.tailFdlRight, r.tailIrRight, r.tailPartitions, r.tailHead,
                         ReverbTailBinStride, begin, begin + ReverbBinStride);
      break;
    }
    case TailTask::Join:
      joinChannels(accLeft, accRight, r.tailSpectrum);
      break;
    case TailTask::RowsInverse:
      fftwf_execute(r.tailRowsInverse[entry.part]);
      break;
    case TailTask::ColumnsInverse:
      inverseColumns(r, entry.part);
      break;
    case TailTask::Scatter: {
      // Overlap-save again: the second half of the window is the result.
      const int which = 1 - r.tailPlaying;
      float* left = tailResult(r, which);
      deinterleave(r.tailWork + 2 * ReverbTailFrames, left, left + ReverbTailFrames,
                   ReverbTailFrames);
      r.tailResultClear[which] = false;
      r.tailBusy = false;
      break;
    }
    case TailTask::None:
      break;
  }
}

// A head block is complete: keep it for the tail, and start the tail's work
// when it completes a tail block.
void feedTail(ConvolutionReverb& r, bool silent) {
  // A silent block need not be copied where the block 16 before it (the
  // last one kept in the same place), silent as well, left zeros.
  if (!silent || r.silentBlocks <= TailWindowBlocks) {
    const std::size_t at = static_cast<std::size_t>(r.tailFilling) * ReverbTailFrames +
                           static_cast<std::size_t>(r.tailSlot) * ReverbBlockFrames;
    std::memcpy(r.tailWindowLeft + at, r.inputLeft + ReverbBlockFrames,
                ReverbBlockFrames * sizeof(float));
    std::memcpy(r.tailWindowRight + at, r.inputRight + ReverbBlockFrames,
                ReverbBlockFrames * sizeof(float));
  }
  if (++r.tailSlot != ReverbTailFrames / ReverbBlockFrames) return;
  r.tailSlot = 0;
  const int q = r.tailPartitions;
  r.tailSilent = r.silentBlocks >= ReverbTailFrames / ReverbBlockFrames
                     ? std::min(r.tailSilent + 1, q + 2)
                     : 0;
  r.tailFilling = 1 - r.tailFilling;
  r.tailPlaying = 1 - r.tailPlaying;
  const int next = 1 - r.tailPlaying;
  if (r.tailSilent > q + 1) {
    // After q + 1 silent tail blocks the tail's delay line holds only
    // silence: its result would be zeros.
    if (!r.tailResultClear[next]) {
      std::memset(tailResult(r, next), 0, 2 * ReverbTailFrames * sizeof(float));
      r.tailResultClear[next] = true;
    }
    return;
  }
  r.tailHead = (q + r.tailHead - 1) % q;
  r.tailBusy = true;
}

void finishHeadBlock(ConvolutionReverb& r) {
  const int p = r.partitions;
  const bool silent = allZero(r.inputLeft + ReverbBlockFrames, ReverbBlockFrames) &&
                      allZero(r.inputRight + ReverbBlockFrames, ReverbBlockFrames);
  // Capped so that a reverb left idle for years cannot overflow the count.
  const int cap = idleBlockCap(p);
  r.silentBlocks = silent ? std::min(r.silentBlocks + 1, cap) : 0;
  if (r.tailPartitions > 0) feedTail(r, silent);
  if (r.silentBlocks > p + 1) {
    // After p + 1 silent blocks the head's delay line holds only silence,
    // so skipping its transforms is exact.
    std::memset(r.outputLeft, 0, ReverbBlockFrames * sizeof(float));
    std::memset(r.outputRight, 0, ReverbBlockFrames * sizeof(float));
    std::memset(r.inputLeft, 0, ReverbFftSize * sizeof(float));
    std::memset(r.inputRight, 0, ReverbFftSize * sizeof(float));
  } else {
    r.head = (p + r.head - 1) % p;
    convolveHead(r);
  }
  if (r.tailPartitions == 0 || r.tailResultClear[r.tailPlaying]) return;
  const float* left =
      tailResult(r, r.tailPlaying) + static_cast<std::size_t>(r.tailSlot) * ReverbBlockFrames;
  addInto(r.outputLeft, left, ReverbBlockFrames);
  addInto(r.outputRight, left + ReverbTailFrames, ReverbBlockFrames);
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

namespace {

// Plans one pass of the tail transform over one share: `count` transforms of
// `size` points, read `stride.in` apart inside a transform and
// `distance.in` apart from each other, written with the `out` spacings.
struct Spacing {
  int in, out;
};

fftwf_plan makeTailPlan(float* from, float* to, int size, Spacing stride, int count,
                        Spacing distance, int sign) {
  fftwf_iodim dim{size, stride.in, stride.out};
  fftwf_iodim loop{count, distance.in, distance.out};
  return fftwf_plan_guru_dft(1, &dim, 1, &loop, reinterpret_cast<fftwf_complex*>(from),
                             reinterpret_cast<fftwf_complex*>(to), sign, FFTW_ESTIMATE);
}

bool makePlans(ConvolutionReverb& r) {
  std::lock_guard<std::mutex> lock(plannerMutex());
  fftwf_iodim dim{ReverbFftSize, 1, 1};
  float* spectrumRe = r.headSpectrum;
  float* spectrumIm = r.headSpectrum + ReverbFftSize;
  r.forwardPlan = fftwf_plan_guru_split_dft(1, &dim, 0, nullptr, r.inputLeft, r.inputRight,
                                            spectrumRe, spectrumIm, FFTW_ESTIMATE);
  // With real and imaginary parts exchanged, the forward transform is the
  // inverse one.
  r.inversePlan = fftwf_plan_guru_split_dft(1, &dim, 0, nullptr, spectrumIm, spectrumRe,
                                            r.scratch + ReverbFftSize, r.scratch,
                                            FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
  bool made = r.forwardPlan != nullptr && r.inversePlan != nullptr;
  if (r.tailPartitions == 0) return made;
  for (int part = 0; part < ReverbTailFftParts; ++part) {
    constexpr Spacing columnStride{ReverbTailColumns, ReverbTailColumns}, nextColumn{1, 1};
    // Row k1's points lie one apart; its bins k1 + 64 k2 go 64 apart.
    constexpr Spacing rowStride{1, ReverbTailRows}, nextRow{ReverbTailColumns, 1};
    constexpr Spacing backStride{ReverbTailRows, 1}, backRow{1, ReverbTailColumns};
    float* columns = r.tailWork + 2 * part * ColumnsPerPart;
    float* rows = r.tailWork + 2 * part * RowsPerPart * ReverbTailColumns;
    float* bins = r.tailSpectrum + 2 * part * RowsPerPart;
    r.tailColumnsForward[part] = makeTailPlan(columns, columns, ReverbTailRows, columnStride,
                                              ColumnsPerPart, nextColumn, FFTW_FORWARD);
    r.tailRowsForward[part] =
        makeTailPlan(rows, bins, ReverbTailColumns, rowStride, RowsPerPart, nextRow, FFTW_FORWARD);
    r.tailRowsInverse[part] = makeTailPlan(bins, rows, ReverbTailColumns, backStride, RowsPerPart,
                                           backRow, FFTW_BACKWARD);
    r.tailColumnsInverse[part] = makeTailPlan(columns, columns, ReverbTailRows, columnStride,
                                              ColumnsPerPart, nextColumn, FFTW_BACKWARD);
    made = made && r.tailColumnsForward[part] != nullptr && r.tailRowsForward[part] != nullptr &&
           r.tailRowsInverse[part] != nullptr && r.tailColumnsInverse[part] != nullptr;
  }
  return made;
}

// The spectra of the response's partitions, scaled so that a forward and an
// inverse transform of the delay line's product give the exact convolution.
void transformResponse(ConvolutionReverb& r, const float* left, const float* right,
                       std::int32_t n) {
  // The channel split doubles the response's spectra and the input's, and
  // a forward and an inverse transform multiply by their size.
  const float headScale = 1.0f / (4.0f * ReverbFftSize);
  float* time = r.scratch;  // left, then right
  for (int k = 0; k < r.partitions; ++k) {
    std::fill(time, time + 2 * ReverbFftSize, 0.0f);
    const std::int32_t first = k * ReverbBlockFrames;
    const std::int32_t count = std::clamp(n - first, 0, ReverbBlockFrames);
    std::copy(left + first, left + first + count, time);
    std::copy(right + first, right + first + count, time + ReverbFftSize);
    fftwf_execute_split_dft(r.forwardPlan, time, time + ReverbFftSize, r.headSpectrum,
                            r.headSpectrum + ReverbFftSize);
    const std::size_t slot = static_cast<std::size_t>(k) * ReverbSpectrumFloats;
    separateHead(r.headSpectrum, r.headSpectrum + ReverbFftSize, r.irLeft + slot, r.irRight + slot);
    for (int i = 0; i < ReverbSpectrumFloats; ++i) {
      r.irLeft[slot + i] *= headScale;
      r.irRight[slot + i] *= headScale;
    }
  }
  const float tailScale = 1.0f / (4.0f * ReverbTailFftSize);
  for (int k = 0; k < r.tailPartitions; ++k) {
    std::fill(r.tailWork, r.tailWork + 2 * ReverbTailFftSize, 0.0f);
    const std::int32_t first = ReverbTailStart + k * ReverbTailFrames;
    const std::int32_t count = std::clamp(n - first, 0, ReverbTailFrames);
    for (std::int32_t i = 0; i < count; ++i) {
      r.tailWork[2 * i] = left[first + i];
      r.tailWork[2 * i + 1] = right[first + i];
    }
    for (int part = 0; part < ReverbTailFftParts; ++part) forwardColumns(r, part);
    for (int part = 0; part < ReverbTailFftParts; ++part) fftwf_execute(r.tailRowsForward[part]);
    const std::size_t slot = static_cast<std::size_t>(k) * ReverbTailSpectrumFloats;
    float* spectrumLeft = r.tailIrLeft + slot;
    float* spectrumRight = r.tailIrRight + slot;
    separateChannels(r.tailSpectrum, spectrumLeft, spectrumRight);
    for (int i = 0; i < ReverbTailSpectrumFloats; ++i) {
      spectrumLeft[i] *= tailScale;
      spectrumRight[i] *= tailScale;
    }
  }
}

}  // namespace

bool setUpReverb(ConvolutionReverb& r, double rate) {
  const double capacityFrames = std::ceil(rate * ResponseSeconds) + 1.0;
  if (!(capacityFrames >= 1.0 && capacityFrames < 1e8)) return false;
  const auto capacity = static_cast<std::int32_t>(capacityFrames);
  std::vector<float> irLeftTime(static_cast<std::size_t>(capacity));
  std::vector<float> irRightTime(static_cast<std::size_t>(capacity));
  const std::int32_t n = makeImpulseResponse(irLeftTime.data(), irRightTime.data(), capacity, rate);
  const std::int32_t frames = std::max(n, 0);
  const int partitions = std::clamp<int>(
      (std::min(frames, ReverbTailStart) + ReverbBlockFrames - 1) / ReverbBlockFrames, 1,
      ReverbHeadPartitions);
  const int tailPartitions =
      (std::max(frames - ReverbTailStart, 0) + ReverbTailFrames - 1) / ReverbTailFrames;

  // One zeroed, 64-byte aligned allocation for every array.
  const std::size_t headSpectra = static_cast<std::size_t>(partitions) * ReverbSpectrumFloats;
  const std::size_t tailSpectra =
      static_cast<std::size_t>(tailPartitions) * ReverbTailSpectrumFloats;
  const bool tail = tailPartitions > 0;
  const std::size_t floats = 4 * headSpectra + 4 * tailSpectra + 2 * ReverbFftSize +
                             2 * ReverbBlockFrames + 4 * ReverbFftSize + 2 * ReverbSpectrumFloats +
                             (tail ? 2 * 2 * ReverbTailFrames + 3 * 2 * ReverbTailFftSize +
                                         2 * ReverbTailSpectrumFloats + 2 * 2 * ReverbTailFrames
                                   : 0);
  const std::size_t bytes = (floats * sizeof(float) + 63) / 64 * 64;
  auto* base = static_cast<float*>(std::aligned_alloc(64, bytes));
  if (base == nullptr) return false;
  std::memset(base, 0, bytes);
  r = ConvolutionReverb{};
  r.memory = base;
  r.partitions = partitions;
  r.tailPartitions = tailPartitions;
  float* cursor = base;
  auto take = [&cursor](std::size_t count) {
    float* p = cursor;
    cursor += count;
    return p;
  };
  r.response = cursor;
  r.responseFloats = 2 * headSpectra + 2 * tailSpectra;
  r.irLeft = take(headSpectra);
  r.irRight = take(headSpectra);
  r.tailIrLeft = take(tailSpectra);
  r.tailIrRight = take(tailSpectra);
  r.fdlLeft = take(headSpectra);
  r.fdlRight = take(headSpectra);
  r.tailFdlLeft = take(tailSpectra);
  r.tailFdlRight = take(tailSpectra);
  r.inputLeft = take(ReverbFftSize);
  r.inputRight = take(ReverbFftSize);
  r.outputLeft = take(ReverbBlockFrames);
  r.outputRight = take(ReverbBlockFrames);
  r.scratch = take(2 * ReverbFftSize);
  r.headSpectrum = take(2 * ReverbFftSize);
  r.accumulator = take(2 * ReverbSpectrumFloats);
  if (tail) {
    r.tailWindowLeft = take(2 * ReverbTailFrames);
    r.tailWindowRight = take(2 * ReverbTailFrames);
    r.tailWork = take(2 * ReverbTailFftSize);
    r.tailSpectrum = take(2 * ReverbTailFftSize);
    r.tailTwiddles = take(2 * ReverbTailFftSize);
    r.tailAccumulator = take(2 * ReverbTailSpectrumFloats);
    r.tailOutput = take(2 * 2 * ReverbTailFrames);
    // The twiddle of column n2 in row k1 is exp(-2 pi i n2 k1 / 8192).
    for (int k1 = 0; k1 < ReverbTailRows; ++k1) {
      for (int n2 = 0; n2 < ReverbTailColumns; ++n2) {
        const double angle = -2.0 * M_PI * n2 * k1 / ReverbTailFftSize;
        float* w = r.tailTwiddles + 2 * (k1 * ReverbTailColumns + n2);
        w[0] = static_cast<float>(std::cos(angle));
        w[1] = static_cast<float>(std::sin(angle));
      }
    }
  }

  if (!makePlans(r)) {
    tearDownReverb(r);
    return false;
  }
  transformResponse(r, irLeftTime.data(), irRightTime.data(), n);
  std::fill(r.scratch, r.scratch + 2 * ReverbFftSize, 0.0f);
  std::fill(r.headSpectrum, r.headSpectrum + 2 * ReverbFftSize, 0.0f);
  if (tail) std::fill(r.tailWork, r.tailWork + 2 * ReverbTailFftSize, 0.0f);
  // Idle until the first sound.
  r.silentBlocks = idleBlockCap(partitions);
  r.tailSilent = tailPartitions + 2;
  r.blockIndex = 0;
  r.head = 0;
  return true;
}

void tearDownReverb(ConvolutionReverb& r) {
  {
    std::lock_guard<std::mutex> lock(plannerMutex());
    for (fftwf_plan plan : {r.forwardPlan, r.inversePlan}) {
      if (plan != nullptr) fftwf_destroy_plan(plan);
    }
    for (int part = 0; part < ReverbTailFftParts; ++part) {
      for (fftwf_plan plan : {r.tailColumnsForward[part], r.tailRowsForward[part],
                              r.tailRowsInverse[part], r.tailColumnsInverse[part]}) {
        if (plan != nullptr) fftwf_destroy_plan(plan);
      }
    }
  }
  std::free(r.memory);
  r = ConvolutionReverb{};
}

bool reverbIdle(const ConvolutionReverb& r) noexcept {
  return r.silentBlocks > r.partitions + 1 &&
         (r.tailPartitions == 0 || (r.tailSilent > r.tailPartitions + 1 && !r.tailBusy));
}

void reverbStep(ConvolutionReverb& r) noexcept {
  const int done = r.blockIndex + 1;
  if (done != ReverbBlockFrames) {
    r.blockIndex = done;
    if (r.tailBusy) runTailTask(r, 3 * r.tailSlot + done / ReverbStepFrames - 1);
    return;
  }
  r.blockIndex = 0;
  finishHeadBlock(r);
}

}  // namespace quimbel
