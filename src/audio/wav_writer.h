#pragma once

// The program's own WAV files: a 44-byte RIFF header and interleaved 16-bit
// stereo frames, little-endian.

#include <cstdint>
#include <span>
#include <vector>

namespace quimbel {

// One float sample as 16 bits: 32767 at or above 1.0 and for NaN, else
// max(x, -1) × 32767 truncated toward zero, so -32768 never occurs.
std::int16_t wavSample(float x);

// The 44-byte header of a file of `frames` frames; empty when the sizes do
// not fit the format (more than 2^32 - 37 data bytes, or a rate outside
// 0 .. 2^30 - 1).
std::vector<std::uint8_t> wavHeader(std::uint64_t frames, std::int32_t sampleRate);

// Appends the frames as 16-bit little-endian pairs, left then right; missing
// right values are written as silence.
void appendWavFrames(std::vector<std::uint8_t>& bytes, std::span<const float> left,
                     std::span<const float> right);

}  // namespace quimbel
