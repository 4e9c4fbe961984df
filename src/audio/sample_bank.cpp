#include "audio/sample_bank.h"

#include <sndfile.h>
#include <soxr.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "audio/core/render_core.h"
#include "audio/resampler_settings.h"
#include "audio/sample_cache.h"
#include "diagnostics/report.h"
#include "files/data_folder.h"

namespace quimbel {
namespace {

// libsndfile's float form of a 16-bit sample: k / 32768.
constexpr float kShortScale = 1.0f / 32768.0f;

std::vector<float> expand(const std::int16_t* samples, std::size_t count) {
  std::vector<float> out(count);
  std::transform(samples, samples + count, out.begin(),
                 [](std::int16_t k) { return static_cast<float>(k) * kShortScale; });
  return out;
}

// Decoded recordings are large, written once and kept for the life of the
// process. They are carved out of blocks the kernel may back with huge
// pages: filling tens of megabytes page by page costs more than decoding
// them. A block is returned to the system once no recording uses it.
class PcmBlocks {
 public:
  static constexpr std::size_t kBlockBytes = std::size_t{16} << 20;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  // Room for `count` 16-bit values, aligned for vector loads.
  std::shared_ptr<std::int16_t> take(std::size_t count) {
    const std::size_t bytes = (count * sizeof(std::int16_t) + 63) & ~std::size_t{63};
    std::lock_guard lock(mutex_);
    if (!current_ || used_ + bytes > current_->bytes) {
      auto block = Block::make(std::max(bytes, kBlockBytes));
      if (!block) return {};
      if (bytes > kBlockBytes) return {block, static_cast<std::int16_t*>(block->start)};
      current_ = std::move(block);
      used_ = 0;
    }
    auto* start =
        static_cast<std::int16_t*>(static_cast<void*>(static_cast<char*>(current_->start) + used_));
    used_ += bytes;
    return {current_, start};
  }

 private:
  struct Block {
    void* mapping = nullptr;
    std::size_t mapped = 0;
    void* start = nullptr;  // the first huge-page boundary in the mapping
    std::size_t bytes = 0;

    static std::shared_ptr<Block> make(std::size_t bytes) {
      auto block = std::make_shared<Block>();
      block->mapped = bytes + kHugePage;
      block->mapping =
          mmap(nullptr, block->mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (block->mapping == MAP_FAILED) return {};
      const auto address = reinterpret_cast<std::uintptr_t>(block->mapping);
      block->start = reinterpret_cast<void*>((address + kHugePage - 1) & ~(kHugePage - 1));
      block->bytes = bytes;
      // Only advice: without huge pages the block works page by page.
      madvise(block->start, bytes, MADV_HUGEPAGE);
      return block;
    }
    ~Block() {
      if (mapping != nullptr) munmap(mapping, mapped);
    }
  };

  std::mutex mutex_;
  std::shared_ptr<Block> current_;
  std::size_t used_ = 0;
};

PcmBlocks& pcmBlocks() {
  static auto* blocks = new PcmBlocks;  // never destroyed: recordings may outlive statics
  return *blocks;
}

bool isSixteenBit(const SF_INFO& info) {
  return (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
}

struct FileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};

std::mutex& libraryMutex() {
  // Never destroyed: a preloading thread may still hold it while the
  // process exits.
  static auto* mutex = new std::mutex;
  return *mutex;
}

// The process-wide library as far as it has been read: files are decoded
// note by note when first needed, each at most once.
struct ProcessLibrary {
  bool listed = false;
  SampleFiles unread;     // listed notes not decoded yet
  SampleLibrary sounds;   // notes decoded so far
  bool complete = false;  // every listed note decoded: `sounds` is the library
  bool reported = false;  // the missing piano has been reported
};

ProcessLibrary& processLibrary() {
  static auto* library = new ProcessLibrary;  // never destroyed, like the lock
  return *library;
}

// Workers that turn the library's sounds into core samples. The conversions
// are independent of each other, so a change of device rate is paid once
// per core rather than once per note in sequence.
unsigned workerCount(std::size_t jobs) {
  const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(
      std::min<std::size_t>({hardware, 4u, std::max<std::size_t>(jobs, 1)}));
}

}  // namespace

StoredSound::StoredSound(Sound sound) : float_(std::move(sound)), rate_(float_.rate) {}

StoredSound::StoredSound(std::vector<std::int16_t> left,
                         std::optional<std::vector<std::int16_t>> right, double rate)
    : frames16_(left.size()), rate_(rate) {
  auto keep = [](std::vector<std::int16_t> values) {
    auto held = std::make_shared<const std::vector<std::int16_t>>(std::move(values));
    return std::shared_ptr<const std::int16_t>(held, held->data());
  };
  left16_ = keep(std::move(left));
  right16_ = right ? keep(std::move(*right)) : left16_;
}

StoredSound::StoredSound(std::shared_ptr<const std::int16_t> left,
                         std::shared_ptr<const std::int16_t> right, std::size_t frames, double rate)
    : left16_(std::move(left)),
      right16_(right ? std::move(right) : left16_),
      frames16_(frames),
      rate_(rate) {}

Sound StoredSound::sound() const {
  if (!left16_) return float_;
  Sound out;
  out.rate = rate_;
  out.left = std::make_shared<const std::vector<float>>(expand(left16_.get(), frames16_));
  out.right = right16_ == left16_
                  ? out.left
                  : std::make_shared<const std::vector<float>>(expand(right16_.get(), frames16_));
  return out;
}

StoredSound::View StoredSound::view(std::vector<float>& leftBuffer, std::vector<float>& rightBuffer,
                                    std::size_t maxFrames) const {
  const std::size_t count = std::min(frames(), maxFrames);
  if (!left16_) {
    if (!float_.left) return {};
    return {float_.left->data(), float_.right->data(), count};
  }
  auto fill = [count](const std::int16_t* from, std::vector<float>& to) {
    to.resize(count);
    std::transform(from, from + count, to.begin(),
                   [](std::int16_t k) { return static_cast<float>(k) * kShortScale; });
  };
  fill(left16_.get(), leftBuffer);
  if (right16_ == left16_) return {leftBuffer.data(), leftBuffer.data(), count};
  fill(right16_.get(), rightBuffer);
  return {leftBuffer.data(), rightBuffer.data(), count};
}

std::size_t StoredSound::frames() const { return left16_ ? frames16_ : float_.frames(); }

std::uint64_t StoredSound::digest(std::uint64_t seed) const {
  const std::uint64_t shape[3] = {frames(), mono() ? 1u : 2u, left16_ ? 16u : 32u};
  std::uint64_t h = digestBytes(shape, sizeof shape, seed);
  auto channel = [&](const void* data, std::size_t bytes) { h = digestBytes(data, bytes, h); };
  if (left16_) {
    channel(left16_.get(), frames16_ * sizeof(std::int16_t));
    if (!mono()) channel(right16_.get(), frames16_ * sizeof(std::int16_t));
  } else if (float_.left) {
    channel(float_.left->data(), float_.left->size() * sizeof(float));
    if (!mono()) channel(float_.right->data(), float_.right->size() * sizeof(float));
  }
  return h;
}

bool StoredSound::mono() const {
  return left16_ ? right16_ == left16_ : float_.right == float_.left;
}

std::size_t StoredSound::bytes() const {
  if (left16_) return frames() * sizeof(std::int16_t) * (mono() ? 1 : 2);
  return frames() * sizeof(float) * (mono() ? 1 : 2);
}

SoundRead readSoundFile(const std::filesystem::path& file) {
  SF_INFO info{};
  std::unique_ptr<SNDFILE, FileCloser> handle(sf_open(file.c_str(), SFM_READ, &info));
  if (!handle) return {std::nullopt, file.string() + ": " + sf_strerror(nullptr)};
  // A length the 32-bit sample frames of the core cannot hold is as unusable
  // as an empty one.
  if (info.frames <= 0 || info.frames > std::numeric_limits<std::int32_t>::max() ||
      info.channels < 1) {
    return {std::nullopt, file.string() + ": no audio frames"};
  }
  const auto frames = static_cast<std::size_t>(info.frames);
  const auto channels = info.channels;

  // Read in slices, so that only the two channels are ever held at full
  // length. Gives the frames read: a file shorter than its header claims
  // keeps what could be read.
  auto readAll = [&]<class T>(auto readFrames, T* left, T* right) {
    constexpr std::size_t kSliceFrames = 16384;
    std::vector<T> slice(kSliceFrames * static_cast<std::size_t>(channels));
    const auto step = static_cast<std::size_t>(channels);
    std::size_t done = 0;
    while (done < frames) {
      const sf_count_t want = static_cast<sf_count_t>(std::min(kSliceFrames, frames - done));
      const sf_count_t got = readFrames(handle.get(), slice.data(), want);
      if (got <= 0) break;
      for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
        left[done + i] = slice[i * step];
        if (right != nullptr) right[done + i] = slice[i * step + 1];
      }
      done += static_cast<std::size_t>(got);
    }
    return done;
  };

  if (isSixteenBit(info)) {
    std::shared_ptr<std::int16_t> left = pcmBlocks().take(frames);
    std::shared_ptr<std::int16_t> right = channels >= 2 ? pcmBlocks().take(frames) : nullptr;
    if (!left || (channels >= 2 && !right))
      return {std::nullopt, file.string() + ": no memory for the audio data"};
    const std::size_t done = readAll(sf_readf_short, left.get(), right.get());
    if (done == 0) return {std::nullopt, file.string() + ": unreadable audio data"};
    return {StoredSound(std::move(left), std::move(right), done, info.samplerate), {}};
  }
  std::vector<float> left(frames), right(channels >= 2 ? frames : 0);
  const std::size_t done =
      readAll(sf_readf_float, left.data(), channels >= 2 ? right.data() : nullptr);
  if (done == 0) return {std::nullopt, file.string() + ": unreadable audio data"};
  left.resize(done);
  if (channels >= 2) right.resize(done);
  Sound sound;
  sound.rate = info.samplerate;
  sound.left = std::make_shared<const std::vector<float>>(std::move(left));
  sound.right =
      channels >= 2 ? std::make_shared<const std::vector<float>>(std::move(right)) : sound.left;
  return {StoredSound(std::move(sound)), {}};
}

std::optional<int> sampleNoteFromFileName(const std::filesystem::path& file) {
  const std::string stem = file.stem().string();
  std::string_view digits = stem;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // Parsed as a magnitude first so that "-2147483648" is still accepted.
  std::uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
  if (magnitude > limit) return std::nullopt;
  return negative ? static_cast<int>(-static_cast<std::int64_t>(magnitude))
                  : static_cast<int>(magnitude);
}

SampleFiles listSampleFiles(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::path source = folder / "Piano";
  if (!std::filesystem::is_directory(source, error)) source = folder;

  std::vector<std::filesystem::path> files;
  for (std::filesystem::directory_iterator it(source, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().extension() == ".caf") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());

  SampleFiles listed;
  for (const auto& file : files) {
    if (auto note = sampleNoteFromFileName(file)) listed[*note].push_back(file);
  }
  return listed;
}

namespace {

// A note's recording: its last readable file, as if every file had been
// read in name order with later ones replacing earlier ones.
std::optional<StoredSound> readNote(const std::vector<std::filesystem::path>& files) {
  for (auto file = files.rbegin(); file != files.rend(); ++file) {
    SoundRead read = readSoundFile(*file);
    if (read.sound) return std::move(read.sound);
  }
  return std::nullopt;
}

// Reads the given notes into `into` and drops them from `unread`. Decoding
// is mostly unpacking and waiting for the disk: spread over a few threads.
void readNotes(SampleFiles& unread, const std::vector<int>& notes, SampleLibrary& into) {
  std::vector<const std::vector<std::filesystem::path>*> files;
  for (int note : notes) files.push_back(&unread.at(note));
  std::vector<std::optional<StoredSound>> decoded(notes.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < notes.size(); i = next++) decoded[i] = readNote(*files[i]);
  };
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < workerCount(notes.size()); ++i) helpers.emplace_back(work);
  work();
  for (auto& helper : helpers) helper.join();
  for (std::size_t i = 0; i < notes.size(); ++i) {
    if (decoded[i]) into.insert_or_assign(notes[i], std::move(*decoded[i]));
    unread.erase(notes[i]);
  }
}

std::vector<int> notesOf(const SampleFiles& files) {
  std::vector<int> notes;
  for (const auto& entry : files) notes.push_back(entry.first);
  return notes;
}

// The core's choice among sorted candidate notes (see nearestSampleNote).
template <class Sorted, class KeyOf>
std::optional<int> nearestIn(const Sorted& sorted, int note, KeyOf keyOf) {
  if (note < 0 || note > 127) return std::nullopt;
  std::optional<int> below, above;
  auto at = sorted.upper_bound(note);
  if (at != sorted.begin() && keyOf(*std::prev(at)) >= 0) below = keyOf(*std::prev(at));
  at = sorted.lower_bound(note);
  if (at != sorted.end() && keyOf(*at) <= 127) above = keyOf(*at);
  if (below && (!above || note - *below <= *above - note)) return below;
  return above;
}

}  // namespace

SampleLibrary loadSampleLibrary(const std::filesystem::path& folder) {
  SampleFiles files = listSampleFiles(folder);
  SampleLibrary library;
  readNotes(files, notesOf(files), library);
  return library;
}

std::optional<int> nearestSampleNote(const SampleLibrary& library, int note) {
  return nearestIn(library, note, [](const auto& entry) { return entry.first; });
}

namespace {

// Buffers one worker reuses from note to note, so that a conversion pass
// does not fault in fresh pages for every note.
struct Scratch {
  std::vector<float> inLeft, inRight, outLeft, outRight;
};

// Converts count frames of one or two channels (right null for mono) into
// the scratch's output buffers; returns the frames produced, or nothing when
// the converter cannot be used for these rates or sizes.
std::optional<std::size_t> convert(const float* left, const float* right, std::size_t count,
                                   double fromRate, double toRate, Scratch& scratch) {
  if (!(fromRate > 0.0) || !(toRate > 0.0) || !std::isfinite(fromRate) || !std::isfinite(toRate)) {
    return std::nullopt;
  }
  const double capacity = static_cast<double>(count) * toRate / fromRate + 1024.0;
  if (count > std::numeric_limits<std::uint32_t>::max() || !std::isfinite(capacity) ||
      capacity > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  const auto outCapacity = static_cast<std::size_t>(capacity);
  scratch.outLeft.resize(outCapacity);
  if (right != nullptr) scratch.outRight.resize(outCapacity);
  const float* in[2] = {left, right};
  float* out[2] = {scratch.outLeft.data(), right != nullptr ? scratch.outRight.data() : nullptr};
  const resampler::FormatSettings io = resampler::formatSettings(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
  const resampler::QualitySettings quality = resampler::qualitySettings(SOXR_VHQ, 0);
  std::size_t produced = 0;
  // soxr_oneshot feeds the whole input and flushes the converter, so the
  // output is as long as the converter makes it for this input. A mono
  // sound is converted once and used for both channels.
  const soxr_error_t failure =
      soxr_oneshot(fromRate, toRate, right != nullptr ? 2u : 1u, in, count, nullptr, out,
                   outCapacity, &produced, &io, &quality, nullptr);
  if (failure != nullptr) return std::nullopt;
  return produced;
}

// Input frames beyond the last output frame wanted that a conversion must
// still see. The converter filters in blocks; an output frame comes out the
// same, bit for bit, as in the conversion of the whole recording once every
// block it depends on holds the recording's frames rather than the zeros of
// the end of the stream. A few hundred frames suffice at every rate the
// program uses; this keeps a wide margin.
constexpr std::size_t kConversionLookahead = 4096;

// What a conversion of the recording to `rate` is made from, and how: any
// change to the recording, the rates, the converter (its settings, its
// version, the engine it picks on this processor) or the conversion into
// the core's 16-bit samples must change the key.
std::uint64_t conversionKey(const StoredSound& stored, double rate) {
  static const std::uint64_t settings = [] {
    const resampler::FormatSettings io = resampler::formatSettings(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const resampler::QualitySettings quality = resampler::qualitySettings(SOXR_VHQ, 0);
    soxr_t probe = soxr_create(48000.0, 44100.0, 2, nullptr, &io, &quality, nullptr);
    const std::string recipe =
        std::string("soxr_oneshot float32 VHQ, whole input, nearest 16-bit, layout 1; ") +
        soxr_version() + "; " + (probe != nullptr ? soxr_engine(probe) : "no engine");
    if (probe != nullptr) soxr_delete(probe);
    return digestBytes(recipe.data(), recipe.size(), 0);
  }();
  const double rates[2] = {stored.rate(), rate};
  return stored.digest(digestBytes(rates, sizeof rates, settings));
}

// Where whole conversions are kept between runs, and for which note.
struct Keeping {
  std::filesystem::path folder;  // empty: nothing is kept
  int note = 0;
};

// One core sample of a stored recording at a rate; with a reach, only the
// first `reach` frames at that rate (0: the whole recording). A whole
// conversion is taken from the cache when it is there, and put there when
// it was not; a cut one is cheap enough to make each time.
CoreSample* makeCoreSample(const StoredSound& stored, double rate, Scratch& scratch,
                           std::size_t reach = 0, const Keeping& keeping = {}) {
  const bool converting = std::abs(stored.rate() - rate) >= 0.5;
  std::optional<std::uint64_t> key;
  if (converting && reach == 0 && !keeping.folder.empty() && stored.frames() > 0) {
    key = conversionKey(stored, rate);
    if (CoreSample* kept = loadCachedSample(keeping.folder, keeping.note, rate, *key)) return kept;
  }
  std::size_t input = stored.frames();
  if (reach > 0) {
    const double wanted = converting
                              ? std::ceil(static_cast<double>(reach) * stored.rate() / rate) +
                                    static_cast<double>(kConversionLookahead)
                              : static_cast<double>(reach);
    if (std::isfinite(wanted) && wanted < static_cast<double>(input))
      input = static_cast<std::size_t>(wanted);
  }
  StoredSound::View view = stored.view(scratch.inLeft, scratch.inRight, input);
  const bool mono = view.left == view.right;
  if (converting && view.frames > 0) {
    auto produced =
        convert(view.left, mono ? nullptr : view.right, view.frames, stored.rate(), rate, scratch);
    if (produced && view.frames < stored.frames()) {
      if (*produced >= reach) {
        produced = reach;  // the end of a cut conversion differs from the whole one
      } else {
        view = stored.view(scratch.inLeft, scratch.inRight);
        produced = convert(view.left, mono ? nullptr : view.right, view.frames, stored.rate(), rate,
                           scratch);
      }
    }
    if (produced) {
      view = {scratch.outLeft.data(), mono ? scratch.outLeft.data() : scratch.outRight.data(),
              *produced};
    } else {
      key.reset();  // left at its own rate: nothing worth keeping
      if (view.frames < stored.frames()) view = stored.view(scratch.inLeft, scratch.inRight);
    }
  }
  const auto frames = static_cast<std::int32_t>(std::min<std::size_t>(
      view.frames, static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())));
  CoreSample* sample = makeSample(view.left, view.right, frames);
  if (key) storeCachedSample(keeping.folder, keeping.note, rate, *key, *sample);
  return sample;
}

using MadeSamples = std::vector<std::pair<int, CoreSample*>>;

// Every sound of the library as a core sample at the rate, made on a few
// threads; each keeps its float copies in its own reused scratch buffers.
MadeSamples makeCoreSamples(const SampleLibrary& library, double rate,
                            const std::map<int, std::size_t>* reach = nullptr) {
  MadeSamples made;
  std::vector<std::size_t> reaches;
  // Notes without a slot in the core (below 0, above 127) would only be
  // converted to be handed straight back and freed: leave them out.
  std::vector<const StoredSound*> sounds;
  for (const auto& [note, stored] : library) {
    if (note < 0 || note > 127) continue;
    made.emplace_back(note, nullptr);
    sounds.push_back(&stored);
    const auto known =
        reach != nullptr ? reach->find(note) : std::map<int, std::size_t>::const_iterator{};
    reaches.push_back(
        reach != nullptr && known != reach->end() ? std::max<std::size_t>(known->second, 1) : 0);
  }
  const std::filesystem::path cache = sampleCacheFolder();
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    Scratch scratch;
    for (std::size_t i = next++; i < made.size(); i = next++) {
      made[i].second =
          makeCoreSample(*sounds[i], rate, scratch, reaches[i], Keeping{cache, made[i].first});
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < workerCount(made.size()); ++i) helpers.emplace_back(work);
  work();
  for (auto& helper : helpers) helper.join();
  return made;
}

void installMade(RenderCore* core, const MadeSamples& made) {
  for (const auto& [note, sample] : made)
    freeSample(installSample(core, static_cast<std::uint32_t>(note), sample));
}

// Core samples made ahead at launch for the rate the first core will most
// likely have, handed to the first core made at exactly that rate. Nothing
// extra stays resident: the set moves into that core, or is freed when a
// core at another rate comes first.
struct Preparation {
  std::mutex mutex;
  std::condition_variable finished;
  bool running = false;
  double rate = 0.0;
  MadeSamples made;
};

Preparation& preparation() {
  static auto* shared = new Preparation;  // never destroyed, like the library
  return *shared;
}

}  // namespace

namespace {

// Lists the folder on first use; the caller holds the library's lock.
void listOnce(ProcessLibrary& library) {
  if (library.listed) return;
  library.unread = listSampleFiles(dataFolder());
  library.listed = true;
}

// Once nothing is left to read, the decoded notes are the library.
void settle(ProcessLibrary& library) {
  if (!library.unread.empty()) return;
  library.complete = true;
  if (library.sounds.empty() && !library.reported) {
    library.reported = true;
    diagnostics::consoleLine("no piano samples");
  }
}

}  // namespace

const SampleLibrary& sampleLibrary() {
  std::lock_guard lock(libraryMutex());
  ProcessLibrary& library = processLibrary();
  listOnce(library);
  if (!library.complete) {
    readNotes(library.unread, notesOf(library.unread), library.sounds);
    settle(library);
  }
  // Complete from here on: never changed again while callers read it.
  return library.sounds;
}

SampleLibrary pianoSamplesNearest(const std::vector<int>& notes) {
  std::lock_guard lock(libraryMutex());
  ProcessLibrary& library = processLibrary();
  listOnce(library);
  // The nearest note among everything listed; a file that turns out to be
  // unreadable leaves the library, and its notes look further.
  std::set<int> chosen;
  for (;;) {
    std::set<int> candidates;
    for (const auto& entry : library.sounds) candidates.insert(entry.first);
    for (const auto& entry : library.unread) candidates.insert(entry.first);
    chosen.clear();
    std::vector<int> toRead;
    for (int note : notes) {
      const auto nearest = nearestIn(candidates, note, [](int key) { return key; });
      if (nearest && chosen.insert(*nearest).second && library.unread.count(*nearest) != 0)
        toRead.push_back(*nearest);
    }
    if (toRead.empty()) break;
    readNotes(library.unread, toRead, library.sounds);
  }
  settle(library);
  SampleLibrary part;
  for (int note : chosen) part.emplace(note, library.sounds.at(note));
  return part;
}

namespace {

// The whole process-wide library read and made into core samples at `rate`
// note by note on each worker, so that the samples are ready as soon as the
// last file has been read rather than one whole pass later.
MadeSamples readAndMake(double rate) {
  std::lock_guard lock(libraryMutex());
  ProcessLibrary& library = processLibrary();
  listOnce(library);
  std::set<int> all;
  for (const auto& entry : library.sounds) all.insert(entry.first);
  for (const auto& entry : library.unread) all.insert(entry.first);
  const std::vector<int> notes(all.begin(), all.end());

  std::vector<std::optional<StoredSound>> decoded(notes.size());
  std::vector<CoreSample*> samples(notes.size(), nullptr);
  const std::filesystem::path cache = sampleCacheFolder();
  std::atomic<std::size_t> next{0};
  // Workers only read the library's maps; they change once all have ended.
  auto work = [&] {
    Scratch scratch;
    for (std::size_t i = next++; i < notes.size(); i = next++) {
      const StoredSound* sound = nullptr;
      if (const auto files = library.unread.find(notes[i]); files != library.unread.end()) {
        decoded[i] = readNote(files->second);
        if (decoded[i]) sound = &*decoded[i];
      } else {
        sound = &library.sounds.at(notes[i]);
      }
      if (sound != nullptr && notes[i] >= 0 && notes[i] <= 127)
        samples[i] = makeCoreSample(*sound, rate, scratch, 0, Keeping{cache, notes[i]});
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < workerCount(notes.size()); ++i) helpers.emplace_back(work);
  work();
  for (auto& helper : helpers) helper.join();

  MadeSamples made;
  for (std::size_t i = 0; i < notes.size(); ++i) {
    if (decoded[i]) library.sounds.insert_or_assign(notes[i], std::move(*decoded[i]));
    library.unread.erase(notes[i]);
    if (samples[i] != nullptr) made.emplace_back(notes[i], samples[i]);
  }
  settle(library);
  return made;
}

}  // namespace

void preloadSampleLibrary(double expectedRate) {
  Preparation& p = preparation();
  {
    std::lock_guard lock(p.mutex);
    static bool started = false;
    if (started) return;
    started = true;
    p.running = true;
    p.rate = expectedRate;
  }
  std::thread([expectedRate] {
    MadeSamples made = readAndMake(expectedRate);
    Preparation& p = preparation();
    std::lock_guard lock(p.mutex);
    p.made = std::move(made);
    p.running = false;
    p.finished.notify_all();
  }).detach();
}

Sound soundAtRate(const Sound& sound, double targetRate) {
  if (std::abs(sound.rate - targetRate) < 0.5 || sound.frames() == 0) return sound;
  const bool mono = sound.right == sound.left;
  Scratch scratch;
  const auto produced = convert(sound.left->data(), mono ? nullptr : sound.right->data(),
                                sound.frames(), sound.rate, targetRate, scratch);
  if (!produced) return sound;
  scratch.outLeft.resize(*produced);
  scratch.outLeft.shrink_to_fit();
  Sound result;
  result.rate = targetRate;
  result.left = std::make_shared<const std::vector<float>>(std::move(scratch.outLeft));
  if (mono) {
    result.right = result.left;
  } else {
    scratch.outRight.resize(*produced);
    scratch.outRight.shrink_to_fit();
    result.right = std::make_shared<const std::vector<float>>(std::move(scratch.outRight));
  }
  return result;
}

void installSamples(RenderCore* core, const SampleLibrary& library, double rate) {
  if (core == nullptr) return;
  installMade(core, makeCoreSamples(library, rate));
}

void installSampleBeginnings(RenderCore* core, const SampleLibrary& library, double rate,
                             const std::map<int, std::size_t>& reach) {
  if (core == nullptr) return;
  installMade(core, makeCoreSamples(library, rate, &reach));
}

void installPianoSamples(RenderCore* core, double rate) {
  if (core == nullptr) return;
  MadeSamples prepared;
  {
    Preparation& p = preparation();
    std::unique_lock lock(p.mutex);
    // Waiting for a preparation under way is never slower than competing
    // with it for the same processors.
    p.finished.wait(lock, [&] { return !p.running; });
    if (rate == p.rate) prepared.swap(p.made);
    for (const auto& [note, sample] : p.made) freeSample(sample);
    p.made.clear();
  }
  if (!prepared.empty()) {
    installMade(core, prepared);
  } else {
    installSamples(core, sampleLibrary(), rate);
  }
}

}  // namespace quimbel
