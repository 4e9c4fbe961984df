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

}  // namespace

void mixVoicesReference(RenderCore& c, std::int32_t n) noexcept {
  const float r125 = c.releaseMultiplier;
  for (Voice& v : c.voices) {
    if (v.sample == nullptr) continue;
    std::int32_t first = 0;
    if (v.delay >= 1) {
      if (v.delay >= n) {
        v.delay -= n;
        continue;
      }
      first = v.delay;
      v.delay = 0;
    }
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

#if defined(__x86_64__)
// The compiler's own vector headers trip this warning (undefined registers).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// One voice's frames from..to-1, eight at a time, with exactly the scalar
// arithmetic per frame (no fused operations). Returns the first frame left
// for the scalar tail.
[[gnu::target("avx512f,avx512dq,avx512vl")]] std::int32_t interpolateAvx512(
    const LaneScratch& scratch, int lane, std::int32_t from, std::int32_t to,
    const std::int16_t* sl, const std::int16_t* sr, float* busL, float* busR) {
  const __m512i strideIndex =
      _mm512_add_epi64(_mm512_setr_epi64(0, 8, 16, 24, 32, 40, 48, 56), _mm512_set1_epi64(lane));
  std::int32_t j = from;
  for (; j + 8 <= to; j += 8) {
    const __m512d p = _mm512_i64gather_pd(strideIndex, &scratch.position[j][0], 8);
    const __m512d a = _mm512_cvtps_pd(_mm512_i64gather_ps(strideIndex, &scratch.level[j][0], 4));
    const __m512d whole = _mm512_roundscale_pd(p, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m512d frac = _mm512_sub_pd(p, whole);
    const __m512i index = _mm512_cvttpd_epi64(p);
    const std::int16_t* channels[2] = {sl, sr};
    float* buses[2] = {busL, busR};
    for (int ch = 0; ch < 2; ++ch) {
      // One 32-bit load holds the sample pair at i and i + 1.
      const __m256i pair = _mm512_i64gather_epi32(index, channels[ch], 2);
      const __m256i low = _mm256_srai_epi32(_mm256_slli_epi32(pair, 16), 16);
      const __m256i high = _mm256_srai_epi32(pair, 16);
      const __m512d base = _mm512_cvtepi32_pd(low);
      const __m512d diff = _mm512_cvtepi32_pd(_mm256_sub_epi32(high, low));
      const __m512d x = _mm512_mul_pd(_mm512_add_pd(base, _mm512_mul_pd(diff, frac)), a);
      const __m512d sum = _mm512_add_pd(_mm512_cvtps_pd(_mm256_loadu_ps(buses[ch] + j)), x);
      _mm256_storeu_ps(buses[ch] + j, _mm512_cvtpd_ps(sum));
    }
  }
  return j;
}
#pragma GCC diagnostic pop
#endif

template <bool Wide>
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
#if defined(__x86_64__)
    if constexpr (Wide) j = interpolateAvx512(scratch, l, j, to, sl, sr, busL, busR);
#endif
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

template <bool Wide>
[[gnu::always_inline]] inline void mixLanes(RenderCore& c, std::int32_t n) {
  static thread_local LaneScratch scratch;
  Voice* group[Lanes];
  std::int32_t first[Lanes];
  int count = 0;
  for (Voice& v : c.voices) {
    if (v.sample == nullptr) continue;
    std::int32_t from = 0;
    if (v.delay >= 1) {
      if (v.delay >= n) {
        v.delay -= n;
        continue;
      }
      from = v.delay;
      v.delay = 0;
    }
    group[count] = &v;
    first[count] = from;
    if (++count == Lanes) {
      mixGroup<Wide>(c, group, count, first, n, scratch);
      count = 0;
    }
  }
  if (count > 0) mixGroup<Wide>(c, group, count, first, n, scratch);
}

#if defined(__x86_64__)
[[gnu::target("avx512f,avx512dq,avx512vl")]] void mixLanesAvx512(RenderCore& c, std::int32_t n) {
  mixLanes<true>(c, n);
}
[[gnu::target("avx2")]] void mixLanesAvx2(RenderCore& c, std::int32_t n) { mixLanes<false>(c, n); }
#endif
void mixLanesPlain(RenderCore& c, std::int32_t n) { mixLanes<false>(c, n); }

using MixFunction = void (*)(RenderCore&, std::int32_t);

MixFunction chooseMix() {
#if defined(__x86_64__)
  switch (simdLevel()) {
    case SimdLevel::Avx512:
      return mixLanesAvx512;
    case SimdLevel::Avx2:
      return mixLanesAvx2;
    default:
      break;
  }
#endif
  return mixLanesPlain;
}

const MixFunction mixFunction = chooseMix();

}  // namespace

void mixVoices(RenderCore& c, std::int32_t n) noexcept { mixFunction(c, n); }

}  // namespace quimbel
