#include "audio/sample_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <system_error>

#include "audio/core/render_core.h"
#include "diagnostics/store.h"

namespace quimbel {
namespace {

// "QUIMPCM" and a layout version; a byte-swapped header does not match.
constexpr std::uint64_t kMagic = 0x01'4D'43'50'4D'49'55'51ull;

struct EntryHeader {
  std::uint64_t magic = kMagic;
  std::uint64_t key = 0;
  std::uint64_t rateBits = 0;
  std::int32_t note = 0;
  std::int32_t frames = 0;
  std::uint32_t channels = 0;  // 1 when both channels are the same
  std::uint32_t reserved = 0;
  std::uint64_t checksum = 0;  // of the header with this field 0, then the PCM
};
static_assert(sizeof(EntryHeader) == 48);

std::uint64_t rotateLeft(std::uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

std::uint64_t bitsOf(double rate) {
  std::uint64_t bits;
  std::memcpy(&bits, &rate, sizeof bits);
  return bits;
}

std::filesystem::path entryPath(const std::filesystem::path& folder, int note, double rate) {
  char name[64];
  std::snprintf(name, sizeof name, "%d-at-%.17g.pcm", note, rate);
  return folder / name;
}

std::uint64_t headerDigest(EntryHeader header) {
  header.checksum = 0;
  return digestBytes(&header, sizeof header, 0);
}

class File {
 public:
  explicit File(int fd) : fd_(fd) {}
  ~File() {
    if (fd_ >= 0) close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool readExactly(int fd, void* to, std::size_t bytes) {
  auto* at = static_cast<char*>(to);
  while (bytes > 0) {
    const ssize_t got = read(fd, at, bytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    bytes -= static_cast<std::size_t>(got);
  }
  return true;
}

bool writeExactly(int fd, const void* from, std::size_t bytes) {
  const auto* at = static_cast<const char*>(from);
  while (bytes > 0) {
    const ssize_t put = write(fd, at, bytes);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    at += put;
    bytes -= static_cast<std::size_t>(put);
  }
  return true;
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::uint64_t digestBytes(const void* data, std::size_t size, std::uint64_t seed) {
  // Four independent lanes of multiply and xor-shift, so that the processor
  // overlaps them; each step is invertible, so no input word is lost.
  constexpr std::uint64_t kOdd = 0x9E3779B97F4A7C15ull;
  std::uint64_t lanes[4] = {seed ^ 0x243F6A8885A308D3ull, seed + kOdd,
                            rotateLeft(seed, 17) ^ 0x13198A2E03707344ull, ~seed};
  const auto* bytes = static_cast<const unsigned char*>(data);
  auto mix = [&](const unsigned char* block) {
    for (int l = 0; l < 4; ++l) {
      std::uint64_t word;
      std::memcpy(&word, block + 8 * l, sizeof word);
      lanes[l] = (lanes[l] ^ word) * kOdd;
      lanes[l] ^= lanes[l] >> 29;
    }
  };
  std::size_t done = 0;
  for (; done + 32 <= size; done += 32) mix(bytes + done);
  unsigned char last[32] = {};
  std::memcpy(last, bytes + done, size - done);
  mix(last);
  std::uint64_t h = size * kOdd;
  for (std::uint64_t lane : lanes) {
    h = (h ^ lane) * kOdd;
    h ^= h >> 32;
  }
  return h;
}

std::filesystem::path sampleCacheFolder() {
  if (auto folder = environment("QUIMBEL_CACHE_DIR"); folder && !folder->empty()) return *folder;
  // A test run never touches the user's own cache.
  if (isTestRun([](std::string_view name) { return environment(std::string(name).c_str()); }))
    return {};
  const auto below = [](const std::filesystem::path& cache) {
    return cache / "Quimbel" / "Samples";
  };
  if (auto cache = environment("XDG_CACHE_HOME");
      cache && !cache->empty() && cache->front() == '/') {
    return below(*cache);
  }
  if (auto home = environment("HOME"); home && !home->empty())
    return below(std::filesystem::path(*home) / ".cache");
  return {};
}

CoreSample* loadCachedSample(const std::filesystem::path& folder, int note, double rate,
                             std::uint64_t key) {
  if (folder.empty()) return nullptr;
  File file(open(entryPath(folder, note, rate).c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd() < 0) return nullptr;
  EntryHeader header;
  struct stat status {};
  if (fstat(file.fd(), &status) != 0 || !readExactly(file.fd(), &header, sizeof header))
    return nullptr;
  if (header.magic != kMagic || header.key != key || header.rateBits != bitsOf(rate) ||
      header.note != note || header.frames < 1 || (header.channels != 1 && header.channels != 2)) {
    return nullptr;
  }
  const std::size_t channelBytes = static_cast<std::size_t>(header.frames) * sizeof(std::int16_t);
  if (static_cast<std::uint64_t>(status.st_size) != sizeof header + header.channels * channelBytes)
    return nullptr;
  CoreSample* sample = makeSilentSample(header.frames);
  bool whole = readExactly(file.fd(), sample->left, channelBytes);
  if (whole && header.channels == 2) whole = readExactly(file.fd(), sample->right, channelBytes);
  std::uint64_t digest = headerDigest(header);
  if (whole) {
    digest = digestBytes(sample->left, channelBytes, digest);
    if (header.channels == 2) digest = digestBytes(sample->right, channelBytes, digest);
  }
  if (!whole || digest != header.checksum) {
    freeSample(sample);
    return nullptr;
  }
  if (header.channels == 1) std::memcpy(sample->right, sample->left, channelBytes);
  return sample;
}

void storeCachedSample(const std::filesystem::path& folder, int note, double rate,
                       std::uint64_t key, const CoreSample& sample) {
  if (folder.empty() || sample.frames < 1) return;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const std::size_t channelBytes = static_cast<std::size_t>(sample.frames) * sizeof(std::int16_t);
  EntryHeader header;
  header.key = key;
  header.rateBits = bitsOf(rate);
  header.note = note;
  header.frames = sample.frames;
  header.channels = std::memcmp(sample.left, sample.right, channelBytes) == 0 ? 1 : 2;
  std::uint64_t digest = digestBytes(sample.left, channelBytes, headerDigest(header));
  if (header.channels == 2) digest = digestBytes(sample.right, channelBytes, digest);
  header.checksum = digest;

  // Written aside under a name no other writer uses, then renamed into place.
  static std::atomic<unsigned> serial{0};
  const std::filesystem::path path = entryPath(folder, note, rate);
  const std::filesystem::path aside =
      path.string() + ".part-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
  bool written;
  {
    File file(open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    written = file.fd() >= 0 && writeExactly(file.fd(), &header, sizeof header) &&
              writeExactly(file.fd(), sample.left, channelBytes) &&
              (header.channels == 1 || writeExactly(file.fd(), sample.right, channelBytes));
  }
  if (!written || std::rename(aside.c_str(), path.c_str()) != 0) std::remove(aside.c_str());
}

}  // namespace quimbel
