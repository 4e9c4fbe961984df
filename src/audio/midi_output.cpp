#include "audio/midi_output.h"

#include <algorithm>

#include "base/setting_text.h"

namespace quimbel {

MidiOutput::MidiOutput(MainThread& mainThread, PianoEngine& engine, MIDIInput& input,
                       SettingsStore& store)
    : mainThread_(mainThread), engine_(engine), input_(input), store_(store) {
  sending_ = storedBool(store, MidiSettingKey::send).value_or(false);
  localPiano_ = storedBool(store, MidiSettingKey::localPiano).value_or(true);
  if (auto text = store.value(MidiSettingKey::channel))
    channel_ = parseSettingInteger(*text, 1, 16).value_or(1);
  apply();
}

MidiOutput::~MidiOutput() {
  // The client closes next, and its queue with it: whatever waits there is
  // dropped, so the note-offs go at once.
  releaseSounding(0.0);
  if (sending_) input_.send(static_cast<std::uint8_t>(0xB0 | (channel_ - 1)), 123, 0);
}

void MidiOutput::setSending(bool on) {
  store_.setValue(MidiSettingKey::send, settingText(on));
  if (on == sending_) return;
  sending_ = on;
  if (!on) releaseSounding();
  apply();
}

void MidiOutput::setChannel(int channel) {
  channel = std::clamp(channel, 1, 16);
  store_.setValue(MidiSettingKey::channel, settingText(channel));
  if (channel == channel_) return;
  releaseSounding();
  channel_ = channel;
  apply();
}

void MidiOutput::setLocalPiano(bool on) {
  store_.setValue(MidiSettingKey::localPiano, settingText(on));
  localPiano_ = on;
  apply();
}

void MidiOutput::apply() {
  core_ = engine_.core();
  engine_.setMidiOut(sending_ ? channel_ : 0);
  engine_.setPianoMuted(sending_ && !localPiano_);
  if (sending_ && !timer_) {
    timer_ = mainThread_.every(PumpSeconds, [this] { pump(); });
  } else if (!sending_ && timer_) {
    timer_->cancel();
    timer_.reset();
  }
}

void MidiOutput::pump() {
  RenderCore* core = engine_.core();
  if (core != core_) {
    // A new core for a new rate: the old one's notes are gone with it.
    releaseSounding(engine_.latencyMs() / 1000.0);
    core_ = core;
  }
  if (core == nullptr) return;
  CoreMidiEvent events[256];
  const std::int64_t now = engine_.now();
  const double rate = engine_.rate();
  const double latency = engine_.latencyMs() / 1000.0;
  for (;;) {
    const int count = drainMidiOut(core, events, 256);
    for (int i = 0; i < count; ++i) {
      const CoreMidiEvent& e = events[i];
      const std::pair<int, int> key{e.status & 0x0F, e.note};
      if ((e.status & 0xF0) == 0x90) {
        if (!sending_) continue;
        sounding_.insert(key);
      } else {
        // Only notes still said to be sounding: a release sent already stays sent.
        auto it = sounding_.find(key);
        if (it == sounding_.end()) continue;
        sounding_.erase(it);
      }
      const double delay = std::max(0.0, latency + static_cast<double>(e.frame - now) / rate);
      input_.send(e.status, e.note, e.velocity, delay);
    }
    if (count < 256) break;
  }
  // A stopped stream renders no more: its notes would hang.
  if (!engine_.running()) releaseSounding(engine_.latencyMs() / 1000.0);
}

void MidiOutput::releaseSounding() {
  // On JACK the notes leave from the core's own report; it ends them too
  // (a stopped stream has ended them already).
  if (sending_ && engine_.running()) engine_.endMidiNotes();
  releaseSounding(engine_.latencyMs() / 1000.0);
}

void MidiOutput::releaseSounding(double delaySeconds) {
  for (const auto& [channel, note] : sounding_) {
    input_.send(static_cast<std::uint8_t>(0x80 | channel), static_cast<std::uint8_t>(note), 0,
                delaySeconds);
  }
  sounding_.clear();
}

}  // namespace quimbel
