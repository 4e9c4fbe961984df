#pragma once

#include <vector>

#include "music/chord_hit.h"
#include "music/key.h"

namespace quimbel {

// A finished take as the exports consume it: a copy, sharing nothing with the
// pad model that recorded it.
struct Take {
  std::vector<ChordHit> events;  // time order, t in seconds from the downbeat
  double length = 0.0;           // seconds: whole bars once quantized
  double bpm = 120.0;
  Chords::Key key{1, Chords::Mode::minor};
  int knob = -3;
  float volume = 0.8f;  // exports play at volume × volume
};

}  // namespace quimbel
