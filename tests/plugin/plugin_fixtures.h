#pragma once

// What the plugin tests compare with: a piano of sine tones that plays every
// note exactly in tune, the tray program's pad model sounding the same piano,
// and the settings both are given.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_fixtures.h"
#include "audio/on_demand_backend.h"
#include "audio/sample_bank.h"
#include "model/model_rig.h"
#include "model/pad_model.h"
#include "plugin/lv2_host.h"

namespace quimbel::testing {

inline double noteHz(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

// A sine tone on every C (two seconds at 48 kHz), written as the program's piano files into a
// scratch folder that QUIMBEL_DATA_DIR names while it lives.
class SinePiano {
 public:
  SinePiano() {
    const auto piano = scratch_.path() / "Piano";
    std::filesystem::create_directories(piano);
    for (int note = 24; note <= 108; note += 12) {
      // Started off zero, so that a note's first frame is heard.
      std::vector<float> tone(96000);
      for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] =
            0.25f * static_cast<float>(std::sin(2 * M_PI * noteHz(note) * double(i) / 48000 + 1));
      SF_INFO info{};
      info.samplerate = 48000;
      info.channels = 1;
      info.format = SF_FORMAT_CAF | SF_FORMAT_PCM_16;
      const auto file = piano / (std::to_string(note) + ".caf");
      SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
      sf_writef_float(out, tone.data(), static_cast<sf_count_t>(tone.size()));
      sf_close(out);
    }
    setenv("QUIMBEL_DATA_DIR", scratch_.path().c_str(), 1);
  }
  ~SinePiano() { unsetenv("QUIMBEL_DATA_DIR"); }
  const std::filesystem::path& folder() const { return scratch_.path(); }

 private:
  ScratchFolder scratch_;
};

// The settings a test plays with, as the pads and the plugins' controls
// know them.
struct Setting {
  int tonic = 1, mode = 1, knob = -3;  // a fresh install: C♯ minor, knob −3
  bool sevenths = false, ninths = false, bass = true, strum = false;
  float bpm = 120.0f;
};

inline void applySetting(PluginRun& run, const Setting& s) {
  run.set("tonic", float(s.tonic));
  run.set("mode", float(s.mode));
  run.set("knob", float(s.knob));
  run.set("sevenths", s.sevenths ? 1.0f : 0.0f);
  run.set("ninths", s.ninths ? 1.0f : 0.0f);
  run.set("bass", s.bass ? 1.0f : 0.0f);
  run.set("strum", s.strum ? 1.0f : 0.0f);
}

// The tray program: a pad model on virtual time over the on-demand backend,
// its engine given the piano of `folder`.
class TrayPads {
 public:
  TrayPads(const std::filesystem::path& folder, double rate, const Setting& s) {
    backend.setDeviceRate(rate);
    auto install = [folder](RenderCore* core, double coreRate) {
      installSamples(core, loadSampleLibrary(folder), coreRate);
    };
    model = std::make_unique<PadModel>(
        PadModel::Services{clock, main, backend, install, std::make_unique<MemorySettingsStore>(),
                           std::make_unique<StubSequencer>(&sources), false, false});
    model->setKey({s.tonic, s.mode == 1 ? Chords::Mode::minor : Chords::Mode::major}, false);
    model->setKnob(s.knob);
    if (model->bass().get() != s.bass) model->toggleBass();
    model->setModifier(PadModel::Modifier::tabKey, s.sevenths);
    model->setModifier(PadModel::Modifier::shiftKey, s.ninths);
    model->setModifier(PadModel::Modifier::spaceKey, s.strum);
    model->updateModifiers(false);
    model->setBpm(static_cast<int>(s.bpm));
    // The plugin's volume control holds the fresh volume as a float.
    model->setVolume(static_cast<double>(0.8f));
    model->engine().ensureRunning();
  }

  // What the pads sound when pad `pad` is pressed at `frame`, `frames` long.
  std::vector<float> pressAt(int pad, int velocity, std::int32_t frame, std::int32_t frames) {
    backend.pull(frame);
    model->press(pad, velocity);
    backend.pull(frames - frame);
    return backend.left();
  }

  ManualClock clock{1000.0};
  ManualMainThread main{clock};
  OnDemandBackend backend;
  int sources = 0;
  std::unique_ptr<PadModel> model;
};

// Two recordings equal sample for sample, or where they first part.
inline ::testing::AssertionResult sameSound(const std::vector<float>& a,
                                            const std::vector<float>& b) {
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << "lengths " << a.size() << " and " << b.size();
  const auto [x, y] = std::mismatch(a.begin(), a.end(), b.begin());
  if (x == a.end()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "first difference at frame " << (x - a.begin()) << ": " << *x << " vs " << *y;
}

// The first frame that is not silent, or -1.
inline std::int64_t firstSound(const std::vector<float>& samples) {
  for (std::size_t i = 0; i < samples.size(); ++i)
    if (samples[i] != 0.0f) return static_cast<std::int64_t>(i);
  return -1;
}

}  // namespace quimbel::testing
