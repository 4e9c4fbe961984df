#include "screen/about_face.h"

#include <algorithm>
#include <cmath>
#include <span>

namespace quimbel::AboutFace {

namespace {

struct RowColumn {
  int row;
  int column;
};

// The eyes, as cells of the left eye; the right eye sits 6 columns further right.
constexpr RowColumn kOpenEye[] = {{4, 4}, {4, 5}, {5, 4}, {5, 5}, {6, 4}, {6, 5}};
constexpr RowColumn kClosedEye[] = {{6, 3}, {6, 4}, {6, 5}, {6, 6}};
constexpr RowColumn kRoundEye[] = {{4, 3}, {4, 4}, {4, 5}, {4, 6}, {5, 3},
                                   {5, 6}, {6, 3}, {6, 4}, {6, 5}, {6, 6}};
constexpr int kRightEyeShift = 6;

constexpr RowColumn kSmile[] = {{9, 2},   {9, 3},   {9, 12},  {9, 13},  {10, 3}, {10, 4},
                                {10, 11}, {10, 12}, {11, 4},  {11, 5},  {11, 6}, {11, 7},
                                {11, 8},  {11, 9},  {11, 10}, {11, 11}, {12, 5}, {12, 6},
                                {12, 7},  {12, 8},  {12, 9},  {12, 10}};
constexpr RowColumn kOMouth[] = {{9, 7},  {9, 8},  {10, 6}, {10, 9},
                                 {11, 6}, {11, 9}, {12, 7}, {12, 8}};
constexpr RowColumn kSleepingMouth[] = {{11, 6}, {11, 7}, {11, 8}, {11, 9}};

// The sleeping "z", lit where '#'; its top-left cell starts at row 1, column 11.
constexpr const char* kZ[] = {"####", "..#.", ".#..", "####"};
constexpr int kZColumn = 11;

constexpr std::uint32_t kOrange = 0xFF5526;
constexpr std::uint32_t kBlue = 0x2261D2;
constexpr std::uint32_t kAsleep = 0x8A8A8A;
constexpr std::array<std::uint32_t, 4> kAwakeColors = {kOrange, kBlue, 0x9AD63B, 0xF4B1C4};

// The phases of the cycle, in milliseconds from the opening.
constexpr double kSurpriseEndMs = 500;
constexpr double kRaisedEndMs = 180;
constexpr double kBounceEndMs = 900;
constexpr double kBounceStepMs = 120;
constexpr double kWinkEndMs = 1300;
constexpr double kAwakeEndMs = 8000;
constexpr double kBlinkPeriodMs = 2600;
constexpr double kBlinkMs = 140;
constexpr double kColorStepMs = 1600;

// Asleep: the breath and the "z", both on the uptime clock rather than the cycle.
constexpr double kBreathMs = 700;
constexpr double kZPeriodMs = 2600;
constexpr double kZRiseMs = 1800;

// A non-negative remainder, so that a clock read before the opening still
// lands inside the cycle.
double wrap(double value, double period) {
  const double r = std::fmod(value, period);
  return r < 0 ? r + period : r;
}

class Painter {
 public:
  explicit Painter(Cells& cells) : cells_(cells) {}

  // Lights the shape moved down by `rowOffset` and right by `columnShift`;
  // cells off the grid are skipped, never wrapped onto another row.
  void shape(std::span<const RowColumn> cells, int rowOffset, int columnShift, PixelCell ink) {
    for (const RowColumn& cell : cells) light(cell.row + rowOffset, cell.column + columnShift, ink);
  }

  void eyes(std::span<const RowColumn> left, std::span<const RowColumn> right, int rowOffset,
            PixelCell ink) {
    shape(left, rowOffset, 0, ink);
    shape(right, rowOffset, kRightEyeShift, ink);
  }

  void light(int row, int column, PixelCell ink) {
    if (row < 0 || row >= kSide || column < 0 || column >= kSide) return;
    cells_[static_cast<std::size_t>(row * kSide + column)] = ink;
  }

 private:
  Cells& cells_;
};

void sleepingZ(Painter& paint, double nowMs) {
  const double p = wrap(nowMs, kZPeriodMs);
  if (p >= kZRiseMs) return;
  const double q = p / kZRiseMs;
  // 4.99 rather than 5, so that the last step (4) is reached but never passed.
  const int rise = static_cast<int>(std::floor(q * 4.99));
  // Fades in over the first fifth of the rise, holds, and fades out over the last 40 %.
  const double fade = q < 0.2 ? q / 0.2 : q <= 0.6 ? 1.0 : 1.0 - (q - 0.6) / 0.4;
  const PixelCell ink{kAsleep, 0.8 * fade};
  for (int r = 0; r < 4; ++r) {
    for (int k = 0; k < 4; ++k) {
      if (kZ[r][k] == '#') paint.light(1 - rise + r, kZColumn + k, ink);
    }
  }
}

}  // namespace

Cells face(double nowMs, double openedMs, bool reduceMotion) {
  Cells cells{};
  Painter paint(cells);
  if (reduceMotion) {
    const PixelCell ink{kBlue, 1.0};
    paint.eyes(kOpenEye, kOpenEye, 0, ink);
    paint.shape(kSmile, 0, 0, ink);
    return cells;
  }

  const double t = wrap(nowMs - openedMs, kCycleMs);
  if (t < kSurpriseEndMs) {
    // Surprised on waking: the face pops up a row for its first moment.
    const int o = t < kRaisedEndMs ? -1 : 0;
    const PixelCell ink{kOrange, 1.0};
    paint.eyes(kRoundEye, kRoundEye, o, ink);
    paint.shape(kOMouth, o, 0, ink);
  } else if (t < kBounceEndMs) {
    const int o = static_cast<long long>(std::floor(t / kBounceStepMs)) % 2 == 1 ? 1 : 0;
    const PixelCell ink{kOrange, 1.0};
    paint.eyes(kOpenEye, kOpenEye, o, ink);
    paint.shape(kSmile, o, 0, ink);
  } else if (t < kWinkEndMs) {
    const PixelCell ink{kOrange, 1.0};
    paint.eyes(kOpenEye, kClosedEye, 0, ink);
    paint.shape(kSmile, 0, 0, ink);
  } else if (t < kAwakeEndMs) {
    const auto entry = static_cast<std::size_t>(std::floor(t / kColorStepMs)) % kAwakeColors.size();
    const PixelCell ink{kAwakeColors[entry], 1.0};
    const bool blink = wrap(t, kBlinkPeriodMs) < kBlinkMs;
    if (blink) {
      paint.eyes(kClosedEye, kClosedEye, 0, ink);
    } else {
      paint.eyes(kOpenEye, kOpenEye, 0, ink);
    }
    paint.shape(kSmile, 0, 0, ink);
  } else {
    // Breathing between 0.45 and 0.75.
    const double alpha = (std::sin(nowMs / kBreathMs) * 0.5 + 0.5) * 0.3 + 0.45;
    const PixelCell ink{kAsleep, alpha};
    paint.eyes(kClosedEye, kClosedEye, 0, ink);
    paint.shape(kSleepingMouth, 0, 0, ink);
    sleepingZ(paint, nowMs);
  }
  return cells;
}

std::uint32_t paintedColor(const std::optional<PixelCell>& cell) {
  if (!cell) return kUnlit;
  const double alpha = std::clamp(cell->alpha, 0.0, 1.0);
  std::uint32_t color = 0;
  for (int shift = 16; shift >= 0; shift -= 8) {
    const double channel = static_cast<double>((cell->color >> shift) & 0xFF);
    const double under = static_cast<double>((kUnlit >> shift) & 0xFF);
    const auto mixed =
        static_cast<std::uint32_t>(std::lround(alpha * channel + (1 - alpha) * under));
    color |= mixed << shift;
  }
  return color;
}

}  // namespace quimbel::AboutFace
