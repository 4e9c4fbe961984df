#pragma once

#include <sndfile.h>
#include <stdlib.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/sample_bank.h"

namespace quimbel::testing {

// A fresh folder under the temporary directory, removed with its contents.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quimbel-audio-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes a small CAF file whose frame i, channel c holds value(i, c).
inline void writeCaf(const std::filesystem::path& file, int channels, int rate, int frames,
                     const std::function<float(int, int)>& value, int subtype = SF_FORMAT_PCM_16) {
  std::filesystem::create_directories(file.parent_path());
  SF_INFO info{};
  info.channels = channels;
  info.samplerate = rate;
  info.format = SF_FORMAT_CAF | subtype;
  SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
  if (out == nullptr) throw std::runtime_error("cannot write " + file.string());
  std::vector<float> interleaved(static_cast<std::size_t>(frames * channels));
  for (int i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c)
      interleaved[static_cast<std::size_t>(i * channels + c)] = value(i, c);
  }
  sf_writef_float(out, interleaved.data(), frames);
  sf_close(out);
}

// A 16-bit CAF file of the given interleaved samples.
inline void writeShortCaf(const std::filesystem::path& file, int channels, int rate,
                          const std::vector<std::int16_t>& interleaved) {
  std::filesystem::create_directories(file.parent_path());
  SF_INFO info{};
  info.channels = channels;
  info.samplerate = rate;
  info.format = SF_FORMAT_CAF | SF_FORMAT_PCM_16;
  SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
  if (out == nullptr) throw std::runtime_error("cannot write " + file.string());
  sf_writef_short(out, interleaved.data(), static_cast<sf_count_t>(interleaved.size()) / channels);
  sf_close(out);
}

// A small stereo CAF file holding one constant value: enough to tell files apart.
inline void writeLevelCaf(const std::filesystem::path& file, float level, int rate = 48000,
                          int frames = 64) {
  writeCaf(file, 2, rate, frames, [level](int, int) { return level; });
}

inline Sound makeSound(std::vector<float> left, std::vector<float> right, double rate) {
  Sound sound;
  sound.rate = rate;
  sound.left = std::make_shared<const std::vector<float>>(std::move(left));
  sound.right = std::make_shared<const std::vector<float>>(std::move(right));
  return sound;
}

inline std::vector<float> sine(double frequency, double rate, double seconds,
                               float amplitude = 0.5f) {
  std::vector<float> out(static_cast<std::size_t>(rate * seconds));
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = amplitude *
             static_cast<float>(std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / rate));
  }
  return out;
}

// A library with one sine recording per given note, each at the note's own
// equal-tempered pitch, so that the core plays every note in tune.
inline SampleLibrary sineLibrary(std::initializer_list<int> notes, double rate = 48000.0,
                                 double seconds = 3.0) {
  SampleLibrary library;
  for (int note : notes) {
    const double hz = 440.0 * std::pow(2.0, (note - 69) / 12.0);
    std::vector<float> wave = sine(hz, rate, seconds);
    library.emplace(note, StoredSound(makeSound(wave, wave, rate)));
  }
  return library;
}

// Magnitude of the Hann-windowed signal at one frequency.
inline double magnitudeAt(std::span<const float> signal, double rate, double frequency) {
  const double n = static_cast<double>(signal.size());
  // Rotating phasors instead of a sine and cosine per sample.
  const std::complex<double> turn = std::polar(1.0, -2.0 * M_PI * frequency / rate);
  const std::complex<double> windowTurn = std::polar(1.0, 2.0 * M_PI / n);
  std::complex<double> phase = 1.0, windowPhase = 1.0, sum = 0.0;
  for (float x : signal) {
    sum += static_cast<double>(x) * (0.5 - 0.5 * windowPhase.real()) * phase;
    phase *= turn;
    windowPhase *= windowTurn;
  }
  return std::abs(sum) / n;
}

// The strongest frequency between low and high to within `step` Hz: a scan
// in 1 Hz steps, refined around its peak.
inline double strongestFrequency(std::span<const float> signal, double rate, double low,
                                 double high, double step) {
  auto scan = [&](double from, double to, double by) {
    double best = from, bestMagnitude = -1.0;
    for (double f = from; f <= to; f += by) {
      const double m = magnitudeAt(signal, rate, f);
      if (m > bestMagnitude) {
        bestMagnitude = m;
        best = f;
      }
    }
    return best;
  };
  const double coarse = scan(low, high, std::max(step, 1.0));
  return step >= 1.0 ? coarse : scan(coarse - 1.0, coarse + 1.0, step);
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
