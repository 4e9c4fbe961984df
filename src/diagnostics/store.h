#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quimbel {

// Where the diagnostics files live: the log, and beside it the run markers,
// pending crash records and outgoing reports.
struct DiagnosticsStore {
  // Empty when the program must not keep diagnostics files (a test run that
  // did not name a folder, or no home folder at all).
  std::filesystem::path folder;

  // Reads one environment variable; nothing when it is unset.
  using Environment = std::function<std::optional<std::string>(std::string_view name)>;

  // The folder for this process: $QUIMBEL_DIAGNOSTICS_DIR when set, else
  // nothing in a test run, else $XDG_STATE_HOME/Quimbel/Diagnostics (an
  // absolute XDG_STATE_HOME only), else ~/.local/state/Quimbel/Diagnostics.
  static DiagnosticsStore standard();
  static DiagnosticsStore fromEnvironment(const Environment& environment,
                                          const std::filesystem::path& accountHome);

  // "Pending": records of ended runs and crash and hang payloads, kept until
  // the user was asked about them. Empty when `folder` is.
  std::filesystem::path pendingFolder() const;
  // "Outbox": the reports the user chose to send.
  std::filesystem::path outboxFolder() const;
};

// True in a test run (QUIMBEL_TESTING=1 or XCTestConfigurationFilePath set).
bool isTestRun(const DiagnosticsStore::Environment& environment);

}  // namespace quimbel
