#pragma once

// The piano: one recording per sampled MIDI note, shipped as "<note>.caf"
// files in the data folder's "Piano" directory (or, when that directory does
// not exist, directly in the data folder).
//
// Thread contract: every function here is safe from any thread except the
// audio thread. The process-wide library is built once under its lock; the
// first caller pays for decoding and later callers wait for it, so
// preloadSampleLibrary() at launch moves that cost off the first key press.
// Conversion and installation run on the caller's thread (helped by worker
// threads) before the core is handed to the audio thread.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quimbel {

struct RenderCore;

using SampleChannel = std::shared_ptr<const std::vector<float>>;

// A decoded recording as float PCM. For a mono file `right` is the very same
// array as `left`.
struct Sound {
  SampleChannel left;
  SampleChannel right;
  double rate = 48000.0;

  std::size_t frames() const { return left ? left->size() : 0; }
};

// A recording as the library keeps it. 16-bit files stay 16-bit (their float
// form k / 32768 is exact and is rebuilt on demand), which halves the memory
// the resident library needs; other encodings are kept as float.
class StoredSound {
 public:
  StoredSound() = default;
  explicit StoredSound(Sound sound);
  StoredSound(std::vector<std::int16_t> left, std::optional<std::vector<std::int16_t>> right,
              double rate);

  // The float form, exactly what reading the file as float gives.
  Sound sound() const;

  // The same frames without building a Sound: pointers into the stored
  // arrays, or into the given buffers, filled for a 16-bit recording. For a
  // mono recording left and right are the same pointer.
  struct View {
    const float* left = nullptr;
    const float* right = nullptr;
    std::size_t frames = 0;
  };
  View view(std::vector<float>& leftBuffer, std::vector<float>& rightBuffer) const;
  double rate() const { return rate_; }
  std::size_t frames() const;
  bool mono() const;
  std::size_t bytes() const;

 private:
  std::shared_ptr<const std::vector<std::int16_t>> left16_, right16_;
  Sound float_;
  double rate_ = 48000.0;
};

using SampleLibrary = std::map<int, StoredSound>;

// The result of reading one file: the recording, or what went wrong.
struct SoundRead {
  std::optional<StoredSound> sound;
  std::string error;
};

// Decodes one audio file (any format libsndfile reads; the first two
// channels are used).
SoundRead readSoundFile(const std::filesystem::path& file);

// The note a file name stands for: the stem is a base-10 integer with an
// optional sign, digits only, in range. Anything else is not a sample.
std::optional<int> sampleNoteFromFileName(const std::filesystem::path& file);

// Reads every "<note>.caf" of `dataFolder`/Piano, or of `dataFolder` itself
// when "Piano" does not exist. Unreadable and badly named files are skipped;
// files are taken in name order and a later one replaces an earlier one of
// the same note ("60.caf" and "+60.caf").
SampleLibrary loadSampleLibrary(const std::filesystem::path& dataFolder);

// The process-wide library from dataFolder(), loaded on the first call and
// kept for the life of the process (also when empty, after writing
// "Quimbel: no piano samples" to standard error).
const SampleLibrary& sampleLibrary();

// Called once at launch: loads the process-wide library on a background
// thread and makes its core samples at `expectedRate` there too, so that the
// first core made at that rate is filled at once. Returns at once; later
// calls do nothing.
void preloadSampleLibrary(double expectedRate = 48000.0);

// The recording's two channels at `targetRate`: unchanged when the rates
// differ by less than 0.5 Hz or the sound is empty, else converted at the
// highest converter quality with the whole input flushed through.
Sound soundAtRate(const Sound& sound, double targetRate);

// Converts every sound of `library` to `rate` and installs it into the
// core's note slot, freeing what the core hands back (the previous occupant,
// or the sample itself for a note above 127).
void installSamples(RenderCore* core, const SampleLibrary& library, double rate);

// installSamples with the process-wide library: called right after
// createCore, before the core reaches the audio thread. Takes over the
// samples prepared at launch when the rate is the one they were made for
// (waiting for them when they are still being made).
void installPianoSamples(RenderCore* core, double rate);

}  // namespace quimbel
