#include "plugin/pad_keys.h"

#include <algorithm>
#include <cmath>

#include "music/fresh_settings.h"
#include "music/note_pads.h"

namespace quimbel::plugin {
namespace {

constexpr int kSeventhsPitchClass = 1;  // C♯
constexpr int kNinthsPitchClass = 3;    // D♯
constexpr std::uint8_t kNoteOff = 0x80;
constexpr std::uint8_t kNoteOn = 0x90;
constexpr std::uint8_t kControlChange = 0xB0;
constexpr std::uint8_t kAllSoundOff = 120;
constexpr std::uint8_t kAllNotesOff = 123;

// A port's value as a whole number in range, or the fresh setting.
int wholeValue(const float* port, int fresh, int low, int high) {
  if (port == nullptr || !std::isfinite(*port)) return fresh;
  return std::clamp(static_cast<int>(std::lround(std::clamp(*port, -1e6f, 1e6f))), low, high);
}

// A toggle is on above zero.
bool toggleValue(const float* port, bool fresh) {
  if (port == nullptr || !std::isfinite(*port)) return fresh;
  return *port > 0.0f;
}

bool isBlack(int note) { return !padOfNote(note).has_value(); }

}  // namespace

Controls readControls(std::span<const float* const, 7> ports) noexcept {
  Controls c;
  c.key.tonic = wholeValue(ports[0], kFreshKey.tonic, 0, 11);
  const int freshMode = kFreshKey.mode == Chords::Mode::minor ? 1 : 0;
  c.key.mode =
      wholeValue(ports[1], freshMode, 0, 1) == 1 ? Chords::Mode::minor : Chords::Mode::major;
  c.sevenths = toggleValue(ports[2], false);
  c.ninths = toggleValue(ports[3], false);
  c.bass = toggleValue(ports[4], kFreshBass);
  c.knob = wholeValue(ports[5], kFreshKnob, kKnobMin, kKnobMax);
  c.strum = toggleValue(ports[6], false);
  return c;
}

PadKeys::Action PadKeys::read(std::span<const std::uint8_t> message, const Controls& controls,
                              double bpm) noexcept {
  if (message.empty()) return {};
  const std::uint8_t status = message[0] & 0xF0;
  const int channel = message[0] & 0x0F;
  const bool noteOn = status == kNoteOn && message.size() >= 3 && message[2] > 0;
  const bool noteOff = (status == kNoteOff || status == kNoteOn) && message.size() >= 3 && !noteOn;

  if (status == kControlChange && message.size() >= 3 &&
      (message[1] == kAllSoundOff || message[1] == kAllNotesOff)) {
    soundingNote_ = -1;
    return {Kind::release, {}};
  }
  if (!noteOn && !noteOff) return {Kind::other, {}};

  const int note = message[1] & 0x7F;
  if (isBlack(note)) {
    const int pitchClass = note % 12;
    if (pitchClass != kSeventhsPitchClass && pitchClass != kNinthsPitchClass) return {};
    // A key already down (a second note-on) or already up counts once.
    if (blackDown_.test(static_cast<std::size_t>(note)) == noteOn) return {};
    blackDown_.set(static_cast<std::size_t>(note), noteOn);
    int& held = pitchClass == kSeventhsPitchClass ? seventhKeys_ : ninthKeys_;
    held += noteOn ? 1 : -1;
    return {};
  }

  if (noteOff) {
    if (note != soundingNote_ || channel != soundingChannel_) return {};
    soundingNote_ = -1;
    return {Kind::release, {}};
  }

  Action action{Kind::play, {}};
  PadPress& press = action.press;
  press.pad = *padOfNote(note);
  press.velocity = message[2];
  press.channel = channel;
  press.notes = voiced(press.pad, controls, controls.sevenths || seventhKeys_ > 0,
                       controls.ninths || ninthKeys_ > 0);
  if (controls.strum) {
    press.notes = ascending(press.notes);
    for (std::size_t i = 0; i < press.notes.count; ++i)
      press.offsets[i] = strumOffset(i, press.notes.count, bpm);
  }
  soundingNote_ = note;
  soundingChannel_ = channel;
  return action;
}

const ChordNoteArray& PadKeys::voiced(int pad, const Controls& controls, bool sevenths,
                                      bool ninths) {
  const VoicedFor now{controls.key, controls.knob, controls.bass};
  if (!(now == voicedFor_)) {
    voicedFor_ = now;
    known_.reset();
  }
  const std::size_t slot =
      static_cast<std::size_t>(pad) * kVariants + (sevenths ? 1 : 0) + (ninths ? 2 : 0);
  if (!known_.test(slot)) {
    // The knob turns every chord: its inversion is the knob + 2.
    voiced_[slot] =
        padChordNotes(pad, controls.key, controls.knob + 2, sevenths, ninths, controls.bass);
    known_.set(slot);
  }
  return voiced_[slot];
}

void PadKeys::reset() noexcept { *this = PadKeys(); }

}  // namespace quimbel::plugin
