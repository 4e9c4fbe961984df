#pragma once

#include <optional>

#include "music/shown.h"
#include "music/voicing.h"

namespace quimbel {

// One played chord of a take.
struct ChordHit {
  int pad = 0;
  double t = 0.0;  // seconds from the take's downbeat; 0 until placed in a take
  Voicing voicing;
  ChordScreen::Shown shown;
  int velocity = 100;
  double hold = 0.2;  // seconds the pad was held; 0.2 until a release measures it
  bool seventh = false;
  bool ninth = false;
  std::optional<double> length;  // sounding length set by quantize

  friend bool operator==(const ChordHit&, const ChordHit&) = default;
};

}  // namespace quimbel
