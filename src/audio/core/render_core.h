#pragma once

// Thread contract
// - Main thread: createCore, destroyCore (only once no audio thread can reach
//   the core), makeSample, freeSample, installSample (before the core is
//   handed to the audio thread), every enqueueing operation (noteOn,
//   releaseAll, scheduleNote, scheduleReleaseAll, clearScheduled,
//   endMidiNotes, startMetronome, stopMetronome), the setters (setVolume, setBPM,
//   setMetronomeOn), commandRoom (the main queue's fill, read from the
//   producer side) and drainStarted. The main command queue and the
//   started-note ring each have exactly this one thread on the main side.
// - Audio thread: render only. It never allocates, frees, locks, waits or
//   calls the system.
// - Safe anywhere: coreSampleRate, currentFrame, beatCount, nextBeatFrame,
//   metronomeRunning (single atomic loads).
// A full queue drops the command; a full scheduled list drops the event; a
// full started-note ring drops the notice. Nothing here reports an error.

#include <cstdint>

namespace quimbel {

// The tag of a note that sends no started-note notice.
inline constexpr std::int32_t NoTag = -1000000;

// Live presses use tags 0 ... LiveTagLimit - 1 (cycling), loop playback
// LoopTagBase + hit index, chords played straight from MIDI -(pad + 1).
inline constexpr std::int32_t LiveTagLimit = 500000;
inline constexpr std::int32_t LoopTagBase = 900000;

inline constexpr int CoreVoiceCount = 64;
inline constexpr int CoreQueueCapacity = 1024;
inline constexpr int CoreScheduledCapacity = 4096;
inline constexpr int CoreChunkFrames = 256;
inline constexpr int CorePadCount = 7;
inline constexpr float CoreInitialVolume = 0.64f;
inline constexpr double CoreInitialBpm = 120.0;

enum class CoreEventKind : std::uint32_t {
  NoteOn = 1,
  ReleaseAll = 2,
  MetronomeStart = 3,
  MetronomeStop = 4,
  PadChord = 5,
  ScheduleNote = 6,
  ScheduleReleaseAll = 7,
  ClearScheduled = 8,
  EndMidiNotes = 9,
};

// One stereo piano sample as 16-bit PCM. Owned by the core once installed.
struct CoreSample {
  std::int16_t* left = nullptr;
  std::int16_t* right = nullptr;
  std::int32_t frames = 0;
};

// One started-note notice: the chord's tag, the frame its first note began
// sounding at, and the velocity it was played with.
struct StartedNote {
  std::int32_t tag = NoTag;
  std::int64_t frame = 0;
  std::int32_t velocity = 0;
};

// The synthesiser's whole state; its layout lives in render_core_state.h.
struct RenderCore;

// Makes a core for one output rate. Running out of memory is fatal.
RenderCore* createCore(double sampleRate);
// Frees the core, its samples and its reverb; null is accepted.
void destroyCore(RenderCore* core);
double coreSampleRate(const RenderCore* core);

// Converts float PCM (clamped to -1..1) into a sample; a null right channel
// copies the left one. Frames below 1 make an empty, silent sample.
CoreSample* makeSample(const float* left, const float* right, std::int32_t frames);
// A sample of `frames` zeros per channel, for a caller that writes its PCM
// itself before installing it (a sample kept from an earlier conversion).
CoreSample* makeSilentSample(std::int32_t frames);
void freeSample(CoreSample* sample);
// Puts the sample at a MIDI note and hands back the previous occupant (or
// null) for the caller to free. Above note 127 nothing is installed and the
// given sample comes back.
CoreSample* installSample(RenderCore* core, std::uint32_t note, CoreSample* sample);

// Starts a note startOffsetSeconds after the start of the next render call.
void noteOn(RenderCore* core, std::uint32_t note, std::int32_t tag, std::int32_t velocity,
            float gain, double startOffsetSeconds, double durationSeconds);
// Fades every sounding note (30 ms) and drops notes still waiting to start.
void releaseAll(RenderCore* core);
// Starts a note at an absolute frame of the core's clock.
void scheduleNote(RenderCore* core, std::uint32_t note, std::int64_t frame, std::int32_t tag,
                  std::int32_t velocity, float gain, double durationSeconds);
void scheduleReleaseAll(RenderCore* core, std::int64_t frame);
void clearScheduled(RenderCore* core);
// Commands the main queue can still take before the next render call drains
// it. Senders of bursts (loop playback) leave room for live presses with it.
std::int32_t commandRoom(const RenderCore* core);
// Restarts the metronome at beat 0 after delaySeconds; the first
// countInBeats clicks sound even while the metronome is off.
void startMetronome(RenderCore* core, std::uint32_t countInBeats, double delaySeconds);
void stopMetronome(RenderCore* core);

void setVolume(RenderCore* core, float volume);  // clamped to 0..1
void setBPM(RenderCore* core, double bpm);       // clamped to 30..300
void setMetronomeOn(RenderCore* core, std::uint32_t on);

// Frames rendered so far (published at the end of each render call).
std::int64_t currentFrame(const RenderCore* core);
// Beats produced since the last metronome start, count-in included.
std::uint64_t beatCount(const RenderCore* core);
std::int64_t nextBeatFrame(const RenderCore* core);
std::uint32_t metronomeRunning(const RenderCore* core);

// Copies out up to max started-note notices; returns how many.
std::int32_t drainStarted(RenderCore* core, std::int32_t* tags, std::int64_t* frames,
                          std::int32_t* velocities, std::int32_t max);
std::int32_t drainStarted(RenderCore* core, StartedNote* notes, std::int32_t max);

// ---- the chords as MIDI, for other programs ----

// One note-on or note-off of a piano note: status 0x90 or 0x80 with the
// channel in its low four bits, and the frame of the core's clock it happens
// at. A note-on's frame is the note's first sounding frame; its note-off's
// the frame the note starts to fade (its end, a release-all, or its voice
// taken by a newer note).
struct CoreMidiEvent {
  std::int64_t frame = 0;
  std::uint8_t status = 0;
  std::uint8_t note = 0;
  std::uint8_t velocity = 0;
};

inline constexpr int CoreMidiBlockCapacity = 512;

// Main thread. While on, every piano note (never a click) is reported as
// MIDI: in the block of the render call it sounds in, and on the MIDI-out
// queue. Turning it off reports note-offs for the notes still sounding at the
// next render call. The channel is 1 ... 16.
void setMidiOut(RenderCore* core, bool on, std::int32_t channel);
// Main thread. Silences the piano's own sound (the clicks stay) while the
// notes go on being reported, for a user whose other program plays them.
void setPianoMuted(RenderCore* core, bool muted);
// Main thread. Note-offs, at the next render call's first frame, for every
// piano note whose note-on was reported; the piano's own notes ring on. A
// stopped loop or a dropped take ends at once in the other programs while
// its last chord still rings here.
void endMidiNotes(RenderCore* core);
// The thread that called render, right after it: the note events of that
// call, every frame inside it, in the order they happened per voice (not
// sorted by frame). Valid until the next render call.
std::int32_t renderedMidi(const RenderCore* core, const CoreMidiEvent** events);
// The one consumer of the MIDI-out queue (the main thread): copies out up to
// max note events in the order they were reported.
std::int32_t drainMidiOut(RenderCore* core, CoreMidiEvent* events, std::int32_t max);

// Renders frames of stereo output into left and right. Audio thread only.
void render(RenderCore* core, float* left, float* right, std::int32_t frames) noexcept;

}  // namespace quimbel
