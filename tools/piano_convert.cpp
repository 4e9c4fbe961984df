// Converts the piano recordings (one OGG per sampled note, named like "D#1v10.ogg")
// into the data folder's "Piano" directory as "<MIDI note>.caf", 16-bit PCM at
// the recording's own rate. Recordings longer than the trim length are cut with
// a short raised-cosine fade, which keeps the decoded library small while every
// note still rings well past the point where the next chord would damp it.
//
// Usage: quimbel_piano_convert <input dir> <output dir> [trim seconds]

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr double kFadeSeconds = 0.5;

// "A0" is 21, "D#1" is 27, "C4" is 60, "C8" is 108; the velocity suffix is ignored.
std::optional<int> noteFromName(const std::string& stem) {
  static const int kLetterPitch[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
  if (stem.empty() || stem[0] < 'A' || stem[0] > 'G') return std::nullopt;
  int pitch = kLetterPitch[stem[0] - 'A'];
  size_t i = 1;
  if (i < stem.size() && stem[i] == '#') {
    ++pitch;
    ++i;
  } else if (i < stem.size() && stem[i] == 'b') {
    --pitch;
    ++i;
  }
  if (i >= stem.size() || !std::isdigit(static_cast<unsigned char>(stem[i]))) return std::nullopt;
  int octave = stem[i] - '0';
  return (octave + 1) * 12 + pitch;
}

bool convert(const fs::path& in, const fs::path& out, double trimSeconds) {
  SF_INFO info{};
  SNDFILE* src = sf_open(in.c_str(), SFM_READ, &info);
  if (!src) {
    std::fprintf(stderr, "piano_convert: %s: %s\n", in.c_str(), sf_strerror(nullptr));
    return false;
  }
  std::vector<float> frames(static_cast<size_t>(info.frames) * info.channels);
  sf_count_t got = sf_readf_float(src, frames.data(), info.frames);
  sf_close(src);
  frames.resize(static_cast<size_t>(got) * info.channels);

  sf_count_t keep = got;
  if (trimSeconds > 0) {
    auto limit = static_cast<sf_count_t>(std::llround(trimSeconds * info.samplerate));
    if (limit < keep) {
      keep = limit;
      auto fade = static_cast<sf_count_t>(std::llround(kFadeSeconds * info.samplerate));
      for (sf_count_t f = 0; f < fade; ++f) {
        double x = static_cast<double>(f + 1) / static_cast<double>(fade);
        auto gain = static_cast<float>(0.5 * (1.0 + std::cos(std::numbers::pi * x)));
        for (int c = 0; c < info.channels; ++c)
          frames[(keep - fade + f) * info.channels + c] *= gain;
      }
    }
  }

  SF_INFO outInfo{};
  outInfo.samplerate = info.samplerate;
  outInfo.channels = info.channels;
  outInfo.format = SF_FORMAT_CAF | SF_FORMAT_PCM_16;
  fs::path tmp = out;
  tmp += ".part";
  SNDFILE* dst = sf_open(tmp.c_str(), SFM_WRITE, &outInfo);
  if (!dst) {
    std::fprintf(stderr, "piano_convert: %s: %s\n", tmp.c_str(), sf_strerror(nullptr));
    return false;
  }
  sf_command(dst, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  bool ok = sf_writef_float(dst, frames.data(), keep) == keep;
  ok = sf_close(dst) == 0 && ok;
  if (!ok) {
    fs::remove(tmp);
    return false;
  }
  fs::rename(tmp, out);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: quimbel_piano_convert <input dir> <output dir> [trim seconds]\n");
    return 2;
  }
  fs::path inDir = argv[1], outDir = argv[2];
  double trimSeconds = argc > 3 ? std::atof(argv[3]) : 0.0;
  std::error_code ec;
  fs::create_directories(outDir, ec);
  int converted = 0, failed = 0;
  for (const auto& entry : fs::directory_iterator(inDir, ec)) {
    if (entry.path().extension() != ".ogg") continue;
    auto note = noteFromName(entry.path().stem().string());
    if (!note) continue;
    fs::path out = outDir / (std::to_string(*note) + ".caf");
    if (convert(entry.path(), out, trimSeconds))
      ++converted;
    else
      ++failed;
  }
  std::printf("piano_convert: %d notes written to %s\n", converted, outDir.c_str());
  return failed == 0 && converted > 0 ? 0 : 1;
}
