#include "audio/on_demand_backend.h"

#include <algorithm>
#include <utility>

#include "audio/core/render_core.h"

namespace quimbel {

struct OnDemandBackend::State {
  double deviceRate = 48000.0;
  std::optional<std::string> startFailure;
  double latencyMs = 0.0;
  std::vector<Stream*> open;
  Stream* rendering = nullptr;
  int made = 0;
  std::vector<float> left, right;
  std::vector<std::string> devices;
  bool devicesChanged = false;
  std::string device, streamDevice;
  bool lowLatency = false, streamLowLatency = false;
};

class OnDemandBackend::Stream final : public AudioStream {
 public:
  Stream(std::shared_ptr<State> state, RenderCore* core, EndedHandler onEnded)
      : state_(std::move(state)),
        core_(core),
        onEnded_(std::move(onEnded)),
        device_(state_->device) {
    state_->open.push_back(this);
  }

  ~Stream() override {
    stop();
    std::erase(state_->open, this);
  }

  std::string start() override {
    if (state_->startFailure) return *state_->startFailure;
    if (!device_.empty() && std::find(state_->devices.begin(), state_->devices.end(), device_) ==
                                state_->devices.end()) {
      return "no output device named " + device_;
    }
    if (state_->rendering && state_->rendering != this) {
      return "the device is busy with another stream";
    }
    state_->rendering = this;
    return {};
  }

  void stop() override {
    if (state_->rendering == this) state_->rendering = nullptr;
  }

  bool running() const override { return state_->rendering == this; }

  double latencyMs() const override { return running() ? state_->latencyMs : 0.0; }

  RenderCore* core() const { return core_; }

  void end() {
    stop();
    if (onEnded_) {
      auto handler = std::move(onEnded_);
      onEnded_ = nullptr;
      handler();
    }
  }

 private:
  std::shared_ptr<State> state_;
  RenderCore* core_;
  EndedHandler onEnded_;
  std::string device_;
};

OnDemandBackend::OnDemandBackend() : state_(std::make_shared<State>()) {}

OnDemandBackend::~OnDemandBackend() = default;

double OnDemandBackend::deviceRate() { return state_->deviceRate; }

std::unique_ptr<AudioStream> OnDemandBackend::makeStream(RenderCore* core, double /*rate*/,
                                                         EndedHandler onEnded) {
  ++state_->made;
  state_->streamDevice = state_->device;
  state_->streamLowLatency = state_->lowLatency;
  return std::make_unique<Stream>(state_, core, std::move(onEnded));
}

std::vector<std::string> OnDemandBackend::outputDevices() {
  state_->devicesChanged = false;
  return state_->devices;
}

void OnDemandBackend::useDevice(std::string name) { state_->device = std::move(name); }

void OnDemandBackend::setLowLatency(bool on) { state_->lowLatency = on; }

bool OnDemandBackend::devicesChanged() { return std::exchange(state_->devicesChanged, false); }

void OnDemandBackend::setDevices(std::vector<std::string> names) {
  state_->devicesChanged = names != state_->devices;
  state_->devices = std::move(names);
}

const std::string& OnDemandBackend::streamDevice() const { return state_->streamDevice; }

bool OnDemandBackend::streamLowLatency() const { return state_->streamLowLatency; }

void OnDemandBackend::setDeviceRate(double rate) { state_->deviceRate = rate; }

void OnDemandBackend::setStartFailure(std::optional<std::string> error) {
  state_->startFailure = std::move(error);
}

void OnDemandBackend::setLatencyMs(double latencyMs) { state_->latencyMs = latencyMs; }

bool OnDemandBackend::pull(std::int32_t frames) {
  Stream* stream = state_->rendering;
  if (!stream) return false;
  float left[BufferFrames];
  float right[BufferFrames];
  while (frames > 0) {
    std::int32_t n = std::min<std::int32_t>(frames, BufferFrames);
    render(stream->core(), left, right, n);
    state_->left.insert(state_->left.end(), left, left + n);
    state_->right.insert(state_->right.end(), right, right + n);
    frames -= n;
  }
  return true;
}

const std::vector<float>& OnDemandBackend::left() const { return state_->left; }

const std::vector<float>& OnDemandBackend::right() const { return state_->right; }

void OnDemandBackend::clearOutput() {
  state_->left.clear();
  state_->right.clear();
}

bool OnDemandBackend::endStream() {
  Stream* stream = state_->rendering;
  if (!stream) return false;
  stream->end();
  return true;
}

int OnDemandBackend::streamsMade() const { return state_->made; }

int OnDemandBackend::streamsOpen() const { return static_cast<int>(state_->open.size()); }

RenderCore* OnDemandBackend::renderingCore() const {
  return state_->rendering ? state_->rendering->core() : nullptr;
}

}  // namespace quimbel
