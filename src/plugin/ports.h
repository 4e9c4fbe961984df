#pragma once

// The two plugins' names and ports, as quimbel.ttl declares them.

#include <cstdint>

namespace quimbel::plugin {

inline constexpr char kInstrumentUri[] = "https://quimbel.app/lv2/quimbel";
inline constexpr char kChordsUri[] = "https://quimbel.app/lv2/chords";

// Both plugins number their ports alike up to Strum; then the instrument has
// its volume and stereo output, the chord generator its MIDI output.
enum Port : std::uint32_t {
  MidiIn = 0,
  Tonic = 1,
  Mode = 2,
  Sevenths = 3,
  Ninths = 4,
  Bass = 5,
  Knob = 6,
  Strum = 7,
  Volume = 8,
  OutLeft = 9,
  OutRight = 10,
  MidiOut = 8,
};

inline constexpr std::uint32_t kControlPorts = Strum - Tonic + 1;

}  // namespace quimbel::plugin
