#pragma once

// Turning the hits of a recording into a loopable take: each chord pulled 70 %
// of the way towards the nearest eighth note, the first onto the downbeat,
// one chord per eighth-note slot (the last one played wins), and the length
// trimmed to whole 4/4 bars that end after the last chord starts.

#include <span>
#include <string>
#include <vector>

#include "music/chord_hit.h"

namespace quimbel {

inline constexpr int kBeatsPerBar = 4;
inline constexpr double kGridPerBar = 0.125;  // an eighth note
inline constexpr int kGridDenominator = 8;
inline constexpr double kQuantizeStrength = 0.7;
inline constexpr int kQuantizeStrengthPercent = 70;
inline constexpr double kLengthMarginSeconds = 1e-9;

// Seconds of one 4/4 bar at the tempo (a tempo below 1 counts as 1).
double barSeconds(int bpm);

struct QuantizedTake {
  std::vector<ChordHit> hits;  // time order; with quantize, each lasts until the next
  double length = 0.0;         // seconds, whole bars, after the last hit's start
};

// With `on` false the hits keep their times and have no length; the take
// length is still whole bars.
QuantizedTake quantizeTake(std::span<const ChordHit> hits, int bpm, bool on, double rawLength);

// The status menu's quantize item: "Quantize takes: 1/8, 70%".
std::string quantizeMenuTitle();

}  // namespace quimbel
