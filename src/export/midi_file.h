#pragma once

// A take as a Standard MIDI File: format 0, one track, 480 ticks per quarter
// note, a tempo event, a piano program and every note on channel 1.

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "files/written.h"
#include "music/chord_hit.h"
#include "music/take.h"

namespace quimbel {

inline constexpr int kTicksPerQuarter = 480;

struct NoteEvent {
  std::int64_t tick = 0;  // from the start of the take
  bool on = false;
  std::uint8_t note = 0;
  std::uint8_t velocity = 0;  // 0 for note-offs

  friend bool operator==(const NoteEvent&, const NoteEvent&) = default;
};

// The note-ons and note-offs of a take's hits in file order: by tick, a
// note-off before a note-on on the same tick. A note ends where the next hit
// begins and lasts at least one tick.
std::vector<NoteEvent> noteEvents(std::span<const ChordHit> hits, double bpm);

// The whole file in memory.
std::vector<std::uint8_t> midiFileData(std::span<const ChordHit> hits, double bpm);

// Writes the take's hits at its tempo as "my chords.mid" in a fresh take
// folder and gives the file's path.
Written midiFile(const Take& take);

}  // namespace quimbel
