#pragma once

// A JACK server for tests: it answers or not as the test says, and runs a
// period through the client only when cycle() is called, on the test's
// thread. The test changes the rate and period, kills the server and starts
// it again, as a user would with jackd.

#include <array>
#include <string>
#include <vector>

#include "audio/jack_server.h"

namespace quimbel::testing {

class FakeJackServer final : public JackServer {
 public:
  using Wiring = std::array<std::vector<std::string>, 2>;

  bool running = true;
  double sampleRate = 48000.0;
  std::uint32_t period = 128;
  std::vector<std::string> speakers{"system:playback_1", "system:playback_2"};
  Wiring wired;
  int opens = 0, activations = 0, awaits = 0;
  bool active = false;
  // What the outputs carried, period after period, in play().
  std::vector<float> left, right;
  // What midi_out carried, each event's offset counted from the first
  // period; and what midi_in receives in the next period.
  std::vector<JackMidiEvent> midiOut;
  std::vector<JackMidiEvent> midiIn;
  std::uint64_t periodsRun = 0;

  std::string open(JackEvents& events) override {
    if (!running) return "no JACK server is running";
    ++opens;
    events_ = &events;
    return {};
  }
  void close() override { events_ = nullptr, active = false; }
  bool clientOpen() const { return events_ != nullptr; }
  std::string name() const override { return "default"; }
  double rate() const override { return sampleRate; }
  std::uint32_t periodFrames() const override { return period; }
  std::uint32_t playbackLatencyFrames() const override { return period; }
  bool activate() override { return active = running && events_ && ++activations; }
  void deactivate() override { active = false, wired = {}; }
  // A running server goes on with its periods while the client waits.
  void awaitPeriods(const std::function<bool()>& settled, double) override {
    ++awaits;
    for (int i = 0; i < 3 && !settled() && cycle(); ++i) {
    }
  }
  void buffers(std::uint32_t frames, float** l, float** r) noexcept override {
    const bool fits = frames <= ports_[0].size();
    *l = fits ? ports_[0].data() : nullptr;
    *r = fits ? ports_[1].data() : nullptr;
  }
  void writeMidi(std::uint32_t, const JackMidiEvent* events, int count) noexcept override {
    for (int i = 0; i < count && midiOut.size() < midiOut.capacity(); ++i) {
      midiOut.push_back(events[i]);
      midiOut.back().offset += static_cast<std::uint32_t>(periodsRun * period);
    }
    ++periodsRun;
  }
  int readMidi(std::uint32_t, JackMidiEvent* events, int max) noexcept override {
    int count = 0;
    for (; count < max && count < static_cast<int>(midiIn.size()); ++count)
      events[count] = midiIn[count];
    midiIn.clear();
    return count;
  }
  std::vector<std::string> physicalPlaybackPorts() override { return speakers; }
  std::vector<std::string> connections(int port) override { return wired[std::size_t(port)]; }
  bool connect(int port, const std::string& to) override {
    wired[std::size_t(port)].push_back(to);
    return true;
  }

  // One period through the active client, allocating nothing; false when
  // there is none.
  bool cycle() noexcept { return active && events_ && (events_->process(period), true); }
  // Cycles until at least `frames` frames went out, keeping them.
  bool play(std::size_t frames) {
    for (std::size_t done = 0; done < frames; done += period) {
      if (!cycle()) return false;
      left.insert(left.end(), ports_[0].begin(), ports_[0].begin() + period);
      right.insert(right.end(), ports_[1].begin(), ports_[1].begin() + period);
    }
    return true;
  }
  void changeFormat(double rate, std::uint32_t frames) {
    sampleRate = rate, period = frames;
    if (events_) events_->formatChanged(rate, frames);
  }
  // jackd killed: the client hears of it and nothing answers any more.
  void kill() {
    running = active = false;
    wired = {};
    if (events_) events_->serverGone();
  }

 private:
  JackEvents* events_ = nullptr;
  std::array<std::vector<float>, 2> ports_{std::vector<float>(8192), std::vector<float>(8192)};
};

}  // namespace quimbel::testing
