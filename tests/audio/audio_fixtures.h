#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "audio/sample_bank.h"
#include "files/scratch.h"

namespace quimbel::testing {

using ScratchFolder = ::quimbel::ScratchDir;

inline Sound makeSound(std::vector<float> left, std::vector<float> right, double rate) {
  return Sound{std::make_shared<const std::vector<float>>(std::move(left)),
               std::make_shared<const std::vector<float>>(std::move(right)), rate};
}

inline std::vector<float> sine(double hz, double rate, double seconds, float amplitude = 0.5f) {
  std::vector<float> out(static_cast<std::size_t>(rate * seconds));
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * double(i) / rate));
  return out;
}

// One sine recording per note at the note's own pitch: every note plays in tune.
inline SampleLibrary sineLibrary(std::initializer_list<int> notes, double rate = 48000.0,
                                 double seconds = 3.0) {
  SampleLibrary library;
  for (int note : notes) {
    std::vector<float> wave = sine(440.0 * std::pow(2.0, (note - 69) / 12.0), rate, seconds);
    library.emplace(note, StoredSound(makeSound(wave, wave, rate)));
  }
  return library;
}

// Magnitude of the Hann-windowed signal at one frequency.
inline double magnitudeAt(std::span<const float> signal, double rate, double hz) {
  const double n = static_cast<double>(signal.size());
  std::complex<double> sum = 0.0;
  for (std::size_t i = 0; i < signal.size(); ++i) {
    const double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / n);
    sum += signal[i] * hann * std::polar(1.0, -2.0 * M_PI * hz * double(i) / rate);
  }
  return std::abs(sum) / n;
}

// The strongest frequency between low and high: 1 Hz steps, then `step`
// steps around the peak.
inline double strongestFrequency(std::span<const float> signal, double rate, double low,
                                 double high, double step) {
  auto peak = [&](double from, double to, double by) {
    double best = from, top = -1.0;
    for (double f = from; f <= to; f += by)
      if (const double m = magnitudeAt(signal, rate, f); m > top) top = m, best = f;
    return best;
  };
  const double coarse = peak(low, high, 1.0);
  return peak(coarse - 1.0, coarse + 1.0, std::min(step, 1.0));
}

inline double rms(std::span<const float> signal) {
  const double sum = std::inner_product(signal.begin(), signal.end(), signal.begin(), 0.0);
  return signal.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(signal.size()));
}

// The frames of `signal` between two times.
inline std::span<const float> between(const std::vector<float>& signal, double rate, double from,
                                      double to) {
  const auto a = static_cast<std::size_t>(from * rate);
  return std::span<const float>(signal).subspan(a, std::min(signal.size(), size_t(to * rate)) - a);
}

}  // namespace quimbel::testing
