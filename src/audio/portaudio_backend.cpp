#include "audio/portaudio_backend.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

#include "audio/core/render_core.h"

namespace quimbel {

namespace {

constexpr double PreferredRate = 48000.0;
constexpr unsigned long BufferFrames = 128;
// Low latency: 64-frame buffers, and the device's low-latency setting or
// four such buffers, whichever is less, as the latency asked for. (Through a
// sound server's ALSA plugin, two buffers underflow often on a busy desktop.)
constexpr unsigned long LowLatencyBufferFrames = 64;
constexpr double LowLatencyBuffers = 4.0;

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

void ignoreMessage(const char*) {}

// PortAudio probes for a JACK server first, and libjack reports its absence
// on standard error. libjack comes into the process with PortAudio when
// PortAudio was built with it, so its setters are looked up rather than linked.
void silenceJackMessages() {
  using Setter = void (*)(void (*)(const char*));
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
    if (auto set = reinterpret_cast<Setter>(dlsym(RTLD_DEFAULT, name))) set(ignoreMessage);
  }
}

std::string describe(PaError error) {
  if (error == paUnanticipatedHostError) {
    const PaHostErrorInfo* info = Pa_GetLastHostErrorInfo();
    if (info && info->errorText && info->errorText[0]) return info->errorText;
  }
  return Pa_GetErrorText(error);
}

// The ALSA output devices that play stereo. (PortAudio's JACK host API, when
// it has one, is left out: the program is a JACK client of its own.)
std::vector<PaDeviceIndex> stereoOutputs() {
  std::vector<PaDeviceIndex> found;
  const PaHostApiIndex alsa = Pa_HostApiTypeIdToHostApiIndex(paALSA);
  for (PaDeviceIndex d = 0, n = Pa_GetDeviceCount(); d < n; ++d) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(d);
    if (info && info->hostApi == alsa && info->maxOutputChannels >= 2) found.push_back(d);
  }
  return found;
}

// The named device, or the default one for an empty name.
PaDeviceIndex findDevice(const std::string& name) {
  if (name.empty()) return Pa_GetDefaultOutputDevice();
  for (PaDeviceIndex d : stereoOutputs()) {
    if (name == Pa_GetDeviceInfo(d)->name) return d;
  }
  return paNoDevice;
}

bool outputParameters(PaStreamParameters& parameters, const std::string& name, bool lowLatency,
                      double rate) {
  PaDeviceIndex device = findDevice(name);
  if (device == paNoDevice) return false;
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  if (!info) return false;
  parameters = {};
  parameters.device = device;
  parameters.channelCount = 2;
  parameters.sampleFormat = paFloat32 | paNonInterleaved;
  parameters.suggestedLatency = lowLatency
                                    ? std::min(info->defaultLowOutputLatency,
                                               LowLatencyBuffers * LowLatencyBufferFrames / rate)
                                    : info->defaultLowOutputLatency;
  return true;
}

// The sound cards ALSA knows of, by number and name: cheap to read, and it
// changes when a card is plugged in or out.
std::string soundCards() {
  std::string cards;
  for (int card = -1; snd_card_next(&card) == 0 && card >= 0;) {
    char* name = nullptr;
    cards += std::to_string(card) + ':';
    if (snd_card_get_name(card, &name) == 0 && name) cards += name;
    std::free(name);
    cards += ';';
  }
  return cards;
}

}  // namespace

void silenceAlsaErrors() { snd_lib_error_set_handler(ignoreAlsaError); }

class PortAudioBackend::Stream final : public AudioStream {
 public:
  Stream(PortAudioBackend& owner, RenderCore* core, double rate, EndedHandler onEnded,
         bool initialised)
      : owner_(owner), core_(core), onEnded_(std::move(onEnded)) {
    ++owner_.openStreams_;
    owner_.newest_ = this;
    if (!initialised) {
      openError_ = "the audio system did not initialise";
      return;
    }
    PaStreamParameters parameters;
    if (!outputParameters(parameters, owner_.device_, owner_.lowLatency_, rate)) {
      openError_ = owner_.device_.empty() ? "no default output device"
                                          : "no output device named " + owner_.device_;
      owner_.stale_.store(true);
      return;
    }
    const unsigned long frames = owner_.lowLatency_ ? LowLatencyBufferFrames : BufferFrames;
    PaError error = Pa_OpenStream(&stream_, nullptr, &parameters, rate, frames, paNoFlag,
                                  &Stream::renderCallback, this);
    if (error != paNoError) {
      stream_ = nullptr;
      openError_ = describe(error);
      owner_.stale_.store(true);
      return;
    }
    Pa_SetStreamFinishedCallback(stream_, &Stream::finishedCallback);
  }

  ~Stream() override {
    if (stream_) {
      stopping_.store(true);
      Pa_CloseStream(stream_);
    }
    if (owner_.newest_ == this) owner_.newest_ = nullptr;
    --owner_.openStreams_;
  }

  std::string start() override {
    if (!stream_) return openError_;
    stopping_.store(false);
    PaError error = Pa_StartStream(stream_);
    if (error != paNoError) {
      stopping_.store(true);
      owner_.stale_.store(true);
      return describe(error);
    }
    return {};
  }

  void stop() override {
    if (!stream_ || Pa_IsStreamStopped(stream_) == 1) return;
    stopping_.store(true);
    Pa_AbortStream(stream_);
  }

  bool running() const override { return stream_ && Pa_IsStreamActive(stream_) == 1; }

  double latencyMs() const override {
    if (!running()) return 0.0;
    const PaStreamInfo* info = Pa_GetStreamInfo(stream_);
    return info ? info->outputLatency * 1000.0 : 0.0;
  }

  double cpuLoad() const { return stream_ ? Pa_GetStreamCpuLoad(stream_) : 0.0; }

 private:
  static int renderCallback(const void*, void* output, unsigned long frames,
                            const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* user) {
    auto** channels = static_cast<float**>(output);
    if (channels && channels[0] && channels[1]) {
      render(static_cast<Stream*>(user)->core_, channels[0], channels[1],
             static_cast<std::int32_t>(frames));
    }
    return paContinue;
  }

  // Runs on PortAudio's thread whenever the stream stops, also when it was
  // stopped on purpose; only an unasked-for end is reported, and only once.
  // Closing the stream waits for this callback to return.
  static void finishedCallback(void* user) {
    auto* self = static_cast<Stream*>(user);
    if (self->stopping_.load() || self->ended_.exchange(true)) return;
    self->owner_.stale_.store(true);
    if (self->onEnded_) self->onEnded_();
  }

  PortAudioBackend& owner_;
  RenderCore* core_;
  EndedHandler onEnded_;
  PaStream* stream_ = nullptr;
  std::string openError_;
  std::atomic<bool> stopping_{true};
  std::atomic<bool> ended_{false};
};

PortAudioBackend::PortAudioBackend() = default;

PortAudioBackend::~PortAudioBackend() {
  if (initialiser_.joinable()) initialiser_.join();
  if (initialised_) Pa_Terminate();
}

void PortAudioBackend::initialiseInBackground() {
  if (initialised_ || initialiser_.joinable()) return;
  initialiser_ = std::thread([this] {
    silenceAlsaErrors();
    silenceJackMessages();
    cards_ = soundCards();
    initialised_ = Pa_Initialize() == paNoError;
    stale_.store(!initialised_);
  });
}

bool PortAudioBackend::refresh() {
  if (initialiser_.joinable()) initialiser_.join();
  if (openStreams_ > 0 || (initialised_ && !stale_.load())) return initialised_;
  if (initialised_) Pa_Terminate();
  silenceAlsaErrors();
  silenceJackMessages();
  cards_ = soundCards();
  initialised_ = Pa_Initialize() == paNoError;
  stale_.store(!initialised_);
  return initialised_;
}

double PortAudioBackend::deviceRate() {
  if (!refresh()) return PreferredRate;
  PaStreamParameters parameters;
  if (!outputParameters(parameters, device_, lowLatency_, PreferredRate)) return PreferredRate;
  if (Pa_IsFormatSupported(nullptr, &parameters, PreferredRate) == paFormatIsSupported) {
    return PreferredRate;
  }
  const PaDeviceInfo* info = Pa_GetDeviceInfo(parameters.device);
  if (info && info->defaultSampleRate > 0.0) return info->defaultSampleRate;
  return PreferredRate;
}

std::unique_ptr<AudioStream> PortAudioBackend::makeStream(RenderCore* core, double rate,
                                                          EndedHandler onEnded) {
  bool initialised = refresh();
  return std::make_unique<Stream>(*this, core, rate, std::move(onEnded), initialised);
}

std::vector<std::string> PortAudioBackend::outputDevices() {
  std::vector<std::string> names;
  if (!refresh()) return names;
  for (PaDeviceIndex d : stereoOutputs()) {
    // The default device is what Automatic plays on.
    if (d == Pa_GetDefaultOutputDevice()) continue;
    std::string name = Pa_GetDeviceInfo(d)->name;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

bool PortAudioBackend::devicesChanged() {
  if (initialiser_.joinable()) initialiser_.join();
  if (soundCards() == cards_) return false;
  stale_.store(true);
  return true;
}

double PortAudioBackend::cpuLoad() const { return newest_ ? newest_->cpuLoad() : 0.0; }

}  // namespace quimbel
