#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "diagnostics/utc_time.h"

namespace quimbel {

// The file a run writes at launch and removes when it quits: one left
// behind means the run crashed, hung or was killed.
struct SessionMarker {
  std::string version;
  std::string build;
  std::string system;
  std::int32_t pid = 0;
  utc::Time startedAt;

  // {"version", "build", "system", "pid", "startedAt"} in that order, the
  // launch time in ISO 8601.
  std::string toJson() const;
  // Nothing when the text is no marker.
  static std::optional<SessionMarker> fromJson(std::string_view text);

  // "session-<pid>.json".
  static std::string fileName(std::int32_t pid);
};

// Reads a whole small file; nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

// Writes a file through a temporary beside it and a rename, so that a reader
// never sees half of it. Creates the folder. False on any failure, with the
// temporary removed.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::string* error = nullptr);

}  // namespace quimbel
