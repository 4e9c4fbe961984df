#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "music/key.h"

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

// Rotation keeps chords inside the piano's comfortable range.
inline constexpr int kRotationCeiling = 86;
inline constexpr int kRotationFloor = 40;
// A note sounds this long when neither the voicing nor the hit says otherwise.
inline constexpr double kDefaultNoteSeconds = 1.9;
// Floor of a length cut from a hit's length, so no note vanishes to a click.
inline constexpr double kMinNoteSeconds = 0.05;

// The MIDI notes of the chord on a scale degree (0 … 6 for the pads): triad,
// optional seventh and ninth (a ninth always brings its seventh), stacked on
// the tonic's register, turned by the inversion (the knob + 2) and, off the
// tonic, voice-led to sit nearest the tonic chord at the same inversion; with
// bass, the root an octave below its place when it stands clear of the chord.
std::vector<int> chordNotes(int degree, const Chords::Key& key, int inversion, bool seventh,
                            bool ninth, bool bass);

// The most notes a pad chord holds: triad, seventh, ninth and bass.
inline constexpr std::size_t kMaxChordNotes = 6;

// A pad chord's notes in place, for a caller that may not allocate (the
// plugin's audio thread).
struct ChordNoteArray {
  std::array<int, kMaxChordNotes> notes{};
  std::size_t count = 0;

  std::span<const int> view() const { return {notes.data(), count}; }
};

// chordNotes without the heap: the same notes in the same order.
ChordNoteArray padChordNotes(int degree, const Chords::Key& key, int inversion, bool seventh,
                             bool ninth, bool bass) noexcept;

// The notes from the lowest up, the order a strum plays them in.
ChordNoteArray ascending(ChordNoteArray chord) noexcept;

// Moves the first note an octave up k times (k > 0), or the last note an octave
// down -k times (k < 0), stopping before a note would pass 86 or fall below 40.
// The result is not re-sorted.
std::vector<int> rotate(std::span<const int> notes, int k);

// The notes as given, all starting together; gain 1, no durations.
Voicing plainVoicing(std::span<const int> notes);

// The notes ascending, spread evenly from 0 to half a beat at the tempo (a
// tempo below 1 counts as 1); gain 1, no durations.
Voicing strumVoicing(std::span<const int> notes, double bpm);

// Seconds from the first to the last note of a strum: half a beat.
double strumSpanSeconds(double bpm);

// When note `index` (0-based, notes ascending) of a strum of `count` notes
// starts, in seconds after the chord's start.
double strumOffset(std::size_t index, std::size_t count, double bpm) noexcept;

// Loudness scale for every note of a chord of `noteCount` notes:
// 0.7 / sqrt(max(n / 3, 1)); 0.7 up to three notes.
float chordScale(std::size_t noteCount);

// Sounding length in seconds of note `index`: the voicing's own duration when
// it has one for that note, else the hit's length minus the note's offset (at
// least 0.05 s), else 1.9 s.
double noteLength(const Voicing& voicing, std::size_t index, std::optional<double> hitLength);

}  // namespace quimbel
