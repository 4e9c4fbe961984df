#include "diagnostics/utf8.h"

#include <cstddef>
#include <cstdint>

namespace quimbel::diagnostics {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `pos`, or 0 when it is ill-formed; in
// that case `bad` is the length of the maximal subpart to replace (at least 1).
std::size_t sequenceAt(std::string_view bytes, std::size_t pos, std::size_t& bad) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(pos);
  bad = 1;
  if (lead < 0x80) return 1;

  std::size_t length = 0;
  std::uint8_t secondLow = 0x80, secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondLow = 0xA0;   // overlong
    if (lead == 0xED) secondHigh = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondLow = 0x90;   // overlong
    if (lead == 0xF4) secondHigh = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }

  for (std::size_t i = 1; i < length; ++i) {
    if (pos + i >= bytes.size()) return 0;
    const std::uint8_t b = byte(pos + i);
    const std::uint8_t low = i == 1 ? secondLow : 0x80;
    const std::uint8_t high = i == 1 ? secondHigh : 0xBF;
    if (b < low || b > high) return 0;
    bad = i + 1;
  }
  return length;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) noexcept {
  std::size_t pos = 0, bad = 0;
  while (pos < bytes.size()) {
    const std::size_t length = sequenceAt(bytes, pos, bad);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string text;
  text.reserve(bytes.size() + 16);
  std::size_t pos = 0, bad = 0;
  while (pos < bytes.size()) {
    const std::size_t length = sequenceAt(bytes, pos, bad);
    if (length == 0) {
      text.append(kReplacement);
      pos += bad;
    } else {
      text.append(bytes.substr(pos, length));
      pos += length;
    }
  }
  return text;
}

}  // namespace quimbel::diagnostics
