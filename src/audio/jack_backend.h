#pragma once

// The device layer for a JACK server (jackd, or PipeWire's JACK side): one
// client, "Quimbel", with the outputs out_left and out_right, whose process
// callback renders the server's period through the core, puts the notes the
// core reported for it on midi_out at their frames, and passes the note
// messages of midi_in on to the main thread. The rate is the server's. A stream ends by itself, and
// the engine host rebuilds, when the server goes away or changes its rate or period.
//
// The other programs listening on midi_out never keep a hanging note: when
// a stream stops (an output switch, the audio stopping while idle, quitting)
// its last period ends every note midi_out said is sounding and sends "all
// notes off" on each channel it played on; after that, until the client
// leaves the graph, midi_out stays silent.
//
// The client stays open between streams, so that a restart keeps the
// program's place in the server's graph; the connections the outputs had
// when a stream stopped are made again when the next one starts. The first
// time, the outputs go to the first two physical playback ports, unless
// auto-connection is off (for users who route by hand).
//
// Thread contract
// - Main thread: every member function, and the streams' functions.
// - The server's real-time thread: the process callback, which only reads
//   the rendering core's pointer and renders into the port buffers. A
//   stopping stream asks it for the notes' end through an atomic state and
//   waits for its answer a few periods at most (never when the server is
//   gone); the callback itself never waits.
// - The server's other threads report its end or a new format: they set
//   flags and call the running stream's ended handler, at most once per
//   stream, never after that stream's stop() returned.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_backend.h"
#include "audio/core/render_core.h"
#include "audio/core/spsc_ring.h"
#include "audio/jack_server.h"

namespace quimbel {

class JackBackend final : public AudioBackend, private JackEvents {
 public:
  // server must outlive the backend.
  explicit JackBackend(JackServer& server);
  // Every stream made here must be gone first; closes the client.
  ~JackBackend() override;
  JackBackend(const JackBackend&) = delete;
  JackBackend& operator=(const JackBackend&) = delete;

  // True when a server answers. An open client answers for it; otherwise a
  // client is opened and closed again, unless keepOpen. A client whose
  // server went away is closed first (when no stream is running).
  bool available(bool keepOpen = false);
  // Closes the client, so that the program's ports leave the server's
  // graph; only while no stream runs. The next stream opens a new one.
  void release();
  // "<server name>, <rate> Hz, <period> frames", or empty when no server
  // answers.
  std::string describe();
  // On by default.
  void setAutoConnect(bool on) { autoConnect_ = on; }
  // How many clients were let go because their server had gone away.
  int serverLosses() const { return serverLosses_; }

  // Main thread: up to max note messages midi_in received, as MIDI 1.0
  // channel-voice words for MIDIInput::receive, oldest first.
  int receivedMidi(std::uint32_t* words, int max);

  // The server's rate; 48000 when no server answers (the stream made for
  // it then fails to start).
  double deviceRate() override;
  std::unique_ptr<AudioStream> makeStream(RenderCore* core, double rate,
                                          EndedHandler onEnded) override;

 private:
  class Stream;

  void process(std::uint32_t frames) noexcept override;
  // The period's note events from the core, in time order, into midiOut_.
  int periodMidi(RenderCore* core, std::int64_t periodStart) noexcept;
  // Counts the notes the period's first `count` messages start and end.
  void trackSounding(int count) noexcept;
  // After the period's messages, at its last frame: a note-off for every
  // note still sounding and "all notes off" on each channel played on.
  int endSounding(int count, std::uint32_t frames) noexcept;
  // Main thread, while the client is active: has the next period end the
  // notes, and waits for it a little.
  void endNotesBeforeStop();
  void takeMidiIn(std::uint32_t frames) noexcept;
  void formatChanged(double rate, std::uint32_t periodFrames) override;
  void serverGone() override;
  // Calls the running stream's ended handler once (any thread).
  void reportEnd();
  // Stops reports to the running stream, waiting for one in progress.
  void disarm();
  void closeClient();

  JackServer& server_;
  bool open_ = false;
  bool autoConnect_ = true;
  int serverLosses_ = 0;
  Stream* running_ = nullptr;
  // The connections each output had when the last stream stopped.
  std::optional<std::array<std::vector<std::string>, 2>> remembered_;

  std::atomic<RenderCore*> core_{nullptr};
  std::atomic<bool> gone_{false};
  // The format the running stream started with; a report of another one
  // ends the stream.
  std::atomic<double> startedRate_{0.0};
  std::atomic<std::uint32_t> startedPeriod_{0};
  // Idle, armed (a stream runs), firing (its handler is being called),
  // fired. The handler is set only while idle.
  std::atomic<int> endState_{0};
  EndedHandler onEnded_;
  // Playing, end asked (by a stopping stream), end said (midi_out silent).
  std::atomic<int> closing_{0};
  // The real-time thread's own: the period's midi_out messages (the core's,
  // then room for the notes' end), how many note-ons midi_out said are
  // sounding per channel and note, and the channels it played on.
  static constexpr int kMidiOutRoom = CoreMidiBlockCapacity + 256;
  JackMidiEvent midiOut_[kMidiOutRoom];
  std::uint8_t soundingOut_[16][128] = {};
  std::uint16_t channelsOut_ = 0;
  SpscRing<std::uint32_t, 1024> midiIn_;
};

}  // namespace quimbel
