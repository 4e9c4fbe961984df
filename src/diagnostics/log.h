#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "diagnostics/redaction.h"
#include "diagnostics/store.h"

namespace quimbel {

// The program's own small text log: "quimbel.log" in the diagnostics folder,
// rotated to "quimbel.1.log" at 256 KiB, every line redacted before it is
// written.
//
// Thread contract: every member is safe from any thread except the real-time
// audio thread. One lock serializes all file work, so lines land whole and in
// call order per thread; redaction and the time stamp are done on the
// caller's thread before taking it. The lock is recursive: code that needs
// several steps without a rotation in between runs them inside `perform`.
// Nothing here throws; a line that cannot be written is dropped and the next
// line tries again.
class DiagnosticsLog {
 public:
  static constexpr std::int64_t kLimitBytes = 262144;

  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // With an empty store folder nothing is ever written. Without a clock the
  // system clock is used.
  DiagnosticsLog(const DiagnosticsStore& store, Redaction redaction, Clock clock = {});
  ~DiagnosticsLog();
  DiagnosticsLog(const DiagnosticsLog&) = delete;
  DiagnosticsLog& operator=(const DiagnosticsLog&) = delete;

  // The process's log, made on first use from DiagnosticsStore::standard()
  // and the account's redaction. It is never destroyed, so that code running
  // at exit may still log.
  static DiagnosticsLog& shared();

  const std::filesystem::path& url() const noexcept { return url_; }
  const std::filesystem::path& previousURL() const noexcept { return previousURL_; }
  const Redaction& redaction() const noexcept { return redaction_; }

  // Appends "<UTC time> <redacted message>\n"; returns once the line is on
  // disk or dropped. The time is taken when write is called.
  void write(std::string_view message) noexcept;

  // The last `maxBytes` bytes of the log across both files, starting on a
  // whole line, decoded as UTF-8 with ill-formed bytes replaced. Unreadable
  // files read as empty.
  std::string tail(std::size_t maxBytes) const noexcept;

  // When the current file's content last changed, if it can be read.
  std::optional<std::chrono::system_clock::time_point> lastModified() const noexcept;

  // Runs `work` while holding the log's lock (tail and lastModified may be
  // called inside it).
  template <class Work>
  decltype(auto) perform(Work&& work) const {
    std::lock_guard lock(mutex_);
    return work();
  }

  // "yyyy-MM-dd HH:mm:ss.SSS" in UTC, milliseconds truncated.
  static std::string formatTimestamp(std::chrono::system_clock::time_point time);

 private:
  void append(std::string_view line) noexcept;
  void open() noexcept;
  void close() noexcept;
  void rotate() noexcept;

  std::filesystem::path folder_;
  std::filesystem::path url_;
  std::filesystem::path previousURL_;
  Redaction redaction_;
  Clock clock_;
  mutable std::recursive_mutex mutex_;
  int handle_ = -1;             // guarded by mutex_
  std::int64_t sizeBytes_ = 0;  // guarded by mutex_
};

}  // namespace quimbel
