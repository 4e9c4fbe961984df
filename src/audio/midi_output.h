#pragma once

// The chords as MIDI for other programs: the settings of the tray menu, and
// the sender that takes the notes the render core reports and puts them on
// the sequencer's output port "Quimbel out". (On JACK the backend also puts
// them on its midi_out port, in the very period they sound in.)
//
// Every event is stamped with the time its frame reaches the speakers: the
// output latency after the frame was rendered, so that a loop's chords and
// live chords arrive when they are heard. The sender keeps the notes it has
// said are sounding, so that whatever stops the sound (the stream stopping,
// the output switching, the core changing, quitting) ends them in the other
// program too, and a note-off is never sent twice.
//
// Thread contract: main thread only. The render core is reached through the
// engine host's current core (its MIDI-out queue and two settings).

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "audio/midi_input.h"
#include "audio/piano_engine.h"
#include "base/main_thread.h"

namespace quimbel {

namespace MidiSettingKey {
inline constexpr std::string_view send = "midi/send";
inline constexpr std::string_view channel = "midi/channel";
inline constexpr std::string_view localPiano = "midi/localPiano";
}  // namespace MidiSettingKey

class MidiOutput {
 public:
  // How often the core's notes are collected while sending.
  static constexpr double PumpSeconds = 0.004;

  // Reads the three settings from the store (off, channel 1, piano on when
  // absent or unreadable). All four must outlive the output.
  MidiOutput(MainThread& mainThread, PianoEngine& engine, MIDIInput& input, SettingsStore& store);
  // Ends every sounding note and sends "all notes off" on the channel.
  ~MidiOutput();
  MidiOutput(const MidiOutput&) = delete;
  MidiOutput& operator=(const MidiOutput&) = delete;

  bool sending() const { return sending_; }
  int channel() const { return channel_; }  // 1 ... 16
  bool localPiano() const { return localPiano_; }
  // Each is stored and takes effect at once.
  void setSending(bool on);
  void setChannel(int channel);  // clamped to 1 ... 16
  void setLocalPiano(bool on);

  // Collects the core's notes and sends them; the timer calls it.
  void pump();
  // Note-offs for every note said to be sounding, one output latency from
  // now: after any note-on still waiting on the sequencer's queue.
  void releaseSounding();
  // The notes the other programs were told are sounding: (channel 0 ... 15, note).
  const std::multiset<std::pair<int, int>>& sounding() const { return sounding_; }

 private:
  void apply();
  void releaseSounding(double delaySeconds);

  MainThread& mainThread_;
  PianoEngine& engine_;
  MIDIInput& input_;
  SettingsStore& store_;
  bool sending_ = false;
  int channel_ = 1;
  bool localPiano_ = true;
  RenderCore* core_ = nullptr;  // the core whose notes are being sent
  std::multiset<std::pair<int, int>> sounding_;
  std::unique_ptr<TaskHandle> timer_;
};

}  // namespace quimbel
