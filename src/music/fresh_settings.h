#pragma once

// The settings of a fresh install and their ranges: what the pad model starts
// from before its store is read, and what the plugin's controls default to.

#include "music/key.h"

namespace quimbel {

inline constexpr Chords::Key kFreshKey{1, Chords::Mode::minor};  // C♯ minor
inline constexpr int kFreshKnob = -3;                            // inversion −1: the knob + 2
inline constexpr bool kFreshBass = true;
inline constexpr int kFreshBpm = 120;
inline constexpr double kFreshVolume = 0.8;  // heard as its square

inline constexpr int kKnobMin = -5;
inline constexpr int kKnobMax = 5;
inline constexpr int kBpmMin = 60;
inline constexpr int kBpmMax = 200;

}  // namespace quimbel
