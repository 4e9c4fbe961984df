#pragma once

// The part of a JACK server the JACK backend uses, as an interface: the
// program talks to the real server through libjack (LibJackServer), the
// backend's tests to a fake one that they drive period by period.
//
// Thread contract
// - Main thread: every JackServer member except buffers().
// - The server's real-time thread: JackEvents::process, which may only call
//   buffers() and render into what it returns.
// - The server's other threads (and, for a rate or period report, any
//   thread the server likes, the real-time one included):
//   JackEvents::formatChanged and serverGone. They may only set flags or
//   hand the news to the main thread.
// Once close() returns, no event arrives any more.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quimbel {

// One MIDI message of a period: its frame within the period and its bytes.
struct JackMidiEvent {
  std::uint32_t offset = 0;
  std::uint8_t size = 0;
  std::uint8_t bytes[3] = {};
};

class JackEvents {
 public:
  virtual ~JackEvents() = default;
  // One period of `frames` frames is due.
  virtual void process(std::uint32_t frames) noexcept = 0;
  // The server runs at a new rate or period; either may be unchanged.
  virtual void formatChanged(double rate, std::uint32_t periodFrames) = 0;
  // The server has stopped or dropped the client; the client is dead.
  virtual void serverGone() = 0;
};

class JackServer {
 public:
  // The two output ports, in this order.
  static constexpr int kLeft = 0;
  static constexpr int kRight = 1;

  virtual ~JackServer() = default;
  // Opens the client "Quimbel" with the audio outputs out_left and out_right
  // and the MIDI ports midi_in and midi_out on a server that runs already
  // (none is started). Returns an empty string
  // on success, otherwise why not.
  virtual std::string open(JackEvents& events) = 0;
  virtual void close() = 0;
  // The server's name ("default" unless JACK_DEFAULT_SERVER names another).
  virtual std::string name() const = 0;
  virtual double rate() const = 0;
  virtual std::uint32_t periodFrames() const = 0;
  // Frames from the output ports to the speakers, as the server reports them.
  virtual std::uint32_t playbackLatencyFrames() const = 0;
  // Joins the client to the server's graph: process() runs once per period
  // from now on. False when the server refused.
  virtual bool activate() = 0;
  // Takes the client out of the graph; once it returns process() is neither
  // running nor called again. The server drops the ports' connections.
  virtual void deactivate() = 0;
  // Main thread, while the client is active: returns once settled() holds
  // (a period the server runs makes it true), or after about timeoutMs when
  // no period comes.
  virtual void awaitPeriods(const std::function<bool()>& settled, double timeoutMs) = 0;
  // Real-time thread: the output ports' buffers for the current period.
  virtual void buffers(std::uint32_t frames, float** left, float** right) noexcept = 0;
  // Real-time thread, once every period: what midi_out carries in it, in
  // offset order (none: an empty period).
  virtual void writeMidi(std::uint32_t frames, const JackMidiEvent* events, int count) noexcept = 0;
  // Real-time thread: up to max of the messages midi_in received this period.
  virtual int readMidi(std::uint32_t frames, JackMidiEvent* events, int max) noexcept = 0;
  // The physical playback ports (the sound card's inputs), in the server's order.
  virtual std::vector<std::string> physicalPlaybackPorts() = 0;
  // The ports an output port feeds, and a new connection from it.
  virtual std::vector<std::string> connections(int port) = 0;
  virtual bool connect(int port, const std::string& destination) = 0;
};

}  // namespace quimbel
