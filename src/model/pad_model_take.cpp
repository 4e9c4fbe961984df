// The take half of the pad model: count-in, recording from the core's
// started-note notices, quantize, loop playback, drop and undo.

#include <algorithm>
#include <cmath>

#include "audio/audio_export.h"
#include "audio/core/midi_chord_map.h"
#include "audio/core/render_core.h"
#include "export/midi_file.h"
#include "model/pad_model.h"
#include "model/quantize.h"
#include "model/stored_settings.h"
#include "music/voicing.h"

namespace quimbel {

namespace {

std::int64_t framesIn(double rate, double seconds) {
  return static_cast<std::int64_t>(std::trunc(rate * seconds));
}

std::int64_t roundedFrames(double rate, double seconds) {
  return static_cast<std::int64_t>(std::round(rate * seconds));
}

}  // namespace

void PadModel::setQuantize(bool on) {
  quantize_ = on;
  store(SettingKey::quantize, settingText(on));
  if (state_ == State::done && !rawEvents_.empty()) {
    const bool wasPlaying = playing_;
    if (wasPlaying) stopPlaying();
    applyQuantize();
    if (wasPlaying) startPlayback();
  }
}

void PadModel::stopPlaying() {
  playing_ = false;
  // The other programs hear the loop end at once, whatever still rings here.
  midiOut_->releaseSounding();
  engine_->clearScheduled();
  loopWaiting_.clear();
  loopWaitingEntries_ = 0;
}

void PadModel::restartMetronomeIfOn() {
  if (!metronome_) return;
  engine_->ensureRunning();
  engine_->startMetronome(0, kClickDelaySeconds);
}

void PadModel::toggleRecord() {
  switch (state_.get()) {
    case State::ready:
    case State::done: {
      if (playing_) stopPlaying();
      kept_.clear();
      pickerOpen_ = false;
      countN_ = 0;
      recStartPending_ = false;
      lastBeats_ = 0;
      preRoll_.clear();
      countFrom_ = engine_->now() + framesIn(engine_->rate(), kCountFromSeconds);
      state_ = State::count;
      engine_->ensureRunning();
      engine_->startMetronome(kCountInBeats, kClickDelaySeconds);
      startTicker();
      break;
    }
    case State::count:
      state_ = State::ready;
      countN_ = 0;
      engine_->stopMetronome();
      restartMetronomeIfOn();
      startTicker();
      break;
    case State::rec:
      stopRecording();
      startTicker();
      break;
  }
}

void PadModel::toggleMetronome() {
  metronome_ = !metronome_.get();
  engine_->setMetronome(metronome_);
  const State state = state_;
  if (state == State::ready || state == State::rec) {
    if (metronome_) {
      engine_->ensureRunning();
      engine_->startMetronome(0, kClickDelaySeconds);
    } else {
      engine_->stopMetronome();
    }
  }
  lastBeats_ = 0;
  startTicker();
}

void PadModel::togglePlay() {
  if (playing_) {
    stopPlaying();
  } else {
    startPlayback();
  }
}

void PadModel::startPlayback() {
  if (state_ != State::done || events_.empty()) return;
  engine_->ensureRunning();
  playing_ = true;
  passesSent_ = 0;
  nextHit_ = 0;
  loopWaiting_.clear();
  loopWaitingEntries_ = 0;
  playEngine_ = engine_->core();
  playStart_ = engine_->now() + framesIn(engine_->rate(), kFirstPassSeconds);
  schedulePasses();
  startTicker();
}

void PadModel::dropTake() {
  if (state_ != State::done) return;
  if (playing_) stopPlaying();
  kept_ = std::move(events_);
  events_.clear();
  state_ = State::ready;
  restartMetronomeIfOn();
}

void PadModel::undo() {
  if (state_ != State::ready || kept_.empty()) return;
  events_ = std::move(kept_);
  kept_.clear();
  state_ = State::done;
  engine_->stopMetronome();
}

void PadModel::beginRecording() {
  state_ = State::rec;
  countN_ = 0;
  events_ = std::move(preRoll_);
  preRoll_.clear();
  elapsed_ = 0;
  takeID_ += 1;
  recAt_ = now();
  // With the metronome on it keeps clicking on the count-in's beat grid.
  if (!metronome_) engine_->stopMetronome();
}

void PadModel::stopRecording() {
  const double taken = static_cast<double>(engine_->now() - recStart_) / engine_->rate();
  finishRecording(events_, taken);
}

void PadModel::finishRecording(std::vector<ChordHit> hits, double rawLength) {
  taken_ = rawLength;
  rawEvents_ = std::move(hits);
  rawTaken_ = rawLength;
  applyQuantize();
  state_ = events_.empty() ? State::ready : State::done;
  // An empty take leaves a running metronome alone; otherwise the clicks stop.
  if (state_ != State::ready || !metronome_) engine_->stopMetronome();
}

void PadModel::applyQuantize() {
  QuantizedTake take = quantizeTake(rawEvents_, bpm_, quantize_, rawTaken_);
  events_ = std::move(take.hits);
  loopLength_ = take.length;
  taken_ = take.length;
  video_.forget();
  audio_.forget();
}

void PadModel::schedulePasses() {
  if (!playing_ || !engine_->core()) return;
  if (engine_->core() != playEngine_) {
    // The device changed rate and a new core took over: its clock is not
    // the one the passes were planned on.
    stopPlaying();
    return;
  }
  const double rate = engine_->rate();
  // A take is at least one bar long; a pass of no frames would never get
  // ahead of the clock.
  const std::int64_t passLength = roundedFrames(rate, loopLength_);
  if (events_.empty() || passLength <= 0) {
    stopPlaying();
    return;
  }
  const std::int64_t now = engine_->now();
  // The core has carried out every entry before the frame it last published.
  while (!loopWaiting_.empty() && loopWaiting_.front().lastFrame < now) {
    loopWaitingEntries_ -= loopWaiting_.front().entries;
    loopWaiting_.pop_front();
  }
  const std::int64_t horizon = now + framesIn(rate, kScheduleAheadSeconds);
  int room = engine_->commandRoom() - kLoopQueueRoomKept;
  // Hits go out in time order, each once it starts less than the look-ahead
  // from the clock. A hit that does not fit now waits for the next tick; the
  // frames it is given do not depend on when it is sent.
  for (;;) {
    if (nextHit_ >= events_.size()) {
      nextHit_ = 0;
      passesSent_ += 1;
    }
    const std::int64_t passStart = playStart_ + passesSent_ * passLength;
    const ChordHit& hit = events_[nextHit_];
    const std::int64_t start = passStart + roundedFrames(rate, hit.t);
    if (start >= horizon) break;
    const Voicing& voicing = hit.voicing;
    const int entries = 1 + static_cast<int>(voicing.notes.size());
    if (entries > room || loopWaitingEntries_ + entries > kLoopWaitingLimit) break;

    // Each chord damps the previous one, exactly as a live press does.
    engine_->scheduleReleaseAll(start);
    std::int64_t lastFrame = start;
    const float gain = voicing.gain * chordScale(voicing.notes.size());
    for (std::size_t j = 0; j < voicing.notes.size(); ++j) {
      const std::int32_t tag = j == 0 ? LoopTagBase + static_cast<std::int32_t>(nextHit_) : NoTag;
      const std::int64_t frame = start + roundedFrames(rate, voicing.offsets[j]);
      engine_->scheduleNote(static_cast<std::uint32_t>(voicing.notes[j]), frame, tag, hit.velocity,
                            gain, noteLength(voicing, j, hit.length));
      lastFrame = std::max(lastFrame, frame);
    }
    room -= entries;
    loopWaiting_.push_back({lastFrame, entries});
    loopWaitingEntries_ += entries;
    nextHit_ += 1;
  }
}

void PadModel::loopNotice(std::int64_t index) {
  if (index < 0 || index >= static_cast<std::int64_t>(events_.size())) return;
  const ChordHit& hit = events_[static_cast<std::size_t>(index)];
  const int pad = hit.pad;
  held_.update([pad](std::set<int>& held) { held.insert(pad); });
  shownChord_ = hit.shown;
  std::erase_if(loopLights_, [](const auto& task) { return !task->active(); });
  loopLights_.push_back(mainThread_.after(hit.hold, [this, pad] {
    // A pad the user holds down stays lit until the user lets go.
    if (!held_.get().contains(pad) || padsDown_.contains(pad)) return;
    held_.update([pad](std::set<int>& held) { held.erase(pad); });
    setReleasedAt(pad, now());
  }));
}

void PadModel::handleStarted(const StartedNote& notice, double rate) {
  const State state = state_;
  if (notice.tag >= LoopTagBase) {
    if (playing_) loopNotice(static_cast<std::int64_t>(notice.tag) - LoopTagBase);
    return;
  }
  const bool early = state == State::count && recStartPending_;
  if (state != State::rec && !early) return;

  const std::int64_t window = framesIn(rate, (60.0 / bpm_) * 0.25);
  if (notice.frame < recStart_ - window) return;
  const double t = std::max(static_cast<double>(notice.frame - recStart_) / rate, 0.0);

  if (early) {
    if (notice.tag < 0) return;
    auto parked = pending_.find(notice.tag);
    if (parked == pending_.end()) return;
    ChordHit hit = parked->second;
    hit.t = 0.0;
    preRoll_.push_back(std::move(hit));
    return;
  }

  if (notice.tag >= -kPads && notice.tag <= -1) {
    // A chord the core played straight from MIDI: rebuild what it played.
    const int pad = -notice.tag - 1;
    ChordHit hit;
    hit.pad = pad;
    hit.t = t;
    hit.voicing =
        plainVoicing(chordNotes(pad, key_.get(), knob_.get() + 2, sevenths_, ninths_, bass_));
    hit.voicing.gain = velocityGain(notice.velocity);
    hit.shown = shownFor(pad);
    hit.velocity = notice.velocity;
    hit.hold = kDefaultHoldSeconds;
    hit.seventh = sevenths_;
    hit.ninth = ninths_;
    events_.push_back(std::move(hit));
    return;
  }
  if (notice.tag >= 0) {
    auto parked = pending_.find(notice.tag);
    if (parked == pending_.end()) return;
    ChordHit hit = parked->second;
    hit.t = t;
    events_.push_back(std::move(hit));
  }
}

void PadModel::tick() {
  // 1. Count-in beats.
  const std::uint64_t beats = engine_->beatCount();
  if (beats != lastBeats_) {
    // Right after a count-in starts the counter may still show the previous
    // metronome run.
    const bool stale = state_ == State::count && engine_->now() < countFrom_;
    if (!stale) {
      lastBeats_ = beats;
      if (state_ == State::count) {
        countN_ = static_cast<int>(std::min<std::uint64_t>(beats, kCountInBeats));
        if (beats >= kCountInBeats && !recStartPending_) {
          recStartPending_ = true;
          recStart_ = engine_->nextBeatFrame();
        }
      }
    }
  }

  // 2. The downbeat.
  if (state_ == State::count && recStartPending_ && engine_->now() >= recStart_) {
    beginRecording();
  }

  // 3. Keep the loop one second ahead.
  if (playing_) schedulePasses();

  // 4. Started notes.
  const double rate = engine_->rate();
  for (const StartedNote& notice : engine_->started()) handleStarted(notice, rate);

  // 5. Seconds recorded.
  if (state_ == State::rec) {
    elapsed_ = static_cast<int>(std::trunc(static_cast<double>(engine_->now() - recStart_) / rate));
  }

  // 6. Stop when nothing moves.
  if (idle()) {
    if (ticker_) ticker_->cancel();
  }
}

bool PadModel::idle() const {
  // A finished take that does not play needs no ticks: playback starts the
  // ticker again.
  const bool resting = state_ == State::ready || (state_ == State::done && !playing_);
  if (!resting || metronome_ || !held_.get().empty() || knobDragging_ || volumeDragging_) {
    return false;
  }
  double last = std::max({lastPlayed_, knobShownAt_.get(), volumeShownAt_});
  for (double at : releasedAt_.get()) last = std::max(last, at);
  return now() - last > kIdleStopMs;
}

std::optional<Take> PadModel::take() const {
  if (state_ != State::done) return std::nullopt;
  Take take;
  take.events = events_;
  take.length = events_.empty() ? taken_ : loopLength_;
  take.bpm = bpm_;
  take.key = key_;
  take.knob = knob_;
  take.volume = static_cast<float>(volume_.get());
  return take;
}

std::optional<Written> PadModel::exportMidi() const {
  auto finished = take();
  if (!finished) return std::nullopt;
  return midiFile(*finished);
}

void PadModel::withAudio(AudioCallback callback) {
  if (auto file = cachedAudio()) {
    if (callback) callback(Written{*file, {}});
    return;
  }
  audio_.wait(std::move(callback));
  if (audio_.rendering()) return;
  if (auto finished = take()) audio_.start(takeID_, std::move(*finished));
}

}  // namespace quimbel
