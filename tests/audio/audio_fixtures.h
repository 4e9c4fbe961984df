#pragma once

#include <sndfile.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/sample_bank.h"

namespace quimbel::testing {

// A fresh folder that stands in as TMPDIR (where take folders go) while it
// lives, removed with its contents afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quimbel-audio-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
    if (const char* previous = std::getenv("TMPDIR")) saved_ = previous;
    setenv("TMPDIR", path_.c_str(), 1);
  }
  ~ScratchFolder() {
    saved_ ? setenv("TMPDIR", saved_->c_str(), 1) : unsetenv("TMPDIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> saved_;
};

// A 16-bit CAF file of the given interleaved samples.
inline void writeCaf(const std::filesystem::path& file, int channels, int rate,
                     const std::vector<std::int16_t>& interleaved) {
  std::filesystem::create_directories(file.parent_path());
  SF_INFO info{0, rate, channels, SF_FORMAT_CAF | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
  if (out == nullptr) throw std::runtime_error("cannot write " + file.string());
  sf_writef_short(out, interleaved.data(), static_cast<sf_count_t>(interleaved.size()) / channels);
  sf_close(out);
}

inline Sound makeSound(std::vector<float> left, std::vector<float> right, double rate) {
  return Sound{std::make_shared<const std::vector<float>>(std::move(left)),
               std::make_shared<const std::vector<float>>(std::move(right)), rate};
}

inline std::vector<float> sine(double hz, double rate, double seconds, float amplitude = 0.5f) {
  std::vector<float> out(static_cast<std::size_t>(rate * seconds));
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] =
        amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * static_cast<double>(i) / rate));
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

// Magnitude of the Hann-windowed signal at one frequency (rotating phasors).
inline double magnitudeAt(std::span<const float> signal, double rate, double hz) {
  const double n = static_cast<double>(signal.size());
  const std::complex<double> turn = std::polar(1.0, -2.0 * M_PI * hz / rate);
  const std::complex<double> windowTurn = std::polar(1.0, 2.0 * M_PI / n);
  std::complex<double> phase = 1.0, windowPhase = 1.0, sum = 0.0;
  for (float x : signal) {
    sum += static_cast<double>(x) * (0.5 - 0.5 * windowPhase.real()) * phase;
    phase *= turn;
    windowPhase *= windowTurn;
  }
  return std::abs(sum) / n;
}

// The strongest frequency between low and high: 1 Hz steps, then `step`
// steps around the peak.
inline double strongestFrequency(std::span<const float> signal, double rate, double low,
                                 double high, double step) {
  double best = low;
  for (double by : {1.0, std::min(step, 1.0)}) {
    const double from = by == 1.0 ? low : best - 1.0, to = by == 1.0 ? high : best + 1.0;
    double top = -1.0;
    for (double f = from; f <= to; f += by) {
      if (const double m = magnitudeAt(signal, rate, f); m > top) top = m, best = f;
    }
  }
  return best;
}

inline double rms(std::span<const float> signal) {
  double sum = 0.0;
  for (float x : signal) sum += static_cast<double>(x) * x;
  return signal.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(signal.size()));
}

// The frames of `signal` between two times.
inline std::span<const float> between(const std::vector<float>& signal, double rate, double from,
                                      double to) {
  const auto a = static_cast<std::size_t>(from * rate);
  const auto b = std::min(signal.size(), static_cast<std::size_t>(to * rate));
  return std::span<const float>(signal).subspan(a, b - a);
}

}  // namespace quimbel::testing
