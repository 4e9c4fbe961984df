#pragma once

// A device layer for tests: streams render only when the test pulls frames,
// in device-sized buffers, on the calling thread. The test chooses the device
// rate, makes starts fail, and ends the running stream as a lost device would;
// it lists the output devices it is given, and a stream made for a device
// that is not among them fails to start.
//
// Thread contract: one thread (the test's) does everything; pull() stands in
// for the audio thread and endStream() for the device layer's ended report.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_backend.h"

namespace quimbel {

class OnDemandBackend final : public DeviceBackend {
 public:
  // Frames per device buffer, as the real device is asked for.
  static constexpr int BufferFrames = 128;

  OnDemandBackend();
  ~OnDemandBackend() override;

  double deviceRate() override;
  std::unique_ptr<AudioStream> makeStream(RenderCore* core, double rate,
                                          EndedHandler onEnded) override;
  std::vector<std::string> outputDevices() override;
  void useDevice(std::string name) override;
  void setLowLatency(bool on) override;
  // True after setDevices() changed the list, until the next outputDevices().
  bool devicesChanged() override;
  void forgetDevices() override { ++forgotten_; }
  // How often forgetDevices() was called.
  int forgotten() const { return forgotten_; }

  // The devices outputDevices() lists from now on.
  void setDevices(std::vector<std::string> names);
  // What the latest stream was made for: its device ("" for the default)
  // and whether it asked for low latency.
  const std::string& streamDevice() const;
  bool streamLowLatency() const;

  // The rate deviceRate() reports from now on.
  void setDeviceRate(double rate);
  // While set, every start fails with this description; nullopt lets starts
  // succeed again.
  void setStartFailure(std::optional<std::string> error);
  void setLatencyMs(double latencyMs);

  // Renders frames (in buffers of BufferFrames, the last one shorter) through
  // the running stream and appends them to left()/right(). Returns false and
  // renders nothing when no stream is running.
  bool pull(std::int32_t frames);
  const std::vector<float>& left() const;
  const std::vector<float>& right() const;
  void clearOutput();

  // The running stream stops by itself and reports its end, as when the
  // device disappears. Returns false when no stream was running.
  bool endStream();

  // Streams made so far, and how many of those are open now.
  int streamsMade() const;
  int streamsOpen() const;
  // The core the running stream renders, or null.
  RenderCore* renderingCore() const;

 private:
  class Stream;
  struct State;
  std::shared_ptr<State> state_;
  int forgotten_ = 0;
};

}  // namespace quimbel
