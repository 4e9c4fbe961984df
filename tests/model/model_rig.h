#pragma once

// A pad model on virtual time with the real engine host over the on-demand
// backend: the test renders device buffers itself and lets the model's
// timers run for exactly the time those frames take.

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio/core/render_core.h"
#include "audio/fake_sequencer.h"
#include "audio/on_demand_backend.h"
#include "base/manual_main_thread.h"
#include "model/pad_model.h"

namespace quimbel::testing {

// A quiet tone on every octave's C: enough for every note to find a sample,
// so that each started chord reports its frame. Real piano files are not
// needed to test timing.
inline void installTestTones(RenderCore* core, double rate) {
  const int frames = static_cast<int>(rate * 3);
  std::vector<float> tone(static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i) tone[i] = 0.01f * std::sin(0.05f * static_cast<float>(i));
  for (std::uint32_t note = 24; note <= 108; note += 12) {
    freeSample(installSample(core, note, makeSample(tone.data(), nullptr, frames)));
  }
}

// Settings the store holds before the model is made.
using Stored = std::map<std::string, std::string>;

class ModelRig {
 public:
  explicit ModelRig(const Stored& stored = {}) {
    auto settings = std::make_unique<MemorySettingsStore>();
    for (const auto& [key, value] : stored) settings->setValue(key, value);
    settings_ = settings.get();
    model = std::make_unique<PadModel>(
        PadModel::Services{clock, main, backend, installTestTones, std::move(settings),
                           std::make_unique<FakeSequencer>(sequencer), true, false});
  }

  PadModel* operator->() { return model.get(); }
  MemorySettingsStore& settings() { return *settings_; }

  std::int64_t frame() { return model->engine().now(); }

  // Renders until the core's clock reaches `target` (one device buffer at a
  // time), running the model's timers for the same span of virtual time.
  void runTo(std::int64_t target) {
    while (frame() < target) {
      const auto n = static_cast<std::int32_t>(
          std::min<std::int64_t>(OnDemandBackend::BufferFrames, target - frame()));
      const double rate = model->engine().rate();
      const bool rendered = backend.pull(n);
      main.advance(n / rate * 1000.0);
      if (!rendered) return;  // no stream: the clock cannot move
      backend.clearOutput();
      if (afterBuffer) afterBuffer();
    }
  }
  void runFor(double seconds) {
    runTo(frame() + static_cast<std::int64_t>(seconds * model->engine().rate()));
  }

  ManualClock clock{1000.0};
  ManualMainThread main{clock};
  OnDemandBackend backend;
  SequencerState sequencer;           // its sources and what the model sent
  std::function<void()> afterBuffer;  // runs after every rendered buffer
  std::unique_ptr<PadModel> model;

 private:
  MemorySettingsStore* settings_ = nullptr;
};

// Starts the stream, counts in and stops at the downbeat, returning its frame.
inline std::int64_t countIn(ModelRig& rig, std::int64_t* pressed = nullptr) {
  rig->engine().ensureRunning();
  rig.runFor(0.1);
  if (pressed != nullptr) *pressed = rig.frame();
  rig->toggleRecord();
  while (rig->countN() < 4 && rig.frame() < 10 * 48000) rig.runFor(0.01);
  return rig->recStart();
}

inline std::int64_t at(std::int64_t downbeat, double seconds) {
  return downbeat + static_cast<std::int64_t>(seconds * 48000);
}

// Records pad 0 held for 0.25 s on the downbeat and pad 4 at `second`
// seconds, stopped at 1.9 s: a one-bar (2 s) take.
inline void recordTwoSecondTake(ModelRig& rig, double second = 1.0) {
  const std::int64_t downbeat = countIn(rig);
  rig.runTo(downbeat - 1000);
  rig->holdPad(0);
  rig->press(0);
  rig.runTo(at(downbeat, 0.25) - 1000);
  rig->release(0);
  rig.runTo(at(downbeat, second));
  rig->press(4);
  rig.runTo(at(downbeat, 1.9));
  rig->toggleRecord();
}

}  // namespace quimbel::testing
