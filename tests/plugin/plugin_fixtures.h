#pragma once

// What the plugin tests compare with: a piano of sine tones that plays every
// note exactly in tune, and the tray program's pad model sounding it.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_fixtures.h"
#include "audio/on_demand_backend.h"
#include "model/model_rig.h"
#include "model/pad_model.h"
#include "music/fresh_settings.h"
#include "plugin/lv2_host.h"

namespace quimbel::testing {

inline double noteHz(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

// A tone on every C, two seconds at 48 kHz, started off zero so that a
// note's first frame is heard; the piano files lie in a scratch folder that
// QUIMBEL_DATA_DIR names while this lives.
struct SinePiano {
  SinePiano() {
    std::filesystem::create_directories(scratch.path() / "Piano");
    SF_INFO info{0, 48000, 1, SF_FORMAT_CAF | SF_FORMAT_PCM_16, 0, 0};
    for (int note = 24; note <= 108; note += 12) {
      std::vector<float> tone(96000);
      for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.25f * float(std::sin(2 * M_PI * noteHz(note) * double(i) / 48000 + 1));
      const auto file = scratch.path() / "Piano" / (std::to_string(note) + ".caf");
      SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
      sf_writef_float(out, tone.data(), sf_count_t(tone.size()));
      sf_close(out);
    }
    setenv("QUIMBEL_DATA_DIR", scratch.path().c_str(), 1);
  }
  ~SinePiano() { unsetenv("QUIMBEL_DATA_DIR"); }
  ScratchFolder scratch;
};

// Settings as the pads and the plugins' controls know them; a fresh install
// unless told otherwise.
struct Setting {
  int tonic = kFreshKey.tonic, mode = kFreshKey.mode == Chords::Mode::minor, knob = kFreshKnob;
  bool sevenths = false, ninths = false, bass = kFreshBass, strum = false;
  float bpm = kFreshBpm;
  Chords::Key key() const { return {tonic, mode == 1 ? Chords::Mode::minor : Chords::Mode::major}; }
};

inline void applySetting(PluginRun& run, const Setting& s) {
  for (auto [symbol, value] : {std::pair{"tonic", s.tonic},
                               {"mode", s.mode},
                               {"knob", s.knob},
                               {"sevenths", int(s.sevenths)},
                               {"ninths", int(s.ninths)},
                               {"bass", int(s.bass)},
                               {"strum", int(s.strum)}})
    run.set(symbol, float(value));
}

// The tray program: a pad model on virtual time over the on-demand backend,
// its engine given the piano of `folder`.
struct TrayPads {
  TrayPads(const std::filesystem::path& folder, double rate, const Setting& s) {
    backend.setDeviceRate(rate);
    auto install = [folder](RenderCore* core, double at) {
      installSamples(core, loadSampleLibrary(folder), at);
    };
    model = std::make_unique<PadModel>(
        PadModel::Services{clock, main, backend, install, std::make_unique<MemorySettingsStore>(),
                           std::make_unique<FakeSequencer>(sequencer), false, false});
    model->setKey(s.key(), false);
    model->setKnob(s.knob);
    if (model->bass().get() != s.bass) model->toggleBass();
    model->setModifier(PadModel::Modifier::tabKey, s.sevenths);
    model->setModifier(PadModel::Modifier::shiftKey, s.ninths);
    model->setModifier(PadModel::Modifier::spaceKey, s.strum);
    model->updateModifiers(false);
    model->setBpm(int(s.bpm));
    model->setVolume(double(float(kFreshVolume)));  // as the plugin's float control holds it
    model->engine().ensureRunning();
  }

  // What the pads sound, `frames` long, when `pad` is pressed at `frame`.
  std::vector<float> pressAt(int pad, int velocity, std::int32_t frame, std::int32_t frames) {
    backend.pull(frame);
    model->press(pad, velocity);
    backend.pull(frames - frame);
    return backend.left();
  }

  ManualClock clock{1000.0};
  ManualMainThread main{clock};
  OnDemandBackend backend;
  SequencerState sequencer;
  std::unique_ptr<PadModel> model;
};

// Two recordings equal sample for sample, or where they first part.
inline ::testing::AssertionResult sameSound(const std::vector<float>& a,
                                            const std::vector<float>& b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << a.size() << " vs " << b.size();
  const auto [x, y] = std::mismatch(a.begin(), a.end(), b.begin());
  if (x == a.end()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "frame " << (x - a.begin()) << ": " << *x << " vs " << *y;
}

}  // namespace quimbel::testing
