#include "base/random_id.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <random>
#include <span>

namespace quimbel {
namespace {

// Random bytes from the kernel; the standard library's device is the fallback
// for a kernel that refuses (it reads the same source by other means).
void fillRandom(std::span<std::uint8_t> bytes) {
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      break;
    }
  }
  if (filled < bytes.size()) {
    std::random_device device;
    for (std::size_t i = filled; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(device());
    }
  }
}

void putHex(std::string& out, std::uint8_t byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

}  // namespace

std::string newUuid() {
  std::array<std::uint8_t, 16> bytes{};
  fillRandom(bytes);
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    putHex(text, bytes[i]);
  }
  return text;
}

std::string randomHex(std::size_t bytes) {
  std::array<std::uint8_t, 16> chunk{};
  std::string text;
  text.reserve(bytes * 2);
  while (bytes > 0) {
    const std::size_t now = std::min(bytes, chunk.size());
    fillRandom(std::span(chunk).first(now));
    for (std::size_t i = 0; i < now; ++i) putHex(text, chunk[i]);
    bytes -= now;
  }
  return text;
}

}  // namespace quimbel
