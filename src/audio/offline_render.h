#pragma once

// Rendering a take's chords faster than real time through a private render
// core with the live instrument's samples, voices, reverb and compressor.
//
// Thread contract: runs entirely on the calling thread, any thread but the
// audio thread. The private core is never seen by an audio thread; the only
// shared resource is the sample library, behind its own lock.

#include <functional>
#include <span>
#include <vector>

#include "audio/sample_bank.h"
#include "music/chord_hit.h"

namespace quimbel {

struct StereoBuffer {
  std::vector<float> left;
  std::vector<float> right;
};

// ceil(seconds × sampleRate) frames; 0 for a negative or non-finite length.
std::size_t offlineFrameCount(double seconds, double sampleRate);

// Renders the hits (t in seconds from the start; sorted here, equal times
// keep their order) for `seconds` at `sampleRate`, master volume `volume`,
// with the process-wide piano. The metronome never sounds.
StereoBuffer renderOffline(std::span<const ChordHit> hits, double seconds, float volume,
                           double sampleRate);

// The same with a given sample library.
StereoBuffer renderOffline(std::span<const ChordHit> hits, double seconds, float volume,
                           double sampleRate, const SampleLibrary& library);

// Receives the render block by block, in order; false stops the render.
using OfflineBlockSink =
    std::function<bool(std::span<const float> left, std::span<const float> right)>;

// The same render handed over in blocks of at most kOfflineBlockFrames
// frames, so that a take of any length costs the memory of one block. The
// frames are those renderOffline returns. False when the sink stopped it.
inline constexpr std::size_t kOfflineBlockFrames = 16384;
bool renderOfflineBlocks(std::span<const ChordHit> hits, double seconds, float volume,
                         double sampleRate, const OfflineBlockSink& sink);

}  // namespace quimbel
