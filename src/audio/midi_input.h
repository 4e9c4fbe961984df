#pragma once

// MIDI input: every MIDI keyboard connected to the computer plays the pads.
// A note-on is first handed, on the sequencer's receive thread, to the render
// core's direct MIDI path (which may sound the pad's chord at once); then the
// note reaches onNote on the main thread.
//
// Thread contract
// - Main thread: construction, start(), refreshSources(), the callbacks and
//   destruction.
// - Sequencer thread (the receive thread of the sequencer, or a test):
//   receive() and sourcesChanged(). They only read their arguments, call the
//   lock-free midiNoteOn and post to the main thread; the posted work does
//   nothing once the input is gone.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <vector>

#include "base/main_thread.h"

namespace quimbel {

// What MIDIInput needs from the system's MIDI layer: the ALSA sequencer in
// the program, a fake in tests (there is no sequencer in CI).
class MidiSequencer {
 public:
  struct Handlers {
    // One packet of MIDI 1.0 Universal MIDI Packet words.
    std::function<void(std::span<const std::uint32_t> words)> receive;
    // A source appeared, disappeared, or the set-up changed otherwise.
    std::function<void()> setupChanged;
  };

  virtual ~MidiSequencer() = default;
  // Creates the client "Quimbel" with its input port "Quimbel in" and its
  // output port "Quimbel out", and starts delivering to the handlers (from
  // any thread). Returns 0, or the client creation status (negative) when
  // there is no client.
  virtual int open(Handlers handlers) = 0;
  // Every source that may be connected now; a reference of 0 means none.
  // Never the program's own output, nor a port the output feeds (a thru
  // port would hand every chord straight back).
  virtual std::vector<std::uint32_t> sources() = 0;
  // Connects the input port to a source, or lets go of one; failures are
  // ignored.
  virtual void connect(std::uint32_t source) = 0;
  virtual void disconnect(std::uint32_t) {}
  // Sends one three-byte channel message on the output port to everyone
  // subscribed: at once, or delaySeconds from now by the sequencer's clock.
  virtual void send(std::uint8_t, std::uint8_t, std::uint8_t, double) {}
};

// The notes the program sent out lately, so that the input can tell its own
// notes coming back through another program's MIDI thru: a note-on that
// arrives within EchoMs of one sent with the same note and channel is
// dropped. Lock-free: any thread may call either.
class EchoGuard {
 public:
  static constexpr double EchoMs = 5.0;
  EchoGuard();
  // channel 0 ... 15
  void sent(int channel, int note, double atMs);
  bool echoes(int channel, int note, double atMs) const;

 private:
  std::atomic<double> sentAt_[16][128];
};

// A sequencer with no sources and no traffic, for a model that must not open
// the system's MIDI (benchmarks, tests).
class NoMidiSequencer final : public MidiSequencer {
 public:
  int open(Handlers) override { return 0; }
  std::vector<std::uint32_t> sources() override { return {}; }
  void connect(std::uint32_t) override {}
};

// The ALSA sequencer, with a receive thread that turns note-on and note-off
// events into MIDI 1.0 channel-voice words and announcements into
// setupChanged. Source references are (client << 8) | port.
std::unique_ptr<MidiSequencer> makeAlsaSequencer();

class MIDIInput {
 public:
  // Words of one packet beyond this are not looked at.
  static constexpr std::size_t MaxWordsPerPacket = 64;

  // A null sequencer means the ALSA sequencer; a null clock the monotonic one
  // (it times the echoes, from the sequencer thread).
  MIDIInput(MainThread& mainThread, std::unique_ptr<MidiSequencer> sequencer = nullptr,
            const Clock* clock = nullptr);
  ~MIDIInput();
  MIDIInput(const MIDIInput&) = delete;
  MIDIInput& operator=(const MIDIInput&) = delete;

  // All start as no-ops; set them before start().
  std::function<void(int note, int velocity, int pad)> onNote;
  std::function<void(int note)> onNoteOff;
  std::function<void(int count)> onSources;

  // Makes this the current input, opens the sequencer and connects every
  // source. Without a sequencer client it logs "[audio] MIDI keyboards are
  // off: …" with the reason and the program runs on without MIDI.
  void start();
  // Connects sources not yet connected (none is disconnected) and reports
  // how many there are through onSources.
  void refreshSources();
  const std::set<std::uint32_t>& connected() const { return connected_; }

  // The one receive routine: one packet of UMP words, from the sequencer
  // thread, or from the main thread for JACK's midi_in (one caller at a time
  // gets through). Only MIDI 1.0 channel-voice note-ons and note-offs count.
  void receive(std::span<const std::uint32_t> words);
  // From the sequencer thread: schedules a source refresh on the main thread.
  void sourcesChanged();

  // The output port, main thread: one channel message, at once or later (see
  // MidiSequencer::send); a note-on is remembered as sent at that time.
  void send(std::uint8_t status, std::uint8_t note, std::uint8_t value, double delaySeconds = 0.0);
  EchoGuard& echoGuard() { return echo_; }
  double nowMs() const;
  // Note-ons dropped as echoes of the program's own output.
  long echoesDropped() const { return echoesDropped_.load(); }

 private:
  MainThread& mainThread_;
  std::unique_ptr<MidiSequencer> sequencer_;
  bool open_ = false;
  std::set<std::uint32_t> connected_;
  const Clock* clock_;
  EchoGuard echo_;
  std::atomic<long> echoesDropped_{0};
  std::mutex receiveLock_;
  // The current input is found through this token; the weak copies held by
  // posted work go empty when the input is destroyed.
  std::shared_ptr<MIDIInput*> self_;
};

}  // namespace quimbel
