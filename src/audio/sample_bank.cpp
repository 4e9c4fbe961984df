#include "audio/sample_bank.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

#include "audio/core/render_core.h"
#include "audio/data_folder.h"
#include "diagnostics/report.h"

namespace quimbel {
namespace {

// libsndfile's float form of a 16-bit sample: k / 32768.
constexpr float kShortScale = 1.0f / 32768.0f;

std::vector<float> expand(const std::vector<std::int16_t>& samples) {
  std::vector<float> out(samples.size());
  std::transform(samples.begin(), samples.end(), out.begin(),
                 [](std::int16_t k) { return static_cast<float>(k) * kShortScale; });
  return out;
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

SampleLibrary*& libraryInstance() {
  static SampleLibrary* library = nullptr;
  return library;
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
    : rate_(rate) {
  left16_ = std::make_shared<const std::vector<std::int16_t>>(std::move(left));
  right16_ = right ? std::make_shared<const std::vector<std::int16_t>>(std::move(*right)) : left16_;
}

Sound StoredSound::sound() const {
  if (!left16_) return float_;
  Sound out;
  out.rate = rate_;
  out.left = std::make_shared<const std::vector<float>>(expand(*left16_));
  out.right = right16_ == left16_ ? out.left
                                  : std::make_shared<const std::vector<float>>(expand(*right16_));
  return out;
}

StoredSound::View StoredSound::view(std::vector<float>& leftBuffer,
                                    std::vector<float>& rightBuffer) const {
  if (!left16_) {
    if (!float_.left) return {};
    return {float_.left->data(), float_.right->data(), float_.frames()};
  }
  auto fill = [](const std::vector<std::int16_t>& from, std::vector<float>& to) {
    to.resize(from.size());
    std::transform(from.begin(), from.end(), to.begin(),
                   [](std::int16_t k) { return static_cast<float>(k) * kShortScale; });
  };
  fill(*left16_, leftBuffer);
  if (right16_ == left16_) return {leftBuffer.data(), leftBuffer.data(), leftBuffer.size()};
  fill(*right16_, rightBuffer);
  return {leftBuffer.data(), rightBuffer.data(), leftBuffer.size()};
}

std::size_t StoredSound::frames() const { return left16_ ? left16_->size() : float_.frames(); }

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
  // length.
  auto readAll = [&]<class T>(auto readFrames, std::vector<T>& left, std::vector<T>& right) {
    constexpr std::size_t kSliceFrames = 16384;
    std::vector<T> slice(kSliceFrames * static_cast<std::size_t>(channels));
    const auto step = static_cast<std::size_t>(channels);
    left.resize(frames);
    if (channels >= 2) right.resize(frames);
    std::size_t done = 0;
    while (done < frames) {
      const sf_count_t want = static_cast<sf_count_t>(std::min(kSliceFrames, frames - done));
      const sf_count_t got = readFrames(handle.get(), slice.data(), want);
      if (got <= 0) break;
      for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
        left[done + i] = slice[i * step];
        if (channels >= 2) right[done + i] = slice[i * step + 1];
      }
      done += static_cast<std::size_t>(got);
    }
    // A file shorter than its header claims keeps what could be read.
    left.resize(done);
    if (channels >= 2) right.resize(done);
    return !left.empty();
  };

  if (isSixteenBit(info)) {
    std::vector<std::int16_t> left, right;
    if (!readAll(sf_readf_short, left, right))
      return {std::nullopt, file.string() + ": unreadable audio data"};
    std::optional<std::vector<std::int16_t>> second;
    if (channels >= 2) second = std::move(right);
    return {StoredSound(std::move(left), std::move(second), info.samplerate), {}};
  }
  std::vector<float> left, right;
  if (!readAll(sf_readf_float, left, right))
    return {std::nullopt, file.string() + ": unreadable audio data"};
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

SampleLibrary loadSampleLibrary(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::path source = folder / "Piano";
  if (!std::filesystem::is_directory(source, error)) source = folder;

  std::vector<std::filesystem::path> files;
  for (std::filesystem::directory_iterator it(source, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().extension() == ".caf") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());

  std::vector<std::pair<int, std::filesystem::path>> named;
  for (const auto& file : files) {
    if (auto note = sampleNoteFromFileName(file)) named.emplace_back(*note, file);
  }

  // Decoding is mostly waiting for the disk and unpacking: spread it over a
  // few threads, then store in name order so that duplicates resolve the
  // same way every time.
  std::vector<std::optional<StoredSound>> decoded(named.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < named.size(); i = next++) {
      decoded[i] = readSoundFile(named[i].second).sound;
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < workerCount(named.size()); ++i) helpers.emplace_back(work);
  work();
  for (auto& helper : helpers) helper.join();

  SampleLibrary library;
  for (std::size_t i = 0; i < named.size(); ++i) {
    if (decoded[i]) library.insert_or_assign(named[i].first, std::move(*decoded[i]));
  }
  return library;
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
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
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

// One core sample of a stored recording at a rate.
CoreSample* makeCoreSample(const StoredSound& stored, double rate, Scratch& scratch) {
  StoredSound::View view = stored.view(scratch.inLeft, scratch.inRight);
  const bool mono = view.left == view.right;
  if (std::abs(stored.rate() - rate) >= 0.5 && view.frames > 0) {
    if (auto produced = convert(view.left, mono ? nullptr : view.right, view.frames, stored.rate(),
                                rate, scratch)) {
      view = {scratch.outLeft.data(), mono ? scratch.outLeft.data() : scratch.outRight.data(),
              *produced};
    }
  }
  const auto frames = static_cast<std::int32_t>(std::min<std::size_t>(
      view.frames, static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())));
  return makeSample(view.left, view.right, frames);
}

using MadeSamples = std::vector<std::pair<int, CoreSample*>>;

// Every sound of the library as a core sample at the rate, made on a few
// threads; each keeps its float copies in its own reused scratch buffers.
MadeSamples makeCoreSamples(const SampleLibrary& library, double rate) {
  MadeSamples made;
  // Notes without a slot in the core (below 0, above 127) would only be
  // converted to be handed straight back and freed: leave them out.
  std::vector<const StoredSound*> sounds;
  for (const auto& [note, stored] : library) {
    if (note < 0 || note > 127) continue;
    made.emplace_back(note, nullptr);
    sounds.push_back(&stored);
  }
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    Scratch scratch;
    for (std::size_t i = next++; i < made.size(); i = next++)
      made[i].second = makeCoreSample(*sounds[i], rate, scratch);
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

const SampleLibrary& sampleLibrary() {
  std::lock_guard lock(libraryMutex());
  SampleLibrary*& library = libraryInstance();
  if (library == nullptr) {
    // Kept for the life of the process and never destroyed, like the lock.
    library = new SampleLibrary(loadSampleLibrary(dataFolder()));
    if (library->empty()) diagnostics::consoleLine("no piano samples");
  }
  return *library;
}

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
    MadeSamples made = makeCoreSamples(sampleLibrary(), expectedRate);
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
