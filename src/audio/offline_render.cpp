#include "audio/offline_render.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <numeric>

#include "audio/core/render_core.h"
#include "audio/large_buffer.h"
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

// A hit's frame; a time before the take (or not a number) counts as its
// first frame, one beyond the end as never.
std::size_t hitFrame(const ChordHit& hit, double sampleRate, std::size_t total) {
  const double frame = std::trunc(sampleRate * hit.t);
  if (!(frame > 0.0)) return 0;
  if (frame >= static_cast<double>(total)) return total;
  return static_cast<std::size_t>(frame);
}

// For every note the render will start: the most frames one of its voices
// can sound. A voice sounds from its start until its release plus one
// second, until 0.2 s after the next chord's release-all, or until the end
// of the render, whichever comes first (it may stop earlier: fading out,
// running out of sample, its voice taken by another note).
std::map<int, double> longestVoices(std::span<const ChordHit> hits,
                                    const std::vector<std::size_t>& order, double sampleRate,
                                    std::size_t total) {
  std::map<int, double> longest;
  const double end = static_cast<double>(total);
  for (std::size_t k = 0; k < order.size(); ++k) {
    const ChordHit& hit = hits[order[k]];
    const std::size_t issued = hitFrame(hit, sampleRate, total);
    if (issued >= total) break;
    double cut = end;
    if (k + 1 < order.size()) {
      const std::size_t next = hitFrame(hits[order[k + 1]], sampleRate, total);
      if (next < total) cut = static_cast<double>(next) + std::floor(sampleRate * 0.2);
    }
    for (std::size_t i = 0; i < hit.voicing.notes.size(); ++i) {
      const int note = hit.voicing.notes[i];
      if (note < 0 || note > 127) continue;
      const double offset = i < hit.voicing.offsets.size() ? hit.voicing.offsets[i] : 0.0;
      const double delay = offset * sampleRate >= 1.0 ? std::floor(offset * sampleRate) : 0.0;
      const double start = static_cast<double>(issued) + std::min(delay, 2147483647.0);
      const double held = noteLength(hit.voicing, i, hit.length) * sampleRate;
      // A voice still waiting at the next release-all never sounds, so
      // max(start, ...) only widens the bound.
      double stop = std::min(
          {start + std::max(held, 0.0) + sampleRate, end,
           std::max(start, cut - std::floor(sampleRate * 0.2)) + std::floor(sampleRate * 0.2)});
      // Not a number (an absurd length) bounds nothing.
      if (!(stop == stop)) stop = end;
      const double frames = std::max(stop - start, 0.0);
      double& known = longest[note];
      known = std::max(known, frames);
    }
  }
  return longest;
}

// How far into each sample the render can read: a voice moves through its
// sample by the pitch ratio per frame and reads one frame ahead. The slack
// covers the rounding of positions and of the frame arithmetic.
std::map<int, std::size_t> sampleReach(const std::map<int, double>& longest,
                                       const SampleLibrary& samples) {
  constexpr double kSlackFrames = 64.0;
  std::map<int, std::size_t> reach;
  for (const auto& [note, frames] : longest) {
    const auto sampleNote = nearestSampleNote(samples, note);
    if (!sampleNote) continue;
    const double ratio = std::pow(2.0, std::clamp(note - *sampleNote, -24, 24) / 12.0);
    const double wanted = std::ceil((frames + 8.0) * ratio) + kSlackFrames;
    std::size_t& known = reach[*sampleNote];
    known = wanted >= static_cast<double>(std::numeric_limits<std::int32_t>::max())
                ? static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())
                : std::max(known, static_cast<std::size_t>(wanted));
  }
  return reach;
}

// Renders `total` frames in calls that each end on the next hit's frame,
// handing the frames to `flush` whenever the block is full and at the end.
bool renderWith(std::span<const ChordHit> hits, std::size_t total, float volume, double sampleRate,
                const SampleLibrary* library, float* blockLeft, float* blockRight,
                std::size_t blockFrames, const std::function<bool(std::size_t frames)>& flush) {
  if (total == 0) return true;

  std::vector<std::size_t> order(hits.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return hits[a].t < hits[b].t; });

  // Only the samples the take's notes are played from, each only as far as
  // a voice can read it: the core picks a note's sample by distance alone,
  // so leaving the others out changes no output frame.
  const std::map<int, double> longest = longestVoices(hits, order, sampleRate, total);
  std::vector<int> notes;
  for (const auto& entry : longest) notes.push_back(entry.first);
  SampleLibrary samples;
  if (library != nullptr) {
    for (int note : notes) {
      if (const auto nearest = nearestSampleNote(*library, note))
        samples.emplace(*nearest, library->at(*nearest));
    }
  } else {
    samples = pianoSamplesNearest(notes);
  }

  RenderCore* core = createCore(sampleRate);
  installSampleBeginnings(core, samples, sampleRate, sampleReach(longest, samples));
  setVolume(core, volume);

  bool going = true;
  std::size_t p = 0;
  std::size_t e = 0;
  std::size_t filled = 0;
  while (p < total && going) {
    std::size_t boundary = total;
    while (e < order.size()) {
      const std::size_t frame = hitFrame(hits[order[e]], sampleRate, total);
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
    if (filled + chunk > blockFrames) {
      going = flush(filled);
      filled = 0;
    }
    render(core, blockLeft + filled, blockRight + filled, static_cast<std::int32_t>(chunk));
    filled += chunk;
    p += chunk;
  }
  if (going && filled > 0) going = flush(filled);
  destroyCore(core);
  return going;
}

StereoBuffer renderWhole(std::span<const ChordHit> hits, double seconds, float volume,
                         double sampleRate, const SampleLibrary* library) {
  const std::size_t total = offlineFrameCount(seconds, sampleRate);
  StereoBuffer out;
  assignLargeBuffer(out.left, total, 0.0f);
  assignLargeBuffer(out.right, total, 0.0f);
  // The render writes straight into the whole buffer: one block of every frame.
  renderWith(hits, total, volume, sampleRate, library, out.left.data(), out.right.data(), total,
             [](std::size_t) { return true; });
  return out;
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
  return renderWhole(hits, seconds, volume, sampleRate, nullptr);
}

StereoBuffer renderOffline(std::span<const ChordHit> hits, double seconds, float volume,
                           double sampleRate, const SampleLibrary& library) {
  return renderWhole(hits, seconds, volume, sampleRate, &library);
}

bool renderOfflineBlocks(std::span<const ChordHit> hits, double seconds, float volume,
                         double sampleRate, const OfflineBlockSink& sink) {
  const std::size_t total = offlineFrameCount(seconds, sampleRate);
  std::vector<float> left(kOfflineBlockFrames, 0.0f);
  std::vector<float> right(kOfflineBlockFrames, 0.0f);
  return renderWith(hits, total, volume, sampleRate, nullptr, left.data(), right.data(),
                    kOfflineBlockFrames, [&](std::size_t frames) {
                      return sink({left.data(), frames}, {right.data(), frames});
                    });
}

}  // namespace quimbel
