#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// The times in diagnostics file names, markers and reports: always UTC, in
// fixed patterns that do not depend on the user's locale.
namespace quimbel::utc {

using Time = std::chrono::system_clock::time_point;

// "2026-12-07 1215": the time in a file name.
std::string fileStamp(Time time);
// "2026-12-07 12:15": the time in a report.
std::string minutes(Time time);
// "2026-12-07T12:15:09Z": the time stored in a run marker.
std::string iso8601(Time time);

// Reads "yyyy-MM-ddTHH:mm:ss" with optional fractional seconds and a "Z" or
// "+HH:MM" / "+HHMM" zone; nothing for anything else.
std::optional<Time> parseIso8601(std::string_view text);

// Reads a payload's time, "yyyy-MM-dd HH:mm:ss +0100" or, without a zone,
// "yyyy-MM-dd HH:mm:ss" taken as UTC; nothing for anything else.
std::optional<Time> parsePayloadTime(std::string_view text);

}  // namespace quimbel::utc
