#pragma once

// The system's outputs through PortAudio: the default output device (ALSA's
// "default", which a desktop routes to its sound server) or an ALSA output
// device chosen by name, in 128-frame buffers at the device's low-latency
// setting, or (Low latency) in 64-frame buffers at no more than four of them.
//
// Thread contract: main thread only, apart from the stream callbacks, which
// PortAudio runs on its audio thread. The render callback calls render() and
// nothing else; the finished callback only hands the end to the engine host's
// handler (which posts to the main thread), and only for a stream that was
// not stopped on purpose.

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_backend.h"

namespace quimbel {

class PortAudioBackend final : public DeviceBackend {
 public:
  PortAudioBackend();
  // Every stream made here must be gone first.
  ~PortAudioBackend() override;
  PortAudioBackend(const PortAudioBackend&) = delete;
  PortAudioBackend& operator=(const PortAudioBackend&) = delete;

  // Starts PortAudio's initialisation on a background thread, so that the
  // first start does not wait the fraction of a second its device scan
  // takes. Meant for launch; the first call that needs PortAudio waits for
  // it to finish. Does nothing once PortAudio is initialised or while it is
  // being initialised.
  void initialiseInBackground();

  double deviceRate() override;
  std::unique_ptr<AudioStream> makeStream(RenderCore* core, double rate,
                                          EndedHandler onEnded) override;
  std::vector<std::string> outputDevices() override;
  void useDevice(std::string name) override { device_ = std::move(name); }
  void setLowLatency(bool on) override { lowLatency_ = on; }
  bool devicesChanged() override;
  void forgetDevices() override { stale_.store(true); }

  // The share of real time the newest open stream spends in its callback
  // (0 … 1, PortAudio's own measurement), or 0 without a stream.
  double cpuLoad() const;

 private:
  class Stream;
  // Initialises PortAudio, and while no stream is open initialises it again
  // after a failed start or a stream that died, so that devices and sound
  // servers that came or went since are seen. (A fresh initialisation scans
  // every device and takes a noticeable fraction of a second.)
  bool refresh();

  // The launch-time initialisation; joined before anything else uses
  // PortAudio, which then stays on the main thread.
  std::thread initialiser_;
  bool initialised_ = false;
  // Set by a failed start or a stream that ended by itself (audio thread).
  std::atomic<bool> stale_{true};
  int openStreams_ = 0;
  Stream* newest_ = nullptr;
  std::string device_;
  bool lowLatency_ = false;
  // The sound cards present at the latest initialisation.
  std::string cards_;
};

// Keeps ALSA's library from printing its diagnostics to standard error (a
// machine without sound devices or sequencer makes it print dozens of lines).
void silenceAlsaErrors();

}  // namespace quimbel
