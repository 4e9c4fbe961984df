#include "model/pad_model.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "audio/audio_export.h"
#include "audio/core/midi_chord_map.h"
#include "audio/core/render_core.h"
#include "base/memory_settings_store.h"
#include "model/stored_settings.h"
#include "music/chords.h"
#include "music/note_pads.h"
#include "music/voicing.h"
#include "screen/snapshot.h"

namespace quimbel {

namespace {

constexpr std::uint32_t kNoPad = 0xFFFFFFFFu;

int foldTonic(int tonic) { return ((tonic % 12) + 12) % 12; }

}  // namespace

PadModel::PadModel(Services services)
    : clock_(services.clock),
      mainThread_(services.mainThread),
      engine_(std::make_unique<PianoEngine>(services.mainThread, services.audio,
                                            std::move(services.installSamples))),
      defaults_(std::move(services.defaults)),
      reduceMotion_(services.reduceMotion),
      midi_(std::make_unique<MIDIInput>(services.mainThread, std::move(services.midiSequencer),
                                        &services.clock)),
      audio_(
          services.mainThread,
          [this](int takeID, const Take& rendered) {
            return takeID_ == takeID && events_ == rendered.events &&
                   (events_.empty() ? taken_ : loopLength_) == rendered.length;
          },
          {"[audio] ", "this build cannot make audio", "the audio could not be written"},
          exportTakeAudio),
      video_(services.mainThread,
             [this](int takeID, const VideoExport& rendered) {
               return videoStillCurrent(takeID, rendered);
             },
             {"[video] ", "this build cannot make videos", "the video could not be written"}) {
  if (!defaults_) defaults_ = std::make_unique<MemorySettingsStore>();

  const StoredSettings stored = readStoredSettings(*defaults_);
  if (stored.key) key_ = *stored.key;
  if (stored.knob) knob_ = *stored.knob;
  if (stored.bass) bass_ = *stored.bass;
  if (stored.quantize) setQuantize(*stored.quantize);
  if (stored.bpm) {
    bpm_ = *stored.bpm;
    applyTempo();
  }
  if (stored.volume) {
    volume_ = *stored.volume;
    applyVolume();
  }

  engine_->setBpm(static_cast<double>(bpm_.get()));
  engine_->setVolume(static_cast<float>(volume_.get() * volume_.get()));
  // The direct-MIDI flags are process-wide: start them from this model's.
  setChordFlags(sevenths_, ninths_, strum_);

  midiOut_ = std::make_unique<MidiOutput>(mainThread_, *engine_, *midi_, *defaults_);

  if (services.startMidi) {
    setupMidi();
  } else {
    // The map still follows the settings so that the core's direct path and
    // the model agree, but no input is opened.
    for (std::uint32_t note = 0; note < 128; ++note) mapNoteToPad(note, kNoPad);
    refreshCoreChords();
  }
}

PadModel::~PadModel() {
  // Timers first: none may run into a half-destroyed model. Then MIDI input,
  // and the direct path lets go of the core before the engine frees it.
  loopLights_.clear();
  if (ticker_) ticker_->cancel();
  if (tonicWork_) tonicWork_->cancel();
  midiOut_.reset();
  midi_.reset();
  if (engine_->core()) setMidiEngine(nullptr);
}

bool PadModel::modifier(Modifier source) const {
  switch (source) {
    case Modifier::tabKey:
      return tabKey_;
    case Modifier::tabMouse:
      return tabMouse_;
    case Modifier::key8:
      return key8_;
    case Modifier::shiftKey:
      return shiftKey_;
    case Modifier::key9:
      return key9_;
    case Modifier::spaceKey:
      return spaceKey_;
    case Modifier::key0:
      return key0_;
  }
  return false;
}

bool PadModel::tickerRunning() const { return ticker_ && ticker_->active(); }

void PadModel::store(std::string_view settingKey, const std::string& text) {
  defaults_->setValue(settingKey, text);
}

// --- Pads and modifiers ---

void PadModel::holdPad(int pad) {
  if (pad < 0 || pad >= kPads) return;
  padsDown_.insert(pad);
  held_.update([pad](std::set<int>& held) { held.insert(pad); });
}

ChordHit PadModel::hitFor(int pad, std::optional<int> velocity) const {
  const Chords::Key key = key_.get();
  const auto notes = chordNotes(pad, key, knob_.get() + 2, sevenths_, ninths_, bass_);
  ChordHit hit;
  hit.pad = pad;
  hit.voicing = strum_ ? strumVoicing(notes, static_cast<double>(bpm_.get())) : plainVoicing(notes);
  if (velocity) {
    hit.voicing.gain = velocityGain(*velocity);
    hit.velocity = *velocity;
  } else {
    hit.velocity = kKeyVelocity;
  }
  hit.shown = shownFor(pad);
  hit.hold = kDefaultHoldSeconds;
  hit.seventh = sevenths_;
  hit.ninth = ninths_;
  return hit;
}

void PadModel::press(int pad, std::optional<int> velocity) {
  if (pad < 0 || pad >= kPads) return;
  ChordHit hit = hitFor(pad, velocity);
  const std::int32_t tag = takeTag();
  const Voicing voicing = hit.voicing;
  const ChordScreen::Shown shown = hit.shown;
  pending_[tag] = std::move(hit);

  engine_->ensureRunning();
  if (engine_->core()) {
    // Damps the previous chord and drops its strum notes not yet started.
    engine_->releaseAll();
    const float gain = voicing.gain * chordScale(voicing.notes.size());
    for (std::size_t j = 0; j < voicing.notes.size(); ++j) {
      engine_->noteOn(static_cast<std::uint32_t>(voicing.notes[j]), j == 0 ? tag : NoTag,
                      pending_[tag].velocity, gain, voicing.offsets[j], kLiveNoteSeconds);
    }
  }
  pressFrame_[pad] = engine_->now();

  shownChord_ = shown;
  legendUp_ = false;
  lastPlayed_ = now();
  startTicker();
}

void PadModel::release(int pad) {
  padsDown_.erase(pad);
  if (!held_.get().contains(pad)) return;
  held_.update([pad](std::set<int>& held) { held.erase(pad); });
  setReleasedAt(pad, now());

  if (state_ == State::rec) {
    auto hit = std::find_if(events_.rbegin(), events_.rend(),
                            [pad](const ChordHit& h) { return h.pad == pad; });
    auto pressed = pressFrame_.find(pad);
    if (hit != events_.rend() && pressed != pressFrame_.end()) {
      const double heldFrames = static_cast<double>(engine_->now() - pressed->second);
      hit->hold = std::max(heldFrames / engine_->rate(), kMinHoldSeconds);
    }
  }
  startTicker();
}

void PadModel::releaseAllPads() {
  const std::set<int> held = held_.get();
  for (int pad : held) release(pad);
  tabKey_ = tabMouse_ = key8_ = false;
  shiftKey_ = key9_ = false;
  spaceKey_ = key0_ = false;
  updateModifiers(false);
  if (knobDragging_) setKnobDragging(false);
}

void PadModel::setModifier(Modifier source, bool down) {
  switch (source) {
    case Modifier::tabKey:
      tabKey_ = down;
      break;
    case Modifier::tabMouse:
      tabMouse_ = down;
      break;
    case Modifier::key8:
      key8_ = down;
      break;
    case Modifier::shiftKey:
      shiftKey_ = down;
      break;
    case Modifier::key9:
      key9_ = down;
      break;
    case Modifier::spaceKey:
      spaceKey_ = down;
      break;
    case Modifier::key0:
      key0_ = down;
      break;
  }
}

void PadModel::updateModifiers(bool pressed) {
  const bool sevenths = tabKey_ || tabMouse_ || key8_;
  const bool ninths = shiftKey_ || key9_;
  const bool strum = spaceKey_ || key0_;
  bool changed = false;
  if (sevenths != sevenths_.get()) {
    sevenths_ = sevenths;
    changed = true;
  }
  if (ninths != ninths_.get()) {
    ninths_ = ninths;
    changed = true;
  }
  if (strum != strum_.get()) {
    strum_ = strum;
    changed = true;
  }
  // MIDI chords the core plays by itself follow the same flags.
  if (changed) setChordFlags(sevenths, ninths, strum);
  if (pressed) {
    legendUp_ = true;
    modsAt_ = now();
  }
  if (!sevenths && !ninths && !strum) legendUp_ = false;
}

// --- Settings ---

void PadModel::setKnob(int value) {
  const int v = std::clamp(value, kKnobMin, kKnobMax);
  if (v == knob_.get()) return;
  knob_ = v;
  knobShownAt_ = now();
  store(SettingKey::knob, settingText(v));
  refreshCoreChords();
  startTicker();
}

void PadModel::cycleKnob() { setKnob(knob_.get() < kKnobMax ? knob_.get() + 1 : kKnobMin); }

void PadModel::toggleBass() {
  bass_ = !bass_.get();
  store(SettingKey::bass, settingText(bass_.get()));
  refreshCoreChords();
}

void PadModel::setKey(Chords::Key key, bool play) {
  key.tonic = foldTonic(key.tonic);
  key_ = key;
  shownChord_ = std::nullopt;
  store(SettingKey::key, settingText(key));
  refreshCoreChords();
  if (play) playTonic();
}

void PadModel::shiftTonic(int steps) {
  Chords::Key key = key_.get();
  key.tonic = foldTonic(key.tonic + steps % 12);
  key_ = key;
  shownChord_ = std::nullopt;
  store(SettingKey::key, settingText(key));
  refreshCoreChords();
}

void PadModel::playTonic() {
  // Only cancelled, not destroyed: this may be the task that is running.
  if (tonicWork_) tonicWork_->cancel();
  const auto notes = chordNotes(0, key_.get(), knob_.get() + 2, false, ninths_, bass_);
  const Voicing voicing = plainVoicing(notes);
  engine_->ensureRunning();
  engine_->releaseAll();
  const float gain = 1.0f * chordScale(voicing.notes.size());
  for (std::size_t j = 0; j < voicing.notes.size(); ++j) {
    engine_->noteOn(static_cast<std::uint32_t>(voicing.notes[j]), NoTag, kKeyVelocity, gain,
                    voicing.offsets[j], kLiveNoteSeconds);
  }
}

void PadModel::scheduleTonic(double delaySeconds) {
  if (tonicWork_) tonicWork_->cancel();
  tonicWork_ = mainThread_.after(delaySeconds, [this] { playTonic(); });
}

void PadModel::setBpm(int bpm) {
  bpm_ = std::clamp(bpm, kBpmMin, kBpmMax);
  applyTempo();
}

void PadModel::applyTempo() {
  engine_->setBpm(static_cast<double>(bpm_.get()));
  store(SettingKey::bpm, settingText(bpm_.get()));
}

void PadModel::setVolume(double volume) {
  // Observers only ever see a volume in range; a value that is not a number
  // changes nothing.
  if (std::isnan(volume)) return;
  volume_ = std::clamp(volume, 0.0, 1.0);
  applyVolume();
}

void PadModel::applyVolume() {
  const double v = volume_.get();
  engine_->setVolume(static_cast<float>(v * v));
  store(SettingKey::volume, settingText(v));
  volumeShownAt_ = now();
  startTicker();
}

void PadModel::toggleMute() {
  if (volume_.get() > 0.0) {
    volumeBefore_ = volume_.get();
    setVolume(0.0);
  } else {
    setVolume(volumeBefore_ > 0.0 ? volumeBefore_ : kFreshVolume);
  }
}

// --- Panel state ---

void PadModel::setVolumeDragging(bool dragging) { volumeDragging_ = dragging; }

void PadModel::setKnobDragging(bool dragging) {
  knobDragging_ = dragging;
  if (!dragging) {
    knobShownAt_ = now();
    startTicker();
  }
}

void PadModel::setPickerOpen(bool open) { pickerOpen_ = open; }
void PadModel::setPinned(bool pinned) { pinned_ = pinned; }
void PadModel::setWide(bool wide) { wide_ = wide; }
void PadModel::setLive(bool live) { live_ = live; }
void PadModel::setVisible(bool visible) { visible_ = visible; }
void PadModel::setReduceMotion(bool reduce) { reduceMotion_ = reduce; }

// --- MIDI ---

void PadModel::midiNote(int pad, int velocity) {
  if (pad < 0 || pad >= kPads) return;
  legendUp_ = false;
  if (!strum_) {
    // The core already sounded the chord on its own direct path.
    engine_->ensureRunning();
    setReleasedAt(pad, now());
    shownChord_ = shownFor(pad);
    legendUp_ = false;
    lastPlayed_ = now();
    startTicker();
  } else {
    press(pad, velocity);
    setReleasedAt(pad, now());
  }
}

void PadModel::midiSources(int count) {
  engine_->setKeepRunning(count >= 1);
  if (count >= 1) engine_->ensureRunning();
}

// --- Helpers ---

ChordScreen::Shown PadModel::shownFor(int pad, std::optional<bool> seventh,
                                      std::optional<bool> ninth) const {
  const Chords::Key key = key_.get();
  ChordScreen::Shown shown;
  shown.notes = chordNotes(pad, key, knob_.get() + 2, seventh.value_or(sevenths_),
                           ninth.value_or(ninths_), false);
  shown.name = Chords::chordName(pad, key, shown.notes);
  shown.color = Chords::padColor(pad);
  return shown;
}

void PadModel::refreshCoreChords() {
  for (int pad = 0; pad < kPads; ++pad) {
    for (int variant = 0; variant < 4; ++variant) {
      const auto notes =
          chordNotes(pad, key_.get(), knob_.get() + 2, (variant & 1) != 0, variant >= 2, bass_);
      std::vector<std::int32_t> packed(notes.begin(), notes.end());
      setPadChord(static_cast<std::uint32_t>(pad), variant, packed.data(),
                  static_cast<std::int32_t>(packed.size()));
    }
  }
}

std::int32_t PadModel::takeTag() {
  const std::int32_t tag = (nextTag_ + 1) % LiveTagLimit;
  nextTag_ = tag;
  if (static_cast<int>(pending_.size()) > kPendingLimit) {
    // Distances count around the wrap, so that after tag 499999 the presses
    // just before it still count as recent and the old ones still go.
    std::erase_if(pending_, [tag](const auto& entry) {
      std::int32_t distance = tag - entry.first;
      if (distance < 0) distance += LiveTagLimit;
      return distance >= kPendingLimit;
    });
  }
  return tag;
}

void PadModel::setupMidi() {
  for (std::uint32_t note = 0; note < 128; ++note) {
    const auto pad = padOfNote(static_cast<int>(note));
    mapNoteToPad(note, pad ? static_cast<std::uint32_t>(*pad) : kNoPad);
  }
  refreshCoreChords();
  midi_->onNote = [this](int, int velocity, int pad) { midiNote(pad, velocity); };
  midi_->onSources = [this](int count) { midiSources(count); };
  midi_->start();
}

void PadModel::startTicker() {
  if (tickerRunning()) return;
  ticker_ = mainThread_.every(kTickSeconds, [this] { tick(); });
}

void PadModel::setReleasedAt(int pad, double ms) {
  if (pad < 0 || pad >= kPadFaces) return;
  releasedAt_.update([pad, ms](std::array<double, kPadFaces>& at) { at[pad] = ms; });
}

ChordScreen::Input PadModel::screenInput(double nowMs) const {
  ChordScreen::Live live;
  live.key = key_.get();
  live.shownChord = shownChord_.get();
  live.state = state_.get();
  live.countN = countN_.get();
  live.recAt = recAt_;
  live.knob = knob_.get();
  live.knobDragging = knobDragging_.get();
  live.knobShownAt = knobShownAt_.get();
  live.volume = volume_.get();
  live.volumeDragging = volumeDragging_;
  live.volumeShownAt = volumeShownAt_;
  live.legendUp = legendUp_.get();
  live.sevenths = sevenths_.get();
  live.ninths = ninths_.get();
  live.strum = strum_.get();
  live.modsAt = modsAt_;
  live.hits = events_;
  return ChordScreen::snapshot(live, nowMs);
}

}  // namespace quimbel
