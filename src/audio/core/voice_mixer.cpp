#include "audio/core/voice_mixer.h"

#include "audio/core/render_core_state.h"

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

void mixVoices(RenderCore& c, std::int32_t n) noexcept { mixVoicesReference(c, n); }

}  // namespace quimbel
