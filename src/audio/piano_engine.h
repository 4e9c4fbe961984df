#pragma once

// The engine host: the main-thread object through which the program reaches
// the sound. It owns the render core for the current output rate, runs it in
// an output stream of the device layer, mirrors volume, tempo and metronome
// into it, and rebuilds the stream when the old one stops or fails by itself.
//
// Thread contract
// - Main thread: every member function.
// - The device layer's audio thread only runs render() on the core the stream
//   was made with. The MIDI thread reaches the core only through the direct
//   MIDI map, which start() points at each new core.
// - A core retired by a rate change is freed on the main thread 2 s after its
//   stream was stopped, so no render call can still be running on it, and
//   only once the MIDI thread has let go of it (midiEngineLetGo); MIDI chords
//   still waiting in it are handed over to the new core as soon as it has.
// Commands sent without a core are dropped; commands sent while the stream is
// stopped wait in the core's queues (up to 1024) until rendering resumes.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "audio/audio_backend.h"
#include "audio/core/render_core.h"
#include "base/main_thread.h"

namespace quimbel {

class PianoEngine {
 public:
  // Puts the piano samples into a freshly made core at its rate.
  using SampleInstaller = std::function<void(RenderCore* core, double sampleRate)>;

  static constexpr int MaxStartedPerCall = 64;
  // How long a retired core outlives the stream that rendered it.
  static constexpr double RetiredCoreDelaySeconds = 2.0;
  // How often a core a stalled MIDI thread still holds is looked at again.
  static constexpr double RetiredCoreRecheckSeconds = 0.05;

  // backend must outlive the engine. Creating the engine does no audio work:
  // the stream and the core appear at the first start().
  PianoEngine(MainThread& mainThread, AudioBackend& backend, SampleInstaller installSamples);
  // Closes the stream, then frees the current core and any retired one.
  ~PianoEngine();
  PianoEngine(const PianoEngine&) = delete;
  PianoEngine& operator=(const PianoEngine&) = delete;

  // Stored, and pushed into the core when one exists.
  float volume() const { return volume_; }
  void setVolume(float volume);
  double bpm() const { return bpm_; }
  void setBpm(double bpm);
  bool metronome() const { return metronome_; }
  void setMetronome(bool on);

  // The chords as MIDI (channel 1 ... 16, 0 for none) and the piano's own
  // sound, for the MIDI output.
  void setMidiOut(int channel);
  void setPianoMuted(bool muted);

  // Set while a MIDI source is connected; the app shell leaves an idle
  // stream running while it is on.
  bool keepRunning() const { return keepRunning_; }
  void setKeepRunning(bool keep) { keepRunning_ = keep; }

  // Output latency measured at the last start, in milliseconds.
  double latencyMs() const { return latencyMs_; }

  // (Re)builds the stream: same-rate restarts keep the core and its clock; a
  // new device rate makes a new core with the samples installed. A failed
  // start is logged and leaves the program silent until the next start.
  void start();
  // start() when there is no stream or it is not running.
  void ensureRunning();
  // The app shell stops an idle stream; the core and its clock stay as they
  // are and the next ensureRunning() rebuilds the stream around them.
  void stop();
  bool running() const;
  // Told after every start() and stop() (main thread), so that the shell can
  // follow whether the audio runs.
  void setRunningObserver(std::function<void()> observer) {
    runningObserver_ = std::move(observer);
  }

  // The core's clock and counters; 0 / 48000 / false without a core.
  std::int64_t now() const;
  double rate() const;
  bool metronomeRunning() const;
  std::uint64_t beatCount() const;
  std::int64_t nextBeatFrame() const;

  // Up to 64 started-note notices in queue order; the rest wait for the next
  // call. Empty without a core.
  std::vector<StartedNote> started();

  // The current core, or null before the first start. It changes only when
  // the device rate changes, so callers compare it to notice a swap.
  RenderCore* core() const { return core_; }
  // Cores retired by a rate change that are still waiting to be freed.
  int retiredCoreCount() const;

  // Pass-throughs to the core; each does nothing without a core.
  void noteOn(std::uint32_t note, std::int32_t tag, std::int32_t velocity, float gain,
              double startOffsetSeconds, double durationSeconds);
  void releaseAll();
  void scheduleNote(std::uint32_t note, std::int64_t frame, std::int32_t tag, std::int32_t velocity,
                    float gain, double durationSeconds);
  void scheduleReleaseAll(std::int64_t frame);
  void clearScheduled();
  // Ends the notes reported as MIDI while the piano rings on.
  void endMidiNotes();
  // Free slots of the core's main command queue; 0 without a core.
  int commandRoom() const;
  void startMetronome(std::uint32_t countInBeats, double delaySeconds);
  void stopMetronome();

 private:
  struct Retired;

  void retire(RenderCore* old);
  void keepRetired(RenderCore* old, double delaySeconds);
  void handOver(Retired& retired);
  void streamEnded(std::uint64_t generation);

  MainThread& mainThread_;
  AudioBackend& backend_;
  SampleInstaller installSamples_;

  RenderCore* core_ = nullptr;
  std::unique_ptr<AudioStream> stream_;
  float volume_ = CoreInitialVolume;
  double bpm_ = CoreInitialBpm;
  bool metronome_ = false;
  double latencyMs_ = 0.0;
  bool keepRunning_ = false;
  int midiOutChannel_ = 0;
  bool pianoMuted_ = false;
  std::function<void()> runningObserver_;

  // Counts streams, so that the end report of an old stream is ignored.
  std::uint64_t generation_ = 0;
  std::vector<std::unique_ptr<Retired>> retired_;
  // Lets delayed tasks and end reports find out that the engine is gone.
  std::shared_ptr<PianoEngine*> self_;
};

}  // namespace quimbel
