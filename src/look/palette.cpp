#include "look/palette.h"

#include <algorithm>
#include <cmath>

namespace quimbel {

std::uint32_t glowColor(std::uint32_t rgb, double glow) {
  const double factor = 1.0 + 0.14 * glow;
  std::uint32_t out = 0;
  for (int shift = 16; shift >= 0; shift -= 8) {
    const double c = static_cast<double>((rgb >> shift) & 0xFF);
    const double lit = std::min(std::round(c * factor), 255.0);
    out |= static_cast<std::uint32_t>(lit) << shift;
  }
  return out;
}

std::uint32_t inactiveGrey(std::uint32_t rgb) {
  const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  const auto y = static_cast<std::uint32_t>(std::lround(0.2126 * r + 0.7152 * g + 0.0722 * b));
  return y << 16 | y << 8 | y;
}

}  // namespace quimbel
