#include "diagnostics/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "diagnostics/utf8.h"

namespace quimbel {
namespace {

// Writes all bytes or fails; returns how many went out before a failure.
bool writeAll(int fd, std::string_view bytes, std::size_t& written) noexcept {
  written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

struct FileEnd {
  std::string bytes;         // the last bytes asked for (fewer if the file is shorter)
  std::uint64_t totalBytes;  // the whole file's length as read
};

// Reads at most the last `maxBytes` bytes of a file; an unreadable file reads
// as empty.
FileEnd readEnd(const std::filesystem::path& path, std::size_t maxBytes) {
  FileEnd end{{}, 0};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return end;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t start = size > maxBytes ? size - maxBytes : 0;
    end.bytes.resize(static_cast<std::size_t>(size - start));
    std::size_t got = 0;
    while (got < end.bytes.size()) {
      const ssize_t n = ::pread(fd, end.bytes.data() + got, end.bytes.size() - got,
                                static_cast<off_t>(start + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got < end.bytes.size()) {
      // The file shrank or a read failed: treat it as unreadable.
      ::close(fd);
      return {{}, 0};
    }
    end.totalBytes = size;
  }
  ::close(fd);
  return end;
}

}  // namespace

DiagnosticsLog::DiagnosticsLog(const DiagnosticsStore& store, Redaction redaction, Clock clock)
    : folder_(store.folder),
      url_(store.folder.empty() ? std::filesystem::path() : store.folder / "quimbel.log"),
      previousURL_(store.folder.empty() ? std::filesystem::path() : store.folder / "quimbel.1.log"),
      redaction_(std::move(redaction)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::system_clock::now(); })) {}

DiagnosticsLog::~DiagnosticsLog() { close(); }

DiagnosticsLog& DiagnosticsLog::shared() {
  static DiagnosticsLog* const log =
      new DiagnosticsLog(DiagnosticsStore::standard(), Redaction::forAccount());
  return *log;
}

std::string DiagnosticsLog::formatTimestamp(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(time);
  const auto day = floor<days>(ms);
  const year_month_day date(day);
  const hh_mm_ss clock(ms - day);
  char text[48];
  std::snprintf(
      text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d.%03d", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
      static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
  return text;
}

void DiagnosticsLog::write(std::string_view message) noexcept {
  try {
    std::string line = formatTimestamp(clock_());
    line.push_back(' ');
    line.append(redaction_.apply(message));
    line.push_back('\n');
    std::lock_guard lock(mutex_);
    append(line);
  } catch (...) {
    // Out of memory or a failing clock: the line is dropped.
  }
}

void DiagnosticsLog::append(std::string_view line) noexcept {
  if (handle_ < 0) open();
  const auto lineBytes = static_cast<std::int64_t>(line.size());
  // An empty file is never rotated, however long the line.
  if (sizeBytes_ >= 1 && sizeBytes_ + lineBytes > kLimitBytes) rotate();
  if (handle_ < 0) return;  // dropped; the next line tries to open again

  std::size_t written = 0;
  if (writeAll(handle_, line, written)) {
    sizeBytes_ += lineBytes;
    return;
  }
  // Take back a torn line (a full disk may accept part of it) so the file
  // keeps only whole lines, then let the next line reopen.
  if (written > 0) {
    const off_t end = ::lseek(handle_, 0, SEEK_END);
    if (end >= static_cast<off_t>(written)) {
      [[maybe_unused]] const int ignored = ::ftruncate(handle_, end - static_cast<off_t>(written));
    }
  }
  close();
}

void DiagnosticsLog::open() noexcept {
  if (url_.empty()) return;
  std::error_code ignored;
  std::filesystem::create_directories(folder_, ignored);
  const int fd = ::open(url_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  handle_ = fd;
  const off_t end = ::lseek(fd, 0, SEEK_END);
  sizeBytes_ = end > 0 ? static_cast<std::int64_t>(end) : 0;
}

void DiagnosticsLog::close() noexcept {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
}

void DiagnosticsLog::rotate() noexcept {
  close();
  std::error_code ignored;
  std::filesystem::remove(previousURL_, ignored);
  std::filesystem::rename(url_, previousURL_, ignored);
  sizeBytes_ = 0;
  open();
}

std::string DiagnosticsLog::tail(std::size_t maxBytes) const noexcept {
  try {
    std::lock_guard lock(mutex_);
    if (url_.empty()) return {};
    // One byte more than asked shows whether the kept text begins a line.
    const std::size_t want = maxBytes < SIZE_MAX ? maxBytes + 1 : maxBytes;
    FileEnd current = readEnd(url_, want);
    std::string text;
    if (current.totalBytes < want) {
      FileEnd previous = readEnd(previousURL_, want - current.bytes.size());
      text = std::move(previous.bytes);
      text.append(current.bytes);
    } else {
      text = std::move(current.bytes);
    }
    if (text.size() > maxBytes) {
      const bool startsLine = text[text.size() - maxBytes - 1] == '\n';
      text.erase(0, text.size() - maxBytes);
      if (!startsLine) {
        const std::size_t newline = text.find('\n');
        if (newline != std::string::npos) text.erase(0, newline + 1);
      }
    }
    return diagnostics::decodeUtf8Lossy(text);
  } catch (...) {
    return {};
  }
}

std::optional<std::chrono::system_clock::time_point> DiagnosticsLog::lastModified() const noexcept {
  std::lock_guard lock(mutex_);
  if (url_.empty()) return std::nullopt;
  struct stat info {};
  if (::stat(url_.c_str(), &info) != 0) return std::nullopt;
  using namespace std::chrono;
  return system_clock::time_point(duration_cast<system_clock::duration>(
      seconds(info.st_mtim.tv_sec) + nanoseconds(info.st_mtim.tv_nsec)));
}

}  // namespace quimbel
