#pragma once

#include <optional>
#include <vector>

namespace quimbel {

// The notes of one sounding chord in sounding order, when each starts after the
// chord's start (seconds), the chord's linear gain before the loudness scale,
// and, where present, each note's sounding length in seconds.
struct Voicing {
  std::vector<int> notes;
  std::vector<double> offsets;
  float gain = 1.0f;
  std::optional<std::vector<double>> durations;

  friend bool operator==(const Voicing&, const Voicing&) = default;
};

}  // namespace quimbel
