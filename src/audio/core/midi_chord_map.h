#pragma once

// Thread contract
// - Main thread: setMidiEngine, mapNoteToPad, setPadChord, setChordFlags.
// - MIDI input thread: midiNoteOn, the only producer of the chosen core's
//   MIDI command queue. When that queue is full the chord is dropped. One
//   thread at a time plays notes (and takes leases).
// - Hand-over: the MIDI thread holds the core it plays into through a lease
//   for the length of one note. Before the main thread frees a core it was
//   pointed away from, it asks midiEngineLetGo: a MIDI thread stalled inside
//   a note keeps the core alive instead of writing into freed memory.
// - Audio thread: reads the flags and chords while it plays a pad chord.
// - Safe anywhere: velocityGain.
// The map is one process-wide table of atomics; there are no locks.

#include <cstdint>

namespace quimbel {

struct RenderCore;

// The core that chords played straight from MIDI go to, or null.
void setMidiEngine(RenderCore* core);
// The direct-MIDI target held for as long as the lease lives (null: none).
class MidiEngineLease {
 public:
  MidiEngineLease() noexcept;
  ~MidiEngineLease();
  MidiEngineLease(const MidiEngineLease&) = delete;
  MidiEngineLease& operator=(const MidiEngineLease&) = delete;
  RenderCore* core() const { return core_; }

 private:
  RenderCore* core_;
};
// True once `core` is neither the direct-MIDI target nor held by a lease:
// then no MIDI thread can reach it any more. Main thread.
bool midiEngineLetGo(const RenderCore* core);
// Makes a MIDI note play a pad (pads 0..6; anything else maps to no pad).
void mapNoteToPad(std::uint32_t note, std::uint32_t pad);
// Stores up to 7 notes of a pad's chord in one of four variants:
// variant = (sevenths ? 1 : 0) + (ninths ? 2 : 0).
void setPadChord(std::uint32_t pad, std::int32_t variant, const std::int32_t* notes,
                 std::int32_t count);
void setChordFlags(bool sevenths, bool ninths, bool strum);
// Linear gain of a MIDI velocity: 127 is 1.0, 1 is -30 dB.
float velocityGain(std::int32_t velocity);
// Plays the pad of a MIDI note inside the engine at once (unless strumming,
// which the main thread does itself). Returns the pad, or -1 for no pad.
std::int32_t midiNoteOn(std::uint32_t note, std::int32_t velocity);

}  // namespace quimbel
