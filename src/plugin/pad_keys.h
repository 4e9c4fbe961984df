#pragma once

// The plugins' keyboard: what a MIDI message asks of Quimbel, read with the
// controls of the moment. Both plugins read their input through one PadKeys,
// so the instrument and the chord generator always agree on what was played.
//
// - White keys play the pads as the tray's MIDI input does (C … B → pads
//   1 … 7, any octave, the note's velocity), voiced exactly as a pad press.
// - C♯ in any octave holds sevenths on and D♯ holds ninths on while held, as
//   Tab and Shift do on the computer keyboard; the other black keys do
//   nothing. A held key counts for chords played after it went down.
// - A note-off of the key that played the sounding chord releases it; other
//   note-offs change nothing. All-sound-off and all-notes-off release too.
//
// Thread contract: one PadKeys belongs to one plugin instance and is used on
// the host's audio thread only; nothing here allocates, locks or waits.

#include <array>
#include <bitset>
#include <cstdint>
#include <span>

#include "music/key.h"
#include "music/voicing.h"

namespace quimbel::plugin {

// The controls both plugins share, as the pads know them.
struct Controls {
  Chords::Key key;
  int knob = 0;
  bool sevenths = false;
  bool ninths = false;
  bool bass = false;
  bool strum = false;
};

// The port values a host hands over, in the order of Port (ports.h) from
// Tonic to Strum; a null entry (an unconnected port) or a value that is not
// a number reads as a fresh install's setting, others are rounded and kept
// in range.
Controls readControls(std::span<const float* const, 7> ports) noexcept;

// One chord to sound: its notes in sounding order (ascending when strummed)
// and when each starts, in seconds after the key went down.
struct PadPress {
  int pad = 0;
  int velocity = 0;
  int channel = 0;
  ChordNoteArray notes;
  std::array<double, kMaxChordNotes> offsets{};
};

class PadKeys {
 public:
  enum class Kind {
    ignored,  // nothing for Quimbel to do (a black key, another key's release)
    play,     // a white key: `press` replaces the sounding chord
    release,  // the sounding chord ends
    other,    // not a note: a generator hands it on unchanged
  };
  struct Action {
    Kind kind = Kind::ignored;
    PadPress press;
  };

  // Reads one MIDI message. `bpm` sets the strum's span (half a beat).
  Action read(std::span<const std::uint8_t> message, const Controls& controls, double bpm) noexcept;

  // Forgets held keys and the sounding chord (the host restarts the plugin).
  void reset() noexcept;

 private:
  // The pad chords voiced so far for the key, knob and bass of the moment,
  // by pad and variant (sevenths + 2 × ninths): a chord is worked out once
  // per setting rather than on every key.
  struct VoicedFor {
    Chords::Key key;
    int knob = 0;
    bool bass = false;
    friend bool operator==(const VoicedFor&, const VoicedFor&) = default;
  };
  static constexpr std::size_t kVariants = 4;
  const ChordNoteArray& voiced(int pad, const Controls& controls, bool sevenths, bool ninths);

  VoicedFor voicedFor_;
  std::array<ChordNoteArray, 7 * kVariants> voiced_{};
  std::bitset<7 * kVariants> known_;
  std::bitset<128> blackDown_;
  int seventhKeys_ = 0;
  int ninthKeys_ = 0;
  int soundingNote_ = -1;  // the key that played the sounding chord
  int soundingChannel_ = -1;
};

}  // namespace quimbel::plugin
