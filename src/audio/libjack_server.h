#pragma once

// The real JACK server, through libjack: a client that never starts a
// server of its own, and whose messages stay off standard error (a machine
// without a server would otherwise see libjack's complaints at every look).
//
// Thread contract: as JackServer's. libjack calls the process callback on
// its real-time thread, the rate and period callbacks on its notification
// thread (the period's once more on the real-time thread at activation) and
// the shutdown callback on its notification thread.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/jack_server.h"

struct _jack_client;
struct _jack_port;

namespace quimbel {

class LibJackServer final : public JackServer {
 public:
  LibJackServer();
  ~LibJackServer() override;
  LibJackServer(const LibJackServer&) = delete;
  LibJackServer& operator=(const LibJackServer&) = delete;

  std::string open(JackEvents& events) override;
  void close() override;
  std::string name() const override;
  double rate() const override;
  std::uint32_t periodFrames() const override;
  std::uint32_t playbackLatencyFrames() const override;
  bool activate() override;
  void deactivate() override;
  void awaitPeriods(const std::function<bool()>& settled, double timeoutMs) override;
  void buffers(std::uint32_t frames, float** left, float** right) noexcept override;
  void writeMidi(std::uint32_t frames, const JackMidiEvent* events, int count) noexcept override;
  int readMidi(std::uint32_t frames, JackMidiEvent* events, int max) noexcept override;
  std::vector<std::string> physicalPlaybackPorts() override;
  std::vector<std::string> connections(int port) override;
  bool connect(int port, const std::string& destination) override;

 private:
  // libjack's callbacks, in its own types.
  struct Callbacks;

  _jack_client* client_ = nullptr;
  _jack_port* ports_[2] = {nullptr, nullptr};
  _jack_port* midiIn_ = nullptr;
  _jack_port* midiOut_ = nullptr;
  JackEvents* events_ = nullptr;
  std::atomic<std::uint32_t> rate_{0};
  std::atomic<std::uint32_t> period_{0};
};

}  // namespace quimbel
