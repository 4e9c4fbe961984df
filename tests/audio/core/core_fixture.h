#pragma once

#include <cmath>
#include <memory>
#include <vector>

#include "audio/core/render_core.h"
#include "audio/core/render_core_state.h"

namespace quimbel::testing {

struct CoreDeleter {
  void operator()(RenderCore* core) const { destroyCore(core); }
};
using CorePtr = std::unique_ptr<RenderCore, CoreDeleter>;

// A constant-level sample, handy where exact amplitudes matter.
inline CoreSample* constantSample(float level, int frames) {
  std::vector<float> data(static_cast<std::size_t>(frames), level);
  return makeSample(data.data(), nullptr, frames);
}

// A decaying sine with a slightly detuned right channel, a stand-in for a
// piano note.
inline CoreSample* toneSample(double frequency, int frames) {
  std::vector<float> l(static_cast<std::size_t>(frames)), r(l.size());
  for (std::size_t i = 0; i < l.size(); ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    l[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * frequency * t) * std::exp(-t));
    r[i] = static_cast<float>(0.4 * std::sin(2 * M_PI * frequency * 1.01 * t) * std::exp(-t));
  }
  return makeSample(l.data(), r.data(), frames);
}

// Renders in calls of `block` frames and returns the left channel.
inline std::vector<float> renderFrames(RenderCore* core, int frames, int block = 128) {
  std::vector<float> l(static_cast<std::size_t>(frames)), r(l.size());
  for (int done = 0; done < frames; done += block)
    render(core, l.data() + done, r.data() + done, std::min(block, frames - done));
  return l;
}

inline int soundingVoices(const RenderCore* core, bool clicks = false) {
  int count = 0;
  for (const Voice& v : core->voices) count += v.sample != nullptr && (v.isClick != 0) == clicks;
  return count;
}

}  // namespace quimbel::testing
