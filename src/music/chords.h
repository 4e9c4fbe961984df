#pragma once

// Keys, scales, note names and chord names: the harmony behind the seven pads.
// Every function is pure and safe from any thread.

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "music/key.h"

namespace quimbel::Chords {

// Pads 0 … 6 play the seven diatonic triads; the eighth face (index 7) exists
// only in the panel and the video and has a colour and a label but no chord.
inline constexpr int kPlayablePads = 7;
inline constexpr int kPadFaces = 8;

// The stored form of a mode: "major" or "minor".
std::string_view modeName(Mode mode);
std::optional<Mode> modeFromName(std::string_view name);

// Semitones above the tonic of a scale degree; degrees 7 … 13 are the next
// octave (degree 7 in major is 12).
int scalePitch(int degree, Mode mode);

// The tonic's MIDI note in the chord register: A2 (45) … G#3 (56).
int tonicNote(int tonic);

// Whether the key names its notes with flats (F, Bb, Eb, Ab major; D, G, C, F,
// Bb, Eb minor); every other key uses sharps.
bool usesFlats(const Key& key);

// "C", "C#"/"Db", … for a pitch class (folded into 0 … 11).
std::string_view noteName(int pitchClass, bool flats);

// The key as the screen shows it: the tonic's name plus "m" for minor (C#m, Bb).
std::string keyName(const Key& key);

// The inverse of keyName, lenient about the spelling of the tonic: a letter
// A … G, an optional "#" or "b", an optional "m" (C, C#m, Bb, Ebm, Cb, E#).
std::optional<Key> keyFromName(std::string_view name);

// The seven pitch classes of the key's scale.
std::set<int> keyPitchClasses(const Key& key);

// The display name of the chord on a scale degree, read from the notes that
// actually sound (a seventh or ninth shows, a bass note an octave down does
// not): C, Dm, G7, CM9, Bdim, Bø, … The half-diminished sign is UTF-8 "ø".
std::string chordName(int degree, const Key& key, std::span<const int> notes);

// Pad tables for pads 0 … 7 (colours 0xRRGGBB); other pads fold into 0 … 7.
std::uint32_t padColor(int pad);
std::uint32_t padLabelColor(int pad);
std::string_view padLabel(int pad);

}  // namespace quimbel::Chords
