#include "model/quantize.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace quimbel {

namespace {

// Bars added one at a time keep the same rounding as every other reader of a
// take; past this many the length is computed in one step so that an absurd
// hit time cannot stall the caller.
constexpr int kStepwiseBarLimit = 100000;

double lengthAfter(double length, double bar, double lastStart) {
  const double limit = lastStart + kLengthMarginSeconds;
  for (int added = 0; length <= limit; ++added) {
    if (added == kStepwiseBarLimit) {
      double jumped = bar * (std::floor(limit / bar) + 1.0);
      // A bar too small to move a huge length any further ends the search.
      if (!(jumped > length)) return std::nextafter(limit, INFINITY);
      length = jumped;
      added = 0;
      continue;
    }
    length += bar;
  }
  return length;
}

}  // namespace

double barSeconds(int bpm) { return 60.0 / std::max(bpm, 1) * kBeatsPerBar; }

QuantizedTake quantizeTake(std::span<const ChordHit> hits, int bpm, bool on, double rawLength) {
  std::vector<ChordHit> sorted(hits.begin(), hits.end());
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const ChordHit& a, const ChordHit& b) { return a.t < b.t; });

  const double bar = barSeconds(bpm);
  const double grid = bar * kGridPerBar;

  QuantizedTake out;
  if (on && !sorted.empty()) {
    // Slots stay doubles: a rounded quotient compares exactly and cannot
    // overflow an integer for a far-off time.
    std::vector<double> slots;
    for (std::size_t k = 0; k < sorted.size(); ++k) {
      ChordHit hit = sorted[k];
      double slot = 0.0;
      if (k == 0) {
        hit.t = 0.0;
      } else {
        slot = std::max(std::round(hit.t / grid), 0.0);
        double t = hit.t + (grid * slot - hit.t) * kQuantizeStrength;
        hit.t = t < 0.0 ? 0.0 : t;
      }
      if (out.hits.empty() || slots.back() != slot) {
        out.hits.push_back(std::move(hit));
        slots.push_back(slot);
      } else {
        out.hits.back() = std::move(hit);
      }
    }
  } else {
    out.hits = std::move(sorted);
  }

  double length = bar * std::round(rawLength / bar);
  if (!(length >= bar) || std::isinf(length)) length = bar;  // also a length that is not a number
  if (!out.hits.empty()) length = lengthAfter(length, bar, out.hits.back().t);
  out.length = length;

  if (on) {
    for (std::size_t k = 0; k < out.hits.size(); ++k) {
      const double end = k + 1 < out.hits.size() ? out.hits[k + 1].t : length;
      out.hits[k].length = end - out.hits[k].t;
    }
  }
  return out;
}

std::string quantizeMenuTitle() {
  return "Quantize takes: 1/" + std::to_string(kGridDenominator) + ", " +
         std::to_string(kQuantizeStrengthPercent) + "%";
}

}  // namespace quimbel
