#include "audio/sample_bank.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
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

// Splits interleaved frames into their first two channels.
template <class T>
void deinterleave(const std::vector<T>& interleaved, int channels, std::size_t frames,
                  std::vector<T>& left, std::vector<T>& right) {
  left.resize(frames);
  if (channels >= 2) right.resize(frames);
  const auto step = static_cast<std::size_t>(channels);
  for (std::size_t i = 0; i < frames; ++i) {
    left[i] = interleaved[i * step];
    if (channels >= 2) right[i] = interleaved[i * step + 1];
  }
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
  const std::size_t total = frames * static_cast<std::size_t>(channels);

  if (isSixteenBit(info)) {
    std::vector<std::int16_t> interleaved(total);
    const sf_count_t got = sf_readf_short(handle.get(), interleaved.data(), info.frames);
    if (got <= 0) return {std::nullopt, file.string() + ": unreadable audio data"};
    std::vector<std::int16_t> left, right;
    deinterleave(interleaved, channels, static_cast<std::size_t>(got), left, right);
    interleaved = {};
    std::optional<std::vector<std::int16_t>> second;
    if (channels >= 2) second = std::move(right);
    return {StoredSound(std::move(left), std::move(second), info.samplerate), {}};
  }

  std::vector<float> interleaved(total);
  const sf_count_t got = sf_readf_float(handle.get(), interleaved.data(), info.frames);
  if (got <= 0) return {std::nullopt, file.string() + ": unreadable audio data"};
  std::vector<float> left, right;
  deinterleave(interleaved, channels, static_cast<std::size_t>(got), left, right);
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

void preloadSampleLibrary() {
  static std::once_flag started;
  std::call_once(started, [] { std::thread([] { sampleLibrary(); }).detach(); });
}

Sound soundAtRate(const Sound& sound, double targetRate) {
  if (std::abs(sound.rate - targetRate) < 0.5 || sound.frames() == 0) return sound;
  if (!(sound.rate > 0.0) || !(targetRate > 0.0) || !std::isfinite(sound.rate) ||
      !std::isfinite(targetRate)) {
    return sound;
  }
  const std::size_t count = sound.frames();
  const double capacity = static_cast<double>(count) * targetRate / sound.rate + 1024.0;
  if (count > std::numeric_limits<std::uint32_t>::max() || !std::isfinite(capacity) ||
      capacity > std::numeric_limits<std::int32_t>::max()) {
    return sound;
  }
  const auto outCapacity = static_cast<std::size_t>(capacity);
  std::vector<float> left(outCapacity), right(outCapacity);
  // A mono sound is converted once and shared again afterwards.
  const bool mono = sound.right == sound.left;
  const int channels = mono ? 1 : 2;

  const float* in[2] = {sound.left->data(), mono ? nullptr : sound.right->data()};
  float* out[2] = {left.data(), mono ? nullptr : right.data()};
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
  std::size_t produced = 0;
  // soxr_oneshot feeds the whole input and flushes the converter, so the
  // output is as long as the converter makes it for this input.
  const soxr_error_t failure =
      soxr_oneshot(sound.rate, targetRate, static_cast<unsigned>(channels), in, count, nullptr, out,
                   outCapacity, &produced, &io, &quality, nullptr);
  if (failure != nullptr) return sound;

  left.resize(produced);
  left.shrink_to_fit();
  Sound result;
  result.rate = targetRate;
  result.left = std::make_shared<const std::vector<float>>(std::move(left));
  if (mono) {
    result.right = result.left;
  } else {
    right.resize(produced);
    right.shrink_to_fit();
    result.right = std::make_shared<const std::vector<float>>(std::move(right));
  }
  return result;
}

void installSamples(RenderCore* core, const SampleLibrary& library, double rate) {
  if (core == nullptr) return;
  std::vector<std::pair<int, const StoredSound*>> jobs;
  jobs.reserve(library.size());
  // Notes without a slot in the core (below 0, above 127) would only be
  // converted to be handed straight back and freed: leave them out.
  for (const auto& [note, stored] : library) {
    if (note >= 0 && note <= 127) jobs.emplace_back(note, &stored);
  }

  // Each worker unpacks, converts and packs one note at a time, so the float
  // copies alive at once stay a few notes' worth.
  std::vector<CoreSample*> made(jobs.size(), nullptr);
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < jobs.size(); i = next++) {
      const Sound converted = soundAtRate(jobs[i].second->sound(), rate);
      const auto frames = static_cast<std::int32_t>(std::min<std::size_t>(
          converted.frames(), static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())));
      made[i] = makeSample(converted.left ? converted.left->data() : nullptr,
                           converted.right ? converted.right->data() : nullptr, frames);
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < workerCount(jobs.size()); ++i) helpers.emplace_back(work);
  work();
  for (auto& helper : helpers) helper.join();

  for (std::size_t i = 0; i < jobs.size(); ++i) {
    freeSample(installSample(core, static_cast<std::uint32_t>(jobs[i].first), made[i]));
  }
}

void installPianoSamples(RenderCore* core, double rate) {
  installSamples(core, sampleLibrary(), rate);
}

}  // namespace quimbel
