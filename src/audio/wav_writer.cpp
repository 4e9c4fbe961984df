#include "audio/wav_writer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quimbel {
namespace {

constexpr std::size_t kHeaderBytes = 44;
constexpr std::uint16_t kChannels = 2;
constexpr std::uint16_t kBitsPerSample = 16;
constexpr std::uint16_t kBytesPerFrame = kChannels * kBitsPerSample / 8;

void put16(std::uint8_t*& at, std::uint16_t value) {
  *at++ = static_cast<std::uint8_t>(value);
  *at++ = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::uint8_t*& at, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) *at++ = static_cast<std::uint8_t>(value >> shift);
}

void putTag(std::uint8_t*& at, const char (&tag)[5]) {
  std::copy(tag, tag + 4, at);
  at += 4;
}

}  // namespace

std::int16_t wavSample(float x) {
  if (!(x < 1.0f)) return 32767;  // also NaN
  // Converting to an integer truncates toward zero.
  return static_cast<std::int16_t>(std::max(x, -1.0f) * 32767.0f);
}

std::vector<std::uint8_t> wavHeader(std::uint64_t frames, std::int32_t sampleRate) {
  const std::uint64_t dataBytes = frames * kBytesPerFrame;
  if (dataBytes + 36 > std::numeric_limits<std::uint32_t>::max()) return {};
  if (sampleRate < 0 || sampleRate > (1 << 30) - 1) return {};
  const auto rate = static_cast<std::uint32_t>(sampleRate);

  std::vector<std::uint8_t> bytes(kHeaderBytes);
  std::uint8_t* at = bytes.data();
  putTag(at, "RIFF");
  put32(at, static_cast<std::uint32_t>(dataBytes + 36));
  putTag(at, "WAVE");
  putTag(at, "fmt ");
  put32(at, 16);
  put16(at, 1);  // integer PCM
  put16(at, kChannels);
  put32(at, rate);
  put32(at, rate * kBytesPerFrame);
  put16(at, kBytesPerFrame);
  put16(at, kBitsPerSample);
  putTag(at, "data");
  put32(at, static_cast<std::uint32_t>(dataBytes));
  return bytes;
}

void appendWavFrames(std::vector<std::uint8_t>& bytes, std::span<const float> left,
                     std::span<const float> right) {
  const std::size_t start = bytes.size();
  bytes.resize(start + left.size() * kBytesPerFrame);
  std::uint8_t* at = bytes.data() + start;
  for (std::size_t i = 0; i < left.size(); ++i) {
    put16(at, static_cast<std::uint16_t>(wavSample(left[i])));
    // A short right channel is a caller's slip; silence beats reading past it.
    put16(at, static_cast<std::uint16_t>(wavSample(i < right.size() ? right[i] : 0.0f)));
  }
}

}  // namespace quimbel
