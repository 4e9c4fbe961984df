#pragma once

// The render core's state block. Only the core's own code and its tests
// look inside; everyone else goes through render_core.h. See the thread
// contract there: the audio thread is the only writer of everything here
// except the queues' producer sides and the atomics the setters store.

#include <atomic>
#include <cstdint>

#include "audio/core/convolution_reverb.h"
#include "audio/core/render_core.h"
#include "audio/core/spsc_ring.h"

namespace quimbel {

struct CoreEvent {
  CoreEventKind kind;
  std::int32_t note;  // MIDI note, pad (PadChord) or count-in beats (MetronomeStart)
  std::int32_t tag;
  std::int32_t velocity;
  double time;  // seconds from the next render call, or an absolute frame when scheduling
  double durationSeconds;
  float gain;
};

struct ScheduledEvent {
  std::int64_t frame;
  std::int32_t note;
  std::int32_t tag;
  std::int32_t velocity;
  std::uint32_t isReleaseAll;
  float gain;
  std::uint32_t reserved;
  double durationSeconds;
};

// A voice is free when sample is null.
struct Voice {
  const CoreSample* sample;
  double position;     // fractional frame index into the sample
  double step;         // sample frames per output frame
  std::int32_t delay;  // output frames still to wait before sounding
  float gain;
  float envelope;
  float envelopeMultiplier;  // applied to envelope every frame
  std::int64_t releaseFrame;
  std::int64_t endFrame;
  std::int64_t startFrame;  // also the voice's age when stealing
  std::uint32_t isClick;
  std::int32_t note;
  std::int32_t velocity;
  std::uint32_t midiState;  // VoiceMidi: what the MIDI report has said of it
};

// How far the MIDI report of a voice has got.
enum VoiceMidi : std::uint32_t { MidiUnsaid = 0, MidiOnSaid = 1, MidiOffSaid = 2 };

struct MetronomeState {
  std::atomic<double> bpm;
  std::atomic<std::uint32_t> enabled;
  std::uint32_t running;
  double nextBeatFrame;
  std::uint64_t beat;  // beats since the start, count-in included
  std::uint32_t countInLeft;
  std::atomic<std::uint64_t> publishedBeat;
  std::atomic<std::int64_t> publishedNextBeatFrame;
  std::atomic<std::uint32_t> publishedRunning;
};

inline constexpr int PreDelayCapacity = 4096;

struct RenderCore {
  double sampleRate = 0.0;
  std::atomic<CoreSample*> samples[128] = {};
  double pitchRatio[49] = {};  // entry k + 24 is 2^(k/12)
  CoreSample clickAccent;
  CoreSample clickBeat;
  SpscRing<CoreEvent, CoreQueueCapacity> mainQueue;
  SpscRing<CoreEvent, CoreQueueCapacity> midiQueue;
  SpscRing<StartedNote, CoreQueueCapacity> startedQueue;
  Voice voices[CoreVoiceCount] = {};
  ScheduledEvent scheduled[CoreScheduledCapacity] = {};
  std::int32_t scheduledCount = 0;
  std::int64_t clock = 0;
  std::atomic<std::int64_t> publishedClock{0};
  std::atomic<float> volume{CoreInitialVolume};
  float smoothedGain = -1.0f;  // master gain at the end of the last chunk; -1: not yet set
  alignas(64) float pianoLeft[CoreChunkFrames] = {};
  alignas(64) float pianoRight[CoreChunkFrames] = {};
  alignas(64) float clickLeft[CoreChunkFrames] = {};
  alignas(64) float clickRight[CoreChunkFrames] = {};
  float preDelayLeft[PreDelayCapacity] = {};
  float preDelayRight[PreDelayCapacity] = {};
  std::int32_t preDelayLength = 1;
  std::int32_t preDelayIndex = 0;
  ConvolutionReverb reverb;
  float levelDb = 0.0f;
  float attackCoef = 0.0f;
  float releaseCoef = 0.0f;
  float makeup = 1.6069412f;  // about +4.12 dB
  MetronomeState metronome = {};
  // The chords as MIDI: the setting as the main thread stores it, the one
  // the audio thread works with, the current render call's events and the
  // queue the main thread drains.
  std::atomic<std::uint32_t> midiOutSetting{0};  // 0 off, else the channel 1 ... 16
  std::uint32_t midiOutChannel = 0;
  std::atomic<std::uint32_t> pianoMuted{0};
  CoreMidiEvent midiBlock[CoreMidiBlockCapacity] = {};
  std::int32_t midiBlockCount = 0;
  SpscRing<CoreMidiEvent, CoreQueueCapacity> midiOutQueue;
  // Release constants, fixed by the rate: 125 ms after a note's end, 30 ms
  // after a release-all.
  float releaseMultiplier = 1.0f;
  float releaseAllMultiplier = 1.0f;
};

}  // namespace quimbel

namespace quimbel {

// The direct-MIDI side of the process-wide chord map, as the core sees it.
// Copies the chord of a pad in the variant the current seventh and ninth
// flags choose into notes (7 entries) and returns its note count.
std::int32_t currentPadChord(std::uint32_t pad, std::int32_t* notes) noexcept;
// Forgets the core as the target of direct MIDI chords if it is that target.
void detachMidiEngine(RenderCore* core);
// Enqueues a pad chord on the core's MIDI queue; false when it is full.
bool enqueuePadChord(RenderCore* core, std::int32_t pad, std::int32_t velocity, float gain);
// Moves the pad chords still waiting in `from`'s MIDI queue into `to`'s main
// queue, in order; returns how many moved. Main thread, once neither an
// audio thread nor a MIDI thread can reach `from` (its stream stopped and
// midiEngineLetGo): a chord played while the core was swapped still sounds.
std::int32_t handOverMidiChords(RenderCore* from, RenderCore* to);
// The compressor's target gain change in dB (0 or below) for a stereo peak.
float compressorReductionDb(float peak) noexcept;

}  // namespace quimbel
