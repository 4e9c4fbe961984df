#pragma once

// The program's own WAV files: a 44-byte RIFF header and interleaved 16-bit
// stereo frames, little-endian.

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "files/written.h"

namespace quimbel {

// One float sample as 16 bits: 32767 at or above 1.0 and for NaN, else
// max(x, -1) × 32767 truncated toward zero, so -32768 never occurs.
std::int16_t wavSample(float x);

// The whole file in memory: frames = left's length; missing right values
// are written as silence. Empty when the sizes do not fit the format (more
// than 2^32 - 37 data bytes, or a rate outside 0 .. 2^30 - 1).
std::vector<std::uint8_t> wavFileData(std::span<const float> left, std::span<const float> right,
                                      std::int32_t sampleRate);

// Writes the file aside and moves it into place at `destination`.
Written writeWavFile(std::span<const float> left, std::span<const float> right,
                     std::int32_t sampleRate, const std::filesystem::path& destination);

}  // namespace quimbel
