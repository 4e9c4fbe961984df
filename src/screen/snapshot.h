#pragma once

// How the pad model turns its live state into the screen's snapshot. The
// overlays stay up a while after the control that raised them was touched, and
// the legend waits before it shows so that a quick chord change does not flash
// it.

#include <optional>
#include <span>

#include "music/chord_hit.h"
#include "music/key.h"
#include "music/pad_state.h"
#include "music/shown.h"
#include "screen/input.h"

namespace quimbel::ChordScreen {

// The pad model's published values that the snapshot reads, under the
// model's own names. Times are milliseconds on the snapshot's clock.
struct Live {
  Chords::Key key;
  std::optional<Shown> shownChord;
  PadState state = PadState::ready;
  int countN = 0;
  double recAt = -1e9;
  int knob = 0;
  bool knobDragging = false;
  double knobShownAt = -1e9;
  double volume = 0.0;
  bool volumeDragging = false;
  double volumeShownAt = -1e9;
  bool legendUp = false;
  bool sevenths = false;
  bool ninths = false;
  bool strum = false;
  double modsAt = -1e9;
  std::span<const ChordHit> hits;  // the take, in playing order
};

inline constexpr double kVolumeShownMs = 900.0;
inline constexpr double kKnobShownMs = 700.0;
inline constexpr double kLegendDelayMs = 600.0;

Input snapshot(const Live& live, double now);

}  // namespace quimbel::ChordScreen
