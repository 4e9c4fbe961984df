#pragma once

// The look the panel and the video share: the colours both draw, and the two
// rules that change a colour, a lit pad's glow and the inactive panel's grey.
// Colours are 0xRRGGBB, sRGB.

#include <cstdint>

namespace quimbel {

// Around and between the screen's cells.
inline constexpr std::uint32_t kScreenGapColor = 0x121212;
// The sevenths pad while sevenths or ninths are on: a light face, dark type.
inline constexpr std::uint32_t kSeventhsOnFill = 0xEDEDED;
inline constexpr std::uint32_t kSeventhsOnType = 0x161616;

// A pad colour brightened by its glow: every channel × (1 + 0.14 × glow),
// rounded, at most 255.
std::uint32_t glowColor(std::uint32_t rgb, double glow);

// A colour as the inactive panel shows it: the luminance of its sRGB
// channels, 0.2126 R + 0.7152 G + 0.0722 B, rounded, in all three.
std::uint32_t inactiveGrey(std::uint32_t rgb);

}  // namespace quimbel
