#include "audio/offline_render.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "audio/core/render_core.h"
#include "music/voicing.h"

namespace quimbel {
namespace {

constexpr std::size_t kRenderChunkFrames = 512;
constexpr std::int32_t kHitVelocity = 100;

// Every chord first damps the one before it, exactly as a live press does.
// The hit's velocity is already part of the voicing's gain.
void issueHit(RenderCore* core, const ChordHit& hit) {
  const Voicing& voicing = hit.voicing;
  const float chordGain = voicing.gain * chordScale(voicing.notes.size());
  releaseAll(core);
  for (std::size_t i = 0; i < voicing.notes.size(); ++i) {
    const int note = voicing.notes[i];
    // A note without a slot in the core could only be dropped by it; a
    // voicing short of offsets starts the rest with the chord.
    if (note < 0 || note > 127) continue;
    const double offset = i < voicing.offsets.size() ? voicing.offsets[i] : 0.0;
    noteOn(core, static_cast<std::uint32_t>(note), NoTag, kHitVelocity, chordGain, offset,
           noteLength(voicing, i, hit.length));
  }
}

}  // namespace

std::size_t offlineFrameCount(double seconds, double sampleRate) {
  const double frames = std::ceil(seconds * sampleRate);
  if (!std::isfinite(frames) || frames <= 0.0) return 0;
  // Far beyond any take; keeps the cast defined.
  if (frames > static_cast<double>(std::numeric_limits<std::int32_t>::max())) return 0;
  return static_cast<std::size_t>(frames);
}

StereoBuffer renderOffline(std::span<const ChordHit> hits, double seconds, float volume,
                           double sampleRate) {
  return renderOffline(hits, seconds, volume, sampleRate, sampleLibrary());
}

StereoBuffer renderOffline(std::span<const ChordHit> hits, double seconds, float volume,
                           double sampleRate, const SampleLibrary& library) {
  const std::size_t total = offlineFrameCount(seconds, sampleRate);
  StereoBuffer out;
  out.left.assign(total, 0.0f);
  out.right.assign(total, 0.0f);
  if (total == 0) return out;

  RenderCore* core = createCore(sampleRate);
  installSamples(core, library, sampleRate);
  setVolume(core, volume);

  std::vector<std::size_t> order(hits.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return hits[a].t < hits[b].t; });

  // A hit's frame; a time before the take (or not a number) counts as its
  // first frame, one beyond the end as never.
  auto hitFrame = [&](const ChordHit& hit) -> std::size_t {
    const double frame = std::trunc(sampleRate * hit.t);
    if (!(frame > 0.0)) return 0;
    if (frame >= static_cast<double>(total)) return total;
    return static_cast<std::size_t>(frame);
  };

  std::size_t p = 0;
  std::size_t e = 0;
  while (p < total) {
    std::size_t boundary = total;
    while (e < order.size()) {
      const std::size_t frame = hitFrame(hits[order[e]]);
      if (p < frame) {
        boundary = frame;
        break;
      }
      issueHit(core, hits[order[e]]);
      ++e;
    }
    // Each render call ends on the next hit's frame, so that hit's commands
    // are taken at the very start of the call that begins on it.
    const std::size_t n = std::min(boundary, total) - p;
    const std::size_t chunk =
        n >= kRenderChunkFrames ? kRenderChunkFrames : std::max<std::size_t>(n, 1);
    render(core, out.left.data() + p, out.right.data() + p, static_cast<std::int32_t>(chunk));
    p += chunk;
  }
  destroyCore(core);
  return out;
}

}  // namespace quimbel
