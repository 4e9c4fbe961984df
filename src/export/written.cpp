#include "export/written.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <system_error>

namespace quimbel {
namespace {

// Random bytes from the kernel; the standard library's device is the fallback
// for a kernel that refuses (it reads the same source by other means).
template <std::size_t N>
std::array<std::uint8_t, N> randomBytes() {
  std::array<std::uint8_t, N> bytes{};
  std::size_t filled = 0;
  while (filled < N) {
    const ssize_t got = getrandom(bytes.data() + filled, N - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      break;
    }
  }
  if (filled < N) {
    std::random_device device;
    for (std::size_t i = filled; i < N; ++i) bytes[i] = static_cast<std::uint8_t>(device());
  }
  return bytes;
}

void putHex(std::string& out, std::uint8_t byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

std::string systemMessage(int error) { return std::generic_category().message(error); }

std::filesystem::path temporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return "/tmp";
}

}  // namespace

std::string newUuid() {
  std::array<std::uint8_t, 16> bytes = randomBytes<16>();
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    putHex(text, bytes[i]);
  }
  return text;
}

std::filesystem::path makeTakeFolder() {
  std::filesystem::path folder = temporaryDirectory() / "Takes" / newUuid();
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  return folder;
}

int writeAll(int fd, const void* bytes, std::size_t size) {
  const auto* next = static_cast<const std::uint8_t*>(bytes);
  while (size > 0) {
    const ssize_t wrote = ::write(fd, next, size);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    next += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return 0;
}

Written writeFileAside(const std::filesystem::path& destination,
                       const std::function<int(int fd)>& fill) {
  const std::filesystem::path name = destination.filename();
  if (name.empty()) return {std::nullopt, destination.string() + ": not a file name"};
  std::filesystem::path dir = destination.parent_path();
  if (dir.empty()) dir = ".";

  std::filesystem::path aside;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    std::string tag;
    for (std::uint8_t byte : randomBytes<4>()) putHex(tag, byte);
    aside = dir / ("." + name.string() + "." + tag + ".part");
    fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return {std::nullopt, destination.string() + ": " + systemMessage(errno)};

  int error = fill(fd);
  if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(aside.c_str(), destination.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(aside.c_str());
    return {std::nullopt, destination.string() + ": " + systemMessage(error)};
  }
  return {destination, {}};
}

Written writeFileAside(const std::filesystem::path& destination,
                       std::span<const std::uint8_t> bytes) {
  return writeFileAside(destination,
                        [bytes](int fd) { return writeAll(fd, bytes.data(), bytes.size()); });
}

}  // namespace quimbel
