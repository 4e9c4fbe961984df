#include "files/written.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <vector>

#include "base/random_id.h"

namespace quimbel {
namespace {

std::string systemMessage(int error) { return std::generic_category().message(error); }

std::filesystem::path cacheDirectory() {
  // Only an absolute path counts, as the base directory rules ask.
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return cache;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::filesystem::path(home) / ".cache";
  return {};
}

// A folder that is the user's own: made when missing (with `mode`), never a
// link, owned by this user. The reason in words otherwise.
std::string ownFolder(const std::filesystem::path& folder, mode_t mode, bool tighten) {
  if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST)
    return folder.string() + ": " + systemMessage(errno);
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return folder.string() + ": " + systemMessage(errno);
  if (S_ISLNK(info.st_mode)) return folder.string() + " is a link, not a folder of your own";
  if (!S_ISDIR(info.st_mode)) return folder.string() + " is not a folder";
  if (info.st_uid != ::geteuid()) return folder.string() + " belongs to another user";
  if (tighten && (info.st_mode & 07777) != mode && ::chmod(folder.c_str(), mode) != 0)
    return folder.string() + ": " + systemMessage(errno);
  return {};
}

std::mutex runFoldersLock;
std::vector<std::filesystem::path>& runFolders() {
  static std::vector<std::filesystem::path> folders;
  return folders;
}

}  // namespace

Written takesFolder() {
  const std::filesystem::path cache = cacheDirectory();
  if (cache.empty()) return {std::nullopt, "no home folder to keep exports in"};
  std::error_code error;
  std::filesystem::create_directories(cache, error);
  if (error) return {std::nullopt, cache.string() + ": " + error.message()};
  const std::filesystem::path own = cache / "Quimbel";
  const std::filesystem::path takes = own / "Takes";
  std::string problem = ownFolder(own, 0700, false);
  if (problem.empty()) problem = ownFolder(takes, 0700, true);
  if (!problem.empty()) return {std::nullopt, problem};
  return {takes, {}};
}

Written makeTakeFolder() {
  Written takes = takesFolder();
  if (!takes) return takes;
  const std::filesystem::path folder = *takes.file / newUuid();
  if (::mkdir(folder.c_str(), 0700) != 0)
    return {std::nullopt, folder.string() + ": " + systemMessage(errno)};
  std::lock_guard lock(runFoldersLock);
  runFolders().push_back(folder);
  return {folder, {}};
}

void removeThisRunsTakeFolders() {
  std::vector<std::filesystem::path> folders;
  {
    std::lock_guard lock(runFoldersLock);
    folders.swap(runFolders());
  }
  std::error_code ignored;
  for (const auto& folder : folders) std::filesystem::remove_all(folder, ignored);
}

void removeStaleTakeFolders(double maxAgeSeconds) {
  const Written takes = takesFolder();
  if (!takes) return;
  const auto now = std::filesystem::file_time_type::clock::now();
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(*takes.file, error)) {
    std::error_code ignored;
    const auto changed = std::filesystem::last_write_time(entry.path(), ignored);
    if (ignored) continue;
    if (std::chrono::duration<double>(now - changed).count() > maxAgeSeconds)
      std::filesystem::remove_all(entry.path(), ignored);
  }
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

namespace {

// Where a save really lands: a link is written through to the file it names
// (a user's link into a synced folder stays a link), following a chain of
// links as the system would.
std::filesystem::path throughLinks(const std::filesystem::path& destination) {
  std::filesystem::path target = destination;
  std::error_code error;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(target, error); ++hops) {
    const std::filesystem::path next = std::filesystem::read_symlink(target, error);
    if (error) break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return target;
}

// Makes the rename itself durable: without it a power cut can bring back the
// old file, or no file, after the save said it was done.
void syncFolder(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

Written writeFileAside(const std::filesystem::path& destination,
                       const std::function<int(int fd)>& fill) {
  if (destination.filename().empty())
    return {std::nullopt, destination.string() + ": not a file name"};
  const std::filesystem::path target = throughLinks(destination);
  const std::filesystem::path name = target.filename();
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";

  std::filesystem::path aside;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    aside = dir / ("." + name.string() + "." + randomHex(4) + ".part");
    fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return {std::nullopt, destination.string() + ": " + systemMessage(errno)};

  // A file saved over keeps the permissions its owner gave it.
  int error = 0;
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
      ::fchmod(fd, existing.st_mode & 07777) != 0)
    error = errno;
  if (error == 0) error = fill(fd);
  if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(aside.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(aside.c_str());
    return {std::nullopt, destination.string() + ": " + systemMessage(error)};
  }
  syncFolder(dir);
  return {destination, {}};
}

Written writeFileAside(const std::filesystem::path& destination,
                       std::span<const std::uint8_t> bytes) {
  return writeFileAside(destination,
                        [bytes](int fd) { return writeAll(fd, bytes.data(), bytes.size()); });
}

}  // namespace quimbel
