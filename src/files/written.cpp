#include "files/written.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "base/random_id.h"

namespace quimbel {
namespace {

std::string systemMessage(int error) { return std::generic_category().message(error); }

std::filesystem::path temporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return "/tmp";
}

}  // namespace

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
    aside = dir / ("." + name.string() + "." + randomHex(4) + ".part");
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
