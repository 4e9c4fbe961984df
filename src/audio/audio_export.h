#pragma once

// A finished take as a WAV file: rendered offline at 44100 Hz for the take's
// length plus time for the last chord's sustain and the reverb tail.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

#include "files/written.h"
#include "music/chord_hit.h"
#include "music/take.h"

namespace quimbel {

inline constexpr double kAudioExportRate = 44100.0;
// Seconds added after the take: the last chord's default sounding length and
// the reverb's tail.
inline constexpr double kExportSustainSeconds = 1.9;
inline constexpr double kExportTailSeconds = 1.5;

// The length rendered for a take.
double audioExportSeconds(const Take& take);

// Renders the hits straight into a WAV file at `destination`, block by
// block: the bytes of writeWavFile over renderOffline, in the memory of one
// block however long the take.
Written renderWavFile(std::span<const ChordHit> hits, double seconds, float volume,
                      std::int32_t sampleRate, const std::filesystem::path& destination);

// Renders the take at volume² into "my chords.wav" in a fresh take folder;
// or why the file could not be written. The caller decides whether a take is
// finished (only a finished take is exported). Any thread.
Written exportTakeAudio(const Take& take);

}  // namespace quimbel
