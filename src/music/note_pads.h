#pragma once

#include <optional>

namespace quimbel {

// The pad a MIDI note plays, whatever the key: the white keys C D E F G A B
// are pads 0 … 6 in every octave. Black keys and notes outside 0 … 127 play
// no pad.
constexpr std::optional<int> padOfNote(int note) {
  constexpr int kPadOfPitchClass[12] = {0, -1, 1, -1, 2, 3, -1, 4, -1, 5, -1, 6};
  if (note < 0 || note > 127) return std::nullopt;
  const int pad = kPadOfPitchClass[note % 12];
  if (pad < 0) return std::nullopt;
  return pad;
}

}  // namespace quimbel
