#pragma once

// The plain-text report the user may send after a crash or an abnormal end:
// what happened, the details of each crash and hang, the log, and the raw
// payloads. Pure functions; the reporter supplies everything.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/app_info.h"
#include "diagnostics/ended_session.h"
#include "diagnostics/redaction.h"
#include "diagnostics/utc_time.h"

namespace quimbel::crashreport {

inline constexpr std::string_view kSupportAddress = "support@quimbel.app";

// One saved crash or hang payload: its text as saved and that text parsed.
struct Payload {
  std::string text;
  nlohmann::json json;
};

// True when the payload's "crashDiagnostics" list is not empty.
bool holdsCrash(const nlohmann::json& payload);

// "EXC_BAD_ACCESS (SIGSEGV)", "exception type 99 (signal 30)", … from a
// diagnostic's "diagnosticMetaData"; "no reason given" when it names nothing.
std::string crashSummary(const nlohmann::json& meta);

// The lines under "── Crash n ──" or "── Hang n ──" for one entry of a
// payload's "crashDiagnostics" or "hangDiagnostics".
std::vector<std::string> detailLines(const nlohmann::json& diagnostic);

// The whole report, ending in a line feed; only the body is redacted (the
// header holds nothing private).
std::string composeReport(const std::vector<EndedSession>& ended,
                          const std::vector<Payload>& payloads, std::string_view logTail,
                          const AppInfo& info, utc::Time now, const Redaction& redaction);

}  // namespace quimbel::crashreport
