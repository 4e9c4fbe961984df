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

#include <cstddef>
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
  // Shared 16-bit channels of `frames` values each; a null right is mono.
  StoredSound(std::shared_ptr<const std::int16_t> left, std::shared_ptr<const std::int16_t> right,
              std::size_t frames, double rate);

  // The float form, exactly what reading the file as float gives.
  Sound sound() const;

  // The same frames without building a Sound: pointers into the stored
  // arrays, or into the given buffers, filled for a 16-bit recording. For a
  // mono recording left and right are the same pointer. At most maxFrames
  // from the start.
  struct View {
    const float* left = nullptr;
    const float* right = nullptr;
    std::size_t frames = 0;
  };
  View view(std::vector<float>& leftBuffer, std::vector<float>& rightBuffer,
            std::size_t maxFrames = SIZE_MAX) const;
  double rate() const { return rate_; }
  std::size_t frames() const;
  bool mono() const;
  // A digest of the recording's PCM and shape, chained from seed.
  std::uint64_t digest(std::uint64_t seed) const;
  std::size_t bytes() const;

 private:
  std::shared_ptr<const std::int16_t> left16_, right16_;
  std::size_t frames16_ = 0;
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

// The "<note>.caf" files of `dataFolder`/Piano, or of `dataFolder` itself
// when "Piano" does not exist, by note, each note's files in name order.
using SampleFiles = std::map<int, std::vector<std::filesystem::path>>;
SampleFiles listSampleFiles(const std::filesystem::path& dataFolder);

// Reads every listed note. Unreadable and badly named files are skipped; a
// later file replaces an earlier one of the same note ("60.caf" and
// "+60.caf"), so a note's files are tried from the last one on.
SampleLibrary loadSampleLibrary(const std::filesystem::path& dataFolder);

// The library note the render core plays `note` (0 ... 127) from: the
// closest one in 0 ... 127, the lower one of two at the same distance.
std::optional<int> nearestSampleNote(const SampleLibrary& library, int note);

// The process-wide library from dataFolder(), loaded on the first call and
// kept for the life of the process (also when empty, after writing
// "Quimbel: no piano samples" to standard error).
const SampleLibrary& sampleLibrary();

// The part of the process-wide library that plays `notes`: for each note
// its nearest sample among all the library's notes, found as the core finds
// it. Decodes only those files, each at most once per process, so a one-off
// render does not pay for the whole piano.
SampleLibrary pianoSamplesNearest(const std::vector<int>& notes);

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

// installSamples for a render that reads each sample only up to a known
// point: `reach` gives, per note, how many frames at `rate` from the start
// any voice can read (notes it does not name are installed whole). A sample
// is converted and kept only that far, and plays exactly as the whole one
// does up to there.
void installSampleBeginnings(RenderCore* core, const SampleLibrary& library, double rate,
                             const std::map<int, std::size_t>& reach);

// installSamples with the process-wide library: called right after
// createCore, before the core reaches the audio thread. Takes over the
// samples prepared at launch when the rate is the one they were made for
// (waiting for them when they are still being made).
void installPianoSamples(RenderCore* core, double rate);

}  // namespace quimbel
