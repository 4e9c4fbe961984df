#pragma once

#include <string>
#include <string_view>
#include <vector>

// Program-wide reporting of events that degrade quietly.
//
// Thread contract: everything here is safe from any thread except the
// real-time audio thread (it may allocate, lock and make system calls).
// Nothing throws; a line that cannot be written is dropped.
//
// The log goes to DiagnosticsLog::shared(): in a test run
// (QUIMBEL_TESTING=1) that writes nowhere unless QUIMBEL_DIAGNOSTICS_DIR
// names a folder; LogCapture below lets a test see the lines instead.
namespace quimbel::diagnostics {

// Writes a tagged line such as "[audio] started at 48000 Hz" to the diagnostics log
// (redacted there) and echoes it to the developers' console as consoleLine does.
void logLine(std::string_view line);

// Writes "Quimbel: <message>" to standard error (the developers' console).
void consoleLine(std::string_view message);

// Test aid: while a capture exists, every logLine is also kept here, as given.
// Captures nest; the newest one receives the lines.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  // True when some captured line contains `text`.
  bool contains(std::string_view text) const;

 private:
  friend void logLine(std::string_view line);
  LogCapture* outer_;
  std::vector<std::string> lines_;
};

}  // namespace quimbel::diagnostics
