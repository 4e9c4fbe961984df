#pragma once

#include <cmath>
#include <vector>

#include "audio/core/render_core.h"
#include "audio/core/render_core_state.h"

namespace quimbel::testing {

// A constant-level stereo sample, handy where exact amplitudes matter.
inline CoreSample* constantSample(float level, int frames) {
  std::vector<float> data(static_cast<std::size_t>(frames), level);
  return makeSample(data.data(), nullptr, frames);
}

// A decaying sine, a stand-in for a piano note.
inline CoreSample* toneSample(double frequency, int frames, double rate = 48000.0) {
  std::vector<float> left(static_cast<std::size_t>(frames));
  std::vector<float> right(static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i) {
    const double t = i / rate;
    left[static_cast<std::size_t>(i)] =
        static_cast<float>(0.5 * std::sin(2 * M_PI * frequency * t) * std::exp(-t));
    right[static_cast<std::size_t>(i)] =
        static_cast<float>(0.4 * std::sin(2 * M_PI * frequency * 1.01 * t) * std::exp(-t));
  }
  return makeSample(left.data(), right.data(), frames);
}

struct CoreDeleter {
  void operator()(RenderCore* core) const { destroyCore(core); }
};

// Renders frames in calls of block frames and returns the left channel (and
// the right one into right when given).
inline std::vector<float> renderFrames(RenderCore* core, int frames, int block = 128,
                                       std::vector<float>* right = nullptr) {
  std::vector<float> l(static_cast<std::size_t>(frames));
  std::vector<float> r(static_cast<std::size_t>(frames));
  for (int done = 0; done < frames;) {
    const int n = std::min(block, frames - done);
    render(core, l.data() + done, r.data() + done, n);
    done += n;
  }
  if (right != nullptr) *right = r;
  return l;
}

inline int soundingVoices(const RenderCore* core, bool clicks = false) {
  int count = 0;
  for (const Voice& v : core->voices) {
    if (v.sample != nullptr && (v.isClick != 0) == clicks) ++count;
  }
  return count;
}

}  // namespace quimbel::testing
