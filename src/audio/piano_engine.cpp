#include "audio/piano_engine.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "audio/core/midi_chord_map.h"
#include "audio/core/render_core_state.h"
#include "diagnostics/report.h"

namespace quimbel {

namespace {

// A device that reports no usable rate still gets the piano's own rate.
constexpr double FallbackRate = 48000.0;

}  // namespace

struct PianoEngine::Retired {
  RenderCore* core = nullptr;  // null once freed (or passed to a later entry)
  bool handedOver = false;     // its waiting MIDI chords moved to the current core
  std::unique_ptr<TaskHandle> task;
};

PianoEngine::PianoEngine(MainThread& mainThread, AudioBackend& backend,
                         SampleInstaller installSamples)
    : mainThread_(mainThread),
      backend_(backend),
      installSamples_(std::move(installSamples)),
      self_(std::make_shared<PianoEngine*>(this)) {}

PianoEngine::~PianoEngine() {
  self_.reset();
  // Closing the stream guarantees that no render call is running, so every
  // core can go now instead of after the usual delay.
  stream_.reset();
  // A core a stalled MIDI thread still holds is left behind rather than
  // freed under it.
  for (auto& retired : retired_) {
    if (retired->core && midiEngineLetGo(retired->core)) destroyCore(retired->core);
    retired->core = nullptr;
  }
  retired_.clear();
  detachMidiEngine(core_);
  if (midiEngineLetGo(core_)) destroyCore(core_);
}

void PianoEngine::setVolume(float volume) {
  volume_ = volume;
  if (core_) quimbel::setVolume(core_, volume);
}

void PianoEngine::setBpm(double bpm) {
  bpm_ = bpm;
  if (core_) setBPM(core_, bpm);
}

void PianoEngine::setMetronome(bool on) {
  metronome_ = on;
  if (core_) setMetronomeOn(core_, on ? 1 : 0);
}

void PianoEngine::setMidiOut(int channel) {
  midiOutChannel_ = channel;
  if (core_) quimbel::setMidiOut(core_, channel != 0, channel);
}

void PianoEngine::setPianoMuted(bool muted) {
  pianoMuted_ = muted;
  if (core_) quimbel::setPianoMuted(core_, muted);
}

void PianoEngine::start() {
  // The old stream goes first: once it is closed no render call can reach
  // the core, and the device is free for the new stream.
  if (stream_) stream_->stop();
  stream_.reset();

  double rate = backend_.deviceRate();
  if (!(rate > 0.0)) rate = FallbackRate;

  if (!core_ || coreSampleRate(core_) != rate) {
    RenderCore* fresh = createCore(rate);
    if (installSamples_) installSamples_(fresh, rate);
    quimbel::setVolume(fresh, volume_);
    setBPM(fresh, bpm_);
    setMetronomeOn(fresh, metronome_ ? 1 : 0);
    quimbel::setMidiOut(fresh, midiOutChannel_ != 0, midiOutChannel_);
    quimbel::setPianoMuted(fresh, pianoMuted_);
    RenderCore* old = core_;
    core_ = fresh;
    setMidiEngine(fresh);
    if (old) retire(old);
  }

  std::uint64_t generation = ++generation_;
  std::weak_ptr<PianoEngine*> weak = self_;
  MainThread* mainThread = &mainThread_;
  // Runs on the device layer's thread: it only posts.
  auto onEnded = [weak, mainThread, generation] {
    mainThread->post([weak, generation] {
      if (auto self = weak.lock()) (*self)->streamEnded(generation);
    });
  };

  auto stream = backend_.makeStream(core_, rate, std::move(onEnded));
  std::string error = stream->start();
  if (error.empty()) {
    char line[64];
    std::snprintf(line, sizeof line, "[audio] started at %.0f Hz", rate);
    diagnostics::logLine(line);
  } else {
    diagnostics::consoleLine("audio didn't start: " + error);
    diagnostics::logLine("[audio] didn't start: " + error);
  }
  stream_ = std::move(stream);
  latencyMs_ = stream_->latencyMs();
  if (runningObserver_) runningObserver_();
}

void PianoEngine::ensureRunning() {
  if (!running()) start();
}

void PianoEngine::stop() {
  if (stream_) stream_->stop();
  if (runningObserver_) runningObserver_();
}

bool PianoEngine::running() const { return stream_ && stream_->running(); }

void PianoEngine::streamEnded(std::uint64_t generation) {
  // A report from a stream that has since been replaced changes nothing.
  if (generation != generation_) return;
  start();
}

void PianoEngine::retire(RenderCore* old) {
  // Entries stay in the list after their task ran (a handle may not be
  // destroyed from inside its own task); each retire sweeps them.
  std::erase_if(retired_, [](const auto& retired) { return retired->core == nullptr; });
  keepRetired(old, RetiredCoreDelaySeconds);
}

void PianoEngine::keepRetired(RenderCore* old, double delaySeconds) {
  auto retired = std::make_unique<Retired>();
  retired->core = old;
  Retired* slot = retired.get();
  // Usually the MIDI thread let go at once: chords it sent while the stream
  // was down move to the new core now and sound in its first period.
  handOver(*slot);
  std::weak_ptr<PianoEngine*> weak = self_;
  retired->task = mainThread_.after(delaySeconds, [weak, slot] {
    auto self = weak.lock();
    if (!self) return;
    PianoEngine& engine = **self;
    engine.handOver(*slot);
    RenderCore* core = std::exchange(slot->core, nullptr);
    if (slot->handedOver) {
      destroyCore(core);
    } else {
      // A MIDI thread still holds the core: look again shortly.
      engine.keepRetired(core, RetiredCoreRecheckSeconds);
    }
  });
  retired_.push_back(std::move(retired));
}

void PianoEngine::handOver(Retired& retired) {
  if (retired.handedOver || retired.core == nullptr || !midiEngineLetGo(retired.core)) return;
  handOverMidiChords(retired.core, core_);
  retired.handedOver = true;
}

int PianoEngine::retiredCoreCount() const {
  return static_cast<int>(std::count_if(retired_.begin(), retired_.end(),
                                        [](const auto& retired) { return retired->core; }));
}

std::int64_t PianoEngine::now() const { return core_ ? currentFrame(core_) : 0; }

double PianoEngine::rate() const { return core_ ? coreSampleRate(core_) : FallbackRate; }

bool PianoEngine::metronomeRunning() const {
  return core_ && quimbel::metronomeRunning(core_) != 0;
}

std::uint64_t PianoEngine::beatCount() const { return core_ ? quimbel::beatCount(core_) : 0; }

std::int64_t PianoEngine::nextBeatFrame() const {
  return core_ ? quimbel::nextBeatFrame(core_) : 0;
}

std::vector<StartedNote> PianoEngine::started() {
  if (!core_) return {};
  StartedNote notes[MaxStartedPerCall];
  std::int32_t count = drainStarted(core_, notes, MaxStartedPerCall);
  return std::vector<StartedNote>(notes, notes + std::max(count, 0));
}

void PianoEngine::noteOn(std::uint32_t note, std::int32_t tag, std::int32_t velocity, float gain,
                         double startOffsetSeconds, double durationSeconds) {
  if (core_) quimbel::noteOn(core_, note, tag, velocity, gain, startOffsetSeconds, durationSeconds);
}

void PianoEngine::releaseAll() {
  if (core_) quimbel::releaseAll(core_);
}

void PianoEngine::scheduleNote(std::uint32_t note, std::int64_t frame, std::int32_t tag,
                               std::int32_t velocity, float gain, double durationSeconds) {
  if (core_) quimbel::scheduleNote(core_, note, frame, tag, velocity, gain, durationSeconds);
}

void PianoEngine::scheduleReleaseAll(std::int64_t frame) {
  if (core_) quimbel::scheduleReleaseAll(core_, frame);
}

void PianoEngine::clearScheduled() {
  if (core_) quimbel::clearScheduled(core_);
}

void PianoEngine::endMidiNotes() {
  if (core_) quimbel::endMidiNotes(core_);
}

int PianoEngine::commandRoom() const { return core_ ? quimbel::commandRoom(core_) : 0; }

void PianoEngine::startMetronome(std::uint32_t countInBeats, double delaySeconds) {
  if (core_) quimbel::startMetronome(core_, countInBeats, delaySeconds);
}

void PianoEngine::stopMetronome() {
  if (core_) quimbel::stopMetronome(core_);
}

}  // namespace quimbel
