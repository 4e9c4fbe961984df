#pragma once

// The chord screen: 32 × 32 cells composed from one snapshot and a time. The
// panel's canvas calls compose 60 times a second and the video once per frame,
// so it allocates nothing; its result is a plain array.

#include <array>
#include <cstdint>
#include <optional>

#include "screen/input.h"

namespace quimbel::ChordScreen {

inline constexpr int kSide = 32;
inline constexpr int kCellCount = kSide * kSide;

// A cell is empty (no ink: the canvas paints the background there) or holds a
// colour 0x00RRGGBB.
using Cell = std::optional<std::uint32_t>;
// Row-major: row r (0 at the top), column c (0 at the left) is r × 32 + c.
using Cells = std::array<Cell, kCellCount>;

// The colour the canvas paints empty cells with.
inline constexpr std::uint32_t kBackground = 0x1F1F1F;

// The knob's colours, shared by the screen (first colour), the panel's knob
// and the video.
struct KnobColors {
  std::uint32_t first;
  std::uint32_t second;
};
inline constexpr std::array<KnobColors, 7> kKnobPalette{{
    {0x2A8650, 0x0E1F14},
    {0xF4B1C4, 0xD23A22},
    {0x5590EE, 0x0B1A3A},
    {0x2261D2, 0xF2F5FF},
    {0xFFE42F, 0xD23A22},
    {0xFF5526, 0xFFF1E8},
    {0x9AD63B, 0x17260A},
}};

// The palette entry of a knob value: (knob + 3) mod 7, never negative, so the
// neutral knob 0 is blue (3) and the ends −5 and 5 are orange (5) and pink (1).
int knobPaletteIndex(int knob);

Cells compose(const Input& input, double now);

}  // namespace quimbel::ChordScreen
