#pragma once

#include <optional>
#include <vector>

#include "music/key.h"
#include "music/pad_state.h"
#include "music/shown.h"

namespace quimbel::ChordScreen {

// Which chord modifiers the legend shows as on.
struct Legend {
  bool seventh = false;
  bool ninth = false;
  bool strum = false;

  friend bool operator==(const Legend&, const Legend&) = default;
};

// One snapshot of everything the screen may show. Times are milliseconds on
// the clock the composition time comes from.
struct Input {
  Chords::Key key;
  std::optional<Shown> shown;  // absent: no chord on screen
  PadState state = PadState::ready;
  int countN = 0;  // count-in beat, from 1
  double recAt = -1e9;
  std::optional<int> knob;       // −5 … 5 while the knob overlay is up
  std::optional<double> volume;  // 0 … 1 while the volume overlay is up
  std::vector<Shown> sheet;      // the finished take's chords; empty unless done
  std::optional<Legend> legend;

  friend bool operator==(const Input&, const Input&) = default;
};

}  // namespace quimbel::ChordScreen
