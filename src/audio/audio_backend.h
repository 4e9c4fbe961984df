#pragma once

// The device layer under the engine host: an output stream of
// non-interleaved 32-bit float stereo whose callback does nothing but call
// render(core, left, right, frames). The program plays through the output
// switch, which picks the PortAudio or the JACK backend; tests use the
// on-demand backend, which renders only when asked.
//
// Thread contract
// - Main thread: everything, except the ended handler.
// - The ended handler runs on whatever thread the device layer notices the
//   stream's end on (often the audio thread): it may only set flags or call
//   MainThread::post, never lock for long or touch the engine host directly.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quimbel {

struct RenderCore;

// One output stream rendering one core.
class AudioStream {
 public:
  // Closes the stream; once it returns the callback never runs again.
  virtual ~AudioStream() = default;
  // Starts rendering. Returns an empty string on success, otherwise the
  // device layer's description of what went wrong.
  virtual std::string start() = 0;
  // Stops rendering; once it returns the callback never runs again and the
  // core may be touched freely. The ended handler does not fire for this.
  virtual void stop() = 0;
  virtual bool running() const = 0;
  // Output latency of the started stream in milliseconds, 0 when unknown.
  virtual double latencyMs() const = 0;
};

class AudioBackend {
 public:
  // Called at most once per stream when it stops or fails by itself (the
  // device went away, the sound server died).
  using EndedHandler = std::function<void()>;

  virtual ~AudioBackend() = default;
  // The rate the next stream should run at: 48000 when the default device
  // takes it, else the device's own default, else 48000.
  virtual double deviceRate() = 0;
  // Makes a stream that renders core at rate once started; never null. A
  // stream that could not be opened reports why from start().
  virtual std::unique_ptr<AudioStream> makeStream(RenderCore* core, double rate,
                                                  EndedHandler onEnded) = 0;
};

// A device layer with output devices to choose from (the system's, through
// PortAudio). Streams play on the default device unless one is named.
class DeviceBackend : public AudioBackend {
 public:
  // The names of the devices that play stereo, as of the latest look.
  virtual std::vector<std::string> outputDevices() = 0;
  // Streams made from now on play on the named device; empty: the default.
  virtual void useDevice(std::string name) = 0;
  // Streams made from now on ask for 64-frame buffers and a latency of at
  // most four of them, instead of 128 frames at the device's low-latency
  // setting.
  virtual void setLowLatency(bool on) = 0;
  // Cheap: true when devices may have come or gone since the latest look,
  // which the next look then takes afresh.
  virtual bool devicesChanged() = 0;
  // The next look starts afresh: a sound server the device layer may hold
  // on to has gone away.
  virtual void forgetDevices() = 0;
};

}  // namespace quimbel
