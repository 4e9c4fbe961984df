#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "diagnostics/session_marker.h"

namespace quimbel {

// A run that did not end normally, as found by the next launch.
struct EndedSession {
  SessionMarker marker;
  // When that run last wrote to the log, when known.
  std::optional<utc::Time> lastLogAt;
  // The end of the log when the ended run was found.
  std::string log;

  std::string toJson() const;
  static std::optional<EndedSession> fromJson(std::string_view text);

  // "exit-<startedAt as yyyy-MM-dd HHmm>-<pid>.json".
  std::string fileName() const;
};

}  // namespace quimbel
