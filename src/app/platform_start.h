#pragma once

// A start with nowhere to show the instrument: no display, a display that
// does not answer, or no Qt platform plugin that can start. Qt ends such a
// start inside the QApplication constructor with an abort, which the crash
// handler would record and the next start would ask about. While a
// PlatformStartGuard exists, Qt's messages are held back instead; its fatal
// one prints one line saying what is missing (and which Debian package
// brings a missing plugin) and ends the program with status 1, before this
// run has a run marker. When the start succeeds, the held messages go out
// as usual.
//
// Thread contract: main thread, around the QApplication constructor only.

#include <optional>
#include <string>
#include <vector>

namespace quimbel {

// What the start had to go on.
struct PlatformSetting {
  std::optional<std::string> requested;  // QT_QPA_PLATFORM
  std::optional<std::string> display;    // DISPLAY
  std::optional<std::string> waylandDisplay;
};

// The line for a start that found no platform to run on, from the setting
// and what Qt said while it tried ("Could not find the Qt platform plugin
// "wayland" in """, "... even though it was found.").
std::string platformFailure(const PlatformSetting& setting, const std::vector<std::string>& qtSaid);

class PlatformStartGuard {
 public:
  PlatformStartGuard();
  ~PlatformStartGuard();
  PlatformStartGuard(const PlatformStartGuard&) = delete;
  PlatformStartGuard& operator=(const PlatformStartGuard&) = delete;
};

}  // namespace quimbel
