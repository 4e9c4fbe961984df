#include "audio/core/voice_mixer.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "audio/core/render_core_state.h"
#include "audio/core/simd_dispatch.h"

namespace quimbel {
namespace {

constexpr float PcmScale = 1.0f / 32768.0f;
constexpr double SilentEnvelope = 0.0002;  // -74 dB

// Frames first..n-1 of one voice, frame by frame.
void mixOneVoice(RenderCore& c, Voice& v, std::int32_t first, std::int32_t n) noexcept {
  const float r125 = c.releaseMultiplier;
  float* busL = v.isClick != 0 ? c.clickLeft : c.pianoLeft;
  float* busR = v.isClick != 0 ? c.clickRight : c.pianoRight;
  const std::int16_t* sl = v.sample->left;
  const std::int16_t* sr = v.sample->right;
  const std::int64_t frames = v.sample->frames;
  for (std::int32_t j = first; j < n; ++j) {
    const std::int64_t f = c.clock + j;
    if (f >= v.endFrame || v.envelope < SilentEnvelope) {
      v.sample = nullptr;
      break;
    }
    if (f >= v.releaseFrame && r125 < v.envelopeMultiplier) v.envelopeMultiplier = r125;
    const auto i = static_cast<std::int64_t>(v.position);
    if (i + 1 >= frames) {
      v.sample = nullptr;
      break;
    }
    const double frac = v.position - static_cast<double>(i);
    const float a = v.envelope * v.gain * PcmScale;
    busL[j] += (sl[i] + (sl[i + 1] - sl[i]) * frac) * a;
    busR[j] += (sr[i] + (sr[i + 1] - sr[i]) * frac) * a;
    v.position += v.step;
    v.envelope *= v.envelopeMultiplier;
  }
}

// Voices still waiting count the chunk off their delay; the others start at
// the frame their delay ends on. Returns -1 for a voice silent this chunk.
std::int32_t firstFrame(Voice& v, std::int32_t n) noexcept {
  if (v.delay < 1) return 0;
  if (v.delay >= n) {
    v.delay -= n;
    return -1;
  }
  const std::int32_t first = v.delay;
  v.delay = 0;
  return first;
}

}  // namespace

void mixVoicesReference(RenderCore& c, std::int32_t n) noexcept {
  for (Voice& v : c.voices) {
    if (v.sample == nullptr) continue;
    const std::int32_t first = firstFrame(v, n);
    if (first >= 0) mixOneVoice(c, v, first, n);
  }
}

namespace {

// Lanes across voices: eight voices advance together frame by frame (their
// position and envelope chains are serial within a voice but independent
// across voices), recording each frame's position and level; then each
// voice's frames are interpolated and added to its bus in voice order, so
// every sum happens in the same order and precision as one voice at a time.
constexpr int Lanes = 8;
typedef double Double8 __attribute__((vector_size(64)));
typedef std::int64_t Int64x8 __attribute__((vector_size(64)));
typedef float Float8 __attribute__((vector_size(32)));
typedef std::int32_t Int32x8 __attribute__((vector_size(32)));

struct LaneScratch {
  alignas(64) double position[CoreChunkFrames][Lanes];
  alignas(64) float level[CoreChunkFrames][Lanes];
};

#define QUIMBEL_LOAD_LANES(type, name, from) \
  type name;                                 \
  std::memcpy(&name, from, sizeof(type))

[[gnu::always_inline]] inline void mixGroup(RenderCore& c, Voice* const* group, int count,
                                            const std::int32_t* first, std::int32_t n,
                                            LaneScratch& scratch) {
  double position[Lanes] = {}, step[Lanes] = {}, lastPosition[Lanes] = {};
  float envelope[Lanes] = {}, multiplier[Lanes] = {}, gain[Lanes] = {};
  std::int64_t alive[Lanes] = {}, start[Lanes] = {}, endAt[Lanes] = {}, releaseAt[Lanes] = {},
               stop[Lanes] = {};
  for (int l = 0; l < count; ++l) {
    const Voice& v = *group[l];
    position[l] = v.position;
    step[l] = v.step;
    lastPosition[l] = static_cast<double>(v.sample->frames) - 1.0;
    envelope[l] = v.envelope;
    multiplier[l] = v.envelopeMultiplier;
    gain[l] = v.gain;
    alive[l] = -1;
    start[l] = first[l];
    // Frame limits relative to the chunk; anything past it is simply n.
    endAt[l] = v.endFrame - c.clock < n ? v.endFrame - c.clock : n;
    releaseAt[l] = v.releaseFrame - c.clock < n ? v.releaseFrame - c.clock : n;
    stop[l] = n;
  }
  QUIMBEL_LOAD_LANES(Double8, pos, position);
  QUIMBEL_LOAD_LANES(Double8, stp, step);
  QUIMBEL_LOAD_LANES(Double8, last, lastPosition);
  QUIMBEL_LOAD_LANES(Float8, env, envelope);
  QUIMBEL_LOAD_LANES(Float8, mul, multiplier);
  QUIMBEL_LOAD_LANES(Float8, gn, gain);
  QUIMBEL_LOAD_LANES(Int64x8, live, alive);
  QUIMBEL_LOAD_LANES(Int64x8, stopAt, stop);
  QUIMBEL_LOAD_LANES(Int64x8, begin, start);
  QUIMBEL_LOAD_LANES(Int64x8, end, endAt);
  QUIMBEL_LOAD_LANES(Int64x8, release, releaseAt);
  const Float8 r125 = Float8{} + c.releaseMultiplier;
  const Double8 silent = Double8{} + SilentEnvelope;
  const Float8 pcmScale = Float8{} + PcmScale;

  for (std::int32_t j = 0; j < n; ++j) {
    const Int64x8 jv = Int64x8{} + j;
    Int64x8 active = live & (jv >= begin);
    const Int64x8 dead =
        active & ((jv >= end) | (__builtin_convertvector(env, Double8) < silent) | (pos >= last));
    stopAt = dead ? jv : stopAt;
    live &= ~dead;
    active &= ~dead;
    const Int32x8 active32 = __builtin_convertvector(active, Int32x8);
    const Int32x8 releasing = __builtin_convertvector(active & (jv >= release), Int32x8);
    mul = (releasing & (r125 < mul)) ? r125 : mul;
    std::memcpy(scratch.position[j], &pos, sizeof(pos));
    const Float8 level = env * gn * pcmScale;
    std::memcpy(scratch.level[j], &level, sizeof(level));
    pos = active ? pos + stp : pos;
    env = active32 ? env * mul : env;
  }

  std::memcpy(position, &pos, sizeof(pos));
  std::memcpy(envelope, &env, sizeof(env));
  std::memcpy(multiplier, &mul, sizeof(mul));
  std::memcpy(alive, &live, sizeof(live));
  std::memcpy(stop, &stopAt, sizeof(stopAt));
  for (int l = 0; l < count; ++l) {
    Voice& v = *group[l];
    float* busL = v.isClick != 0 ? c.clickLeft : c.pianoLeft;
    float* busR = v.isClick != 0 ? c.clickRight : c.pianoRight;
    const std::int16_t* sl = v.sample->left;
    const std::int16_t* sr = v.sample->right;
    std::int32_t j = first[l];
    const auto to = static_cast<std::int32_t>(stop[l]);
    for (; j < to; ++j) {
      const double p = scratch.position[j][l];
      const auto i = static_cast<std::int64_t>(p);
      const double frac = p - static_cast<double>(i);
      const float a = scratch.level[j][l];
      busL[j] += (sl[i] + (sl[i + 1] - sl[i]) * frac) * a;
      busR[j] += (sr[i] + (sr[i + 1] - sr[i]) * frac) * a;
    }
    v.position = position[l];
    v.envelope = envelope[l];
    v.envelopeMultiplier = multiplier[l];
    if (alive[l] == 0) v.sample = nullptr;
  }
}

[[gnu::always_inline]] inline void mixLanes(RenderCore& c, std::int32_t n) {
  static thread_local LaneScratch scratch;
  Voice* group[Lanes];
  std::int32_t first[Lanes];
  int count = 0;
  for (Voice& v : c.voices) {
    if (v.sample == nullptr) continue;
    const std::int32_t from = firstFrame(v, n);
    if (from < 0) continue;
    group[count] = &v;
    first[count] = from;
    if (++count == Lanes) {
      mixGroup(c, group, count, first, n, scratch);
      count = 0;
    }
  }
  if (count > 0) mixGroup(c, group, count, first, n, scratch);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void mixLanesAvx2(RenderCore& c, std::int32_t n) { mixLanes(c, n); }
#endif
#if defined(__x86_64__)
// One voice at a time along the chunk, eight frames per vector. Within a
// binade of the position (where the spacing of doubles is a fixed u), adding
// the step rounds it to the same multiple of u every frame, so the frames'
// positions are base + m x (rounded step), exactly what the frame-by-frame
// sums give. Blocks that might cross a binade or meet a rounding tie take the
// frame-by-frame sums instead. Everything after the position is the scalar
// arithmetic per frame, unfused, in the same order.
#define QUIMBEL_AVX512 "avx512f,avx512bw,avx512dq,avx512vl"
// The compiler's own vector headers trip this warning (undefined registers).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Sample values read ahead of the block being mixed.
constexpr std::int32_t PrefetchAhead = 256;

// A run of blocks whose positions follow in closed form from the first.
struct PositionRun {
  double limit;    // a block starting below this position stays in the binade
  double rounded;  // the step as every sum in this binade rounds it
};

// Starts a run at position p; false when the next block has to be summed
// frame by frame (near a binade's end, at a rounding tie, or at position 0).
[[gnu::target(QUIMBEL_AVX512)]] inline bool startRun(double p, double step, PositionRun& run) {
  if (!(p > 0.0 && p < 0x1p40)) return false;
  std::uint64_t bits;
  std::memcpy(&bits, &p, sizeof(bits));
  bits &= 0x7FF0000000000000u;
  double binade;
  std::memcpy(&binade, &bits, sizeof(binade));
  // A block's eight sums stay below the next binade; the margin of a whole
  // frame covers the rounding of this bound itself.
  run.limit = 2.0 * binade - 8.0 * step - 1.0;
  if (!(p < run.limit)) return false;
  const double u = binade * 0x1p-52;
  run.rounded = (p + step) - p;  // exact: both sit on the grid of u
  const double off = step - run.rounded;
  return off != 0.5 * u && off != -0.5 * u;
}

// Interpolates one channel's eight frames and adds them to bus (frames
// under mask only). window holds the sample's values from the block's first
// index on, each with its sign bit flipped (value + 32768); index and next
// pick value i and value i + 1 for each frame, one per 64-bit lane.
[[gnu::target(QUIMBEL_AVX512)]] inline void addChannel(__m512i window, __m512i index, __m512i next,
                                                       __m512d frac, __m512d level, float* bus,
                                                       __mmask8 mask) {
  // Each value goes into the low bits of a double that is 2^52 exactly
  // otherwise, which makes it the double 2^52 + 32768 + value: one exact
  // subtraction gives the value, and two such doubles give the difference.
  const __m512i twoTo52 = _mm512_set1_epi64(0x4330000000000000);
  constexpr __mmask32 lowWords = 0x11111111;
  const __m512d at =
      _mm512_castsi512_pd(_mm512_mask_permutexvar_epi16(twoTo52, lowWords, index, window));
  const __m512d after =
      _mm512_castsi512_pd(_mm512_mask_permutexvar_epi16(twoTo52, lowWords, next, window));
  const __m512d base = _mm512_sub_pd(at, _mm512_set1_pd(0x1p52 + 32768.0));
  const __m512d diff = _mm512_sub_pd(after, at);
  const __m512d x = _mm512_mul_pd(_mm512_add_pd(base, _mm512_mul_pd(diff, frac)), level);
  if (mask == 0xFF) {
    const __m512d sum = _mm512_add_pd(_mm512_cvtps_pd(_mm256_loadu_ps(bus)), x);
    _mm256_storeu_ps(bus, _mm512_cvtpd_ps(sum));
  } else {
    const __m512d sum = _mm512_add_pd(_mm512_cvtps_pd(_mm256_maskz_loadu_ps(mask, bus)), x);
    _mm256_mask_storeu_ps(bus, mask, _mm512_cvtpd_ps(sum));
  }
}

// Frames first..stop-1 of one voice; levels holds each frame's level unless
// the level is steady. Returns false when the voice reached its sample's end.
template <bool Steady>
[[gnu::target(QUIMBEL_AVX512)]] [[gnu::always_inline]] inline bool interpolateVoice(
    RenderCore& c, Voice& v, std::int32_t first, std::int32_t stop, float steadyLevel,
    const float* levels) {
  float* busL = v.isClick != 0 ? c.clickLeft : c.pianoLeft;
  float* busR = v.isClick != 0 ? c.clickRight : c.pianoRight;
  const std::int16_t* sl = v.sample->left;
  const std::int16_t* sr = v.sample->right;
  const std::int32_t frames = v.sample->frames;
  const __m512d lastPosition = _mm512_set1_pd(static_cast<double>(frames) - 1.0);
  const __m512d steady = _mm512_set1_pd(steadyLevel);
  const __m512d iota = _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i signs = _mm512_set1_epi16(static_cast<short>(0x8000));
  const double step = v.step;
  double position = v.position;
  PositionRun run{-1.0, 0.0};
  __m512d offsets = _mm512_setzero_pd();
  for (std::int32_t j = first; j < stop; j += 8) {
    __m512d q;
    double next;
    if (position < run.limit ||
        (startRun(position, step, run) &&
         (offsets = _mm512_mul_pd(iota, _mm512_set1_pd(run.rounded)), true))) {
      q = _mm512_add_pd(_mm512_set1_pd(position), offsets);
      next = position + 8.0 * run.rounded;  // exact inside the binade
    } else {
      run.limit = -1.0;
      alignas(64) double serial[8];
      next = position;
      for (double& x : serial) {
        x = next;
        next += step;
      }
      q = _mm512_load_pd(serial);
    }
    const __mmask8 wanted = stop - j >= 8 ? static_cast<__mmask8>(0xFF)
                                          : static_cast<__mmask8>((1u << (stop - j)) - 1u);
    // Positions only grow, so the frames still inside the sample are a prefix.
    const __mmask8 mask = _mm512_mask_cmp_pd_mask(wanted, q, lastPosition, _CMP_LT_OQ);
    const auto i0 = static_cast<std::int32_t>(position);
    // Exact: i0 is a whole number no greater than any of the positions.
    const __m512d fromFirst = _mm512_sub_pd(q, _mm512_set1_pd(static_cast<double>(i0)));
    const __m512i index = _mm512_cvttpd_epi64(fromFirst);
    const __m512d frac = _mm512_sub_pd(fromFirst, _mm512_cvtepi64_pd(index));
    const __m512i nextIndex = _mm512_add_epi64(index, one);
    // Never read past the sample's end: 32 values cover eight steps of at most 4.
    const std::int32_t available = frames - i0;
    const __mmask32 readable =
        available >= 32 ? ~__mmask32{0}
                        : static_cast<__mmask32>((1u << (available > 0 ? available : 0)) - 1u);
    // With every voice sounding, the samples' streams outnumber what the
    // processor's own prefetching follows; ask for them a while ahead.
    _mm_prefetch(reinterpret_cast<const char*>(sl + i0 + PrefetchAhead), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(sr + i0 + PrefetchAhead), _MM_HINT_T0);
    const __m512i windowL = _mm512_xor_si512(_mm512_maskz_loadu_epi16(readable, sl + i0), signs);
    const __m512i windowR = _mm512_xor_si512(_mm512_maskz_loadu_epi16(readable, sr + i0), signs);
    __m512d level;
    if constexpr (Steady) {
      level = steady;
    } else {
      level = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(wanted, levels + j));
    }
    addChannel(windowL, index, nextIndex, frac, level, busL + j, mask);
    addChannel(windowR, index, nextIndex, frac, level, busR + j, mask);
    if (mask != wanted) return false;
    position = next;
    if (wanted != 0xFF) {
      // Only the first stop - j frames were played: the position after them.
      alignas(64) double played[8];
      _mm512_store_pd(played, q);
      position = played[stop - j - 1] + step;
    }
  }
  v.position = position;
  return true;
}

[[gnu::target(QUIMBEL_AVX512)]] void mixVoiceAvx512(RenderCore& c, Voice& v, std::int32_t first,
                                                    std::int32_t n) {
  const std::int64_t endIn = v.endFrame - c.clock;
  const std::int64_t releaseIn = v.releaseFrame - c.clock;
  std::int32_t stop = static_cast<std::int32_t>(endIn < first ? first : endIn < n ? endIn : n);
  const std::int32_t releaseAt = static_cast<std::int32_t>(releaseIn < first ? first
                                                           : releaseIn < n   ? releaseIn
                                                                             : n);
  const float r125 = c.releaseMultiplier;
  const float holdMultiplier = v.envelopeMultiplier;
  const float releaseMultiplier = r125 < holdMultiplier ? r125 : holdMultiplier;
  float envelope = v.envelope;

  // A level per frame while the envelope moves; one level while it holds.
  const bool holds = holdMultiplier == 1.0f && (releaseAt >= stop || releaseMultiplier == 1.0f);
  bool inside;
  if (holds) {
    if (envelope < SilentEnvelope) stop = first;
    inside = interpolateVoice<true>(c, v, first, stop, envelope * v.gain * PcmScale, nullptr);
  } else {
    alignas(64) float levels[CoreChunkFrames + 8];
    for (std::int32_t j = first; j < stop; ++j) {
      if (envelope < SilentEnvelope) {
        stop = j;
        break;
      }
      levels[j] = envelope * v.gain * PcmScale;
      envelope *= j >= releaseAt ? releaseMultiplier : holdMultiplier;
    }
    inside = interpolateVoice<false>(c, v, first, stop, 0.0f, levels);
  }
  if (!inside || stop < n) {
    v.sample = nullptr;
    return;
  }
  v.envelope = envelope;
  if (releaseAt < n) v.envelopeMultiplier = releaseMultiplier;
}

[[gnu::target(QUIMBEL_AVX512)]] void mixVoicesAvx512(RenderCore& c, std::int32_t n) {
  for (Voice& v : c.voices) {
    if (v.sample == nullptr) continue;
    const std::int32_t first = firstFrame(v, n);
    if (first < 0) continue;
    // Eight frames of any step above 4 may not fit one 32-value window.
    if (v.step > 4.0 || !(v.step > 0.0)) {
      mixOneVoice(c, v, first, n);
      continue;
    }
    mixVoiceAvx512(c, v, first, n);
  }
}
#pragma GCC diagnostic pop
#endif

void mixLanesPlain(RenderCore& c, std::int32_t n) { mixLanes(c, n); }

using MixFunction = void (*)(RenderCore&, std::int32_t);

MixFunction mixFor(SimdLevel level) {
#if defined(__x86_64__)
  switch (level) {
    case SimdLevel::Avx512:
      return mixVoicesAvx512;
    case SimdLevel::Avx2:
      return mixLanesAvx2;
    default:
      break;
  }
#else
  (void)level;
#endif
  return mixLanesPlain;
}

const MixFunction mixFunction = mixFor(simdLevel());

}  // namespace

void mixVoices(RenderCore& c, std::int32_t n) noexcept { mixFunction(c, n); }

void mixVoicesAt(SimdLevel level, RenderCore& c, std::int32_t n) noexcept {
  mixFor(level <= simdLevel() ? level : simdLevel())(c, n);
}

}  // namespace quimbel
