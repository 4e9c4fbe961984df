#pragma once

// The About window's 16 × 16 pixel face: it wakes up, looks around in
// changing colours, blinks, winks and falls asleep with a rising "z", on a
// 14-second cycle that starts when the window opens. A pure function of the
// time, so that the grid widget only draws what it returns.

#include <array>
#include <cstdint>
#include <optional>

namespace quimbel::AboutFace {

inline constexpr int kSide = 16;
inline constexpr int kCellCount = kSide * kSide;
inline constexpr double kCycleMs = 14000.0;

// A lit cell: a colour 0x00RRGGBB seen through an opacity 0 … 1.
struct PixelCell {
  std::uint32_t color = 0;
  double alpha = 1.0;
  bool operator==(const PixelCell&) const = default;
};

// Row-major: row r (0 at the top), column c is r × 16 + c; empty cells are dark.
using Cells = std::array<std::optional<PixelCell>, kCellCount>;

// The colour the grid paints empty cells with; lit cells are blended onto it.
inline constexpr std::uint32_t kUnlit = 0x1F1F1F;

// The face `nowMs` milliseconds of uptime into a window opened at `openedMs`.
// With `reduceMotion` the face is a still, blue smile.
Cells face(double nowMs, double openedMs, bool reduceMotion);

// What the grid paints for a cell: each channel of a lit cell blended onto
// the unlit grey by its alpha (clamped to 0 … 1) and rounded; kUnlit if empty.
std::uint32_t paintedColor(const std::optional<PixelCell>& cell);

}  // namespace quimbel::AboutFace
