#include "diagnostics/crash_report_text.h"

#include <gtest/gtest.h>

#include "diagnostics/ended_session.h"
#include "diagnostics/session_marker.h"

namespace quimbel::crashreport {
namespace {

using Json = nlohmann::json;

// 2026-12-07 12:15:09 UTC.
const utc::Time kNow = utc::Time(std::chrono::seconds(1796645709));
const AppInfo kInfo{"1.0.0", "7", "Linux 6.1", "ThinkPad", "x86_64"};

TEST(CrashReportTextTest, CrashSummariesNameWhatTheTablesKnow) {
  const std::pair<Json, const char*> cases[] = {
      {{{"exceptionType", 10}, {"signal", 6}}, "EXC_CRASH (SIGABRT)"},
      {{{"exceptionType", 99}, {"signal", 30}}, "exception type 99 (signal 30)"},
      {{{"exceptionType", 1}, {"objectiveCexceptionReason", {{"exceptionName", "RangeError"}}}},
       "EXC_BAD_ACCESS from RangeError"},
      {Json::object(), "no reason given"}};
  for (const auto& [meta, summary] : cases) EXPECT_EQ(crashSummary(meta), summary) << meta;
}

TEST(CrashReportTextTest, DetailLinesListTheCrashedThreadFirstWithNestedFrames) {
  const Json leaf = Json::parse(R"({"binaryName": "libc.so.6", "binaryUUID": "AB12",
      "offsetIntoBinaryTextSegment": 26, "sampleCount": 12})");
  const Json diagnostic{
      {"diagnosticMetaData", Json::parse(R"({"appVersion": "1.0.0", "appBuildVersion": "7",
          "platformArch": "x86_64", "osVersion": "Linux 6.1", "exceptionType": 6, "signal": 5,
          "exceptionCode": 0, "terminationReason": "Namespace SIGNAL, Code 5"})")},
      {"callStackTree",
       {{"callStacks",
         {{{"threadAttributed", false},
           {"callStackRootFrames", {{{"binaryName", "quimbel"}, {"sampleCount", 1}}}}},
          {{"threadAttributed", false}, {"callStackRootFrames", Json::array()}},
          {{"threadAttributed", true}, {"callStackRootFrames", {{{"subFrames", {leaf}}}}}}}}}}};
  EXPECT_EQ(
      detailLines(diagnostic),
      (std::vector<std::string>{
          "Quimbel 1.0.0 (7) · x86_64 · Linux 6.1", "Exception: EXC_BREAKPOINT (SIGTRAP), code 0",
          "Termination: Namespace SIGNAL, Code 5", "Thread 2 (crashed)", "  0   ?  [? +0x0]",
          "  1   libc.so.6  [AB12 +0x1A]  × 12", "Thread 0", "  0   quimbel  [? +0x0]"}));
}

TEST(CrashReportTextTest, AReportOfAnEndedRunHasItsHeaderSessionsAndRedactedLog) {
  const SessionMarker marker{"0.9.0", "5", "Linux 6.1", 42, kNow - std::chrono::hours(26)};
  const std::vector<EndedSession> ended{
      {marker, kNow - std::chrono::hours(25), "12:00 [quimbel] opened /home/ada/take.mid\n"}};
  EXPECT_EQ(composeReport(ended, {}, "unused tail", kInfo, kNow, Redaction({"Ada Lovelace"})),
            "Quimbel report, made 2026-12-07 12:15 on Quimbel 1.0.0 (7), Linux 6.1, ThinkPad, "
            "x86_64.\n"
            "It holds no audio and nothing about your sounds. Times are UTC. Send it to "
            "support@quimbel.app.\n\n"
            "What happened\n"
            "  · Quimbel 0.9.0 (5) didn’t close normally: started 2026-12-06 10:15, last logged "
            "2026-12-06 11:15.\n\n"
            "── The log when Quimbel 0.9.0 (5) ended, started 2026-12-06 10:15 ──\n"
            "12:00 [quimbel] opened ~/take.mid\n"
            "\n");
}

TEST(CrashReportTextTest, PayloadsAreNamedAsTheProgramsOwnCrashHandlerWroteThem) {
  const std::string text = R"({"timeStampEnd":"2026-12-07 12:10:00","crashDiagnostics":[]})";
  const std::vector<crashreport::Payload> payloads{{text + "\n", nlohmann::json::parse(text)}};
  const std::string report = composeReport({}, payloads, "", kInfo, kNow, Redaction());
  EXPECT_NE(
      report.find("── Crash payload 1, written by Quimbel's crash handler ──\n" + text + "\n"),
      std::string::npos)
      << report;
  EXPECT_EQ(report.find("macOS"), std::string::npos) << report;
  EXPECT_EQ(report.find("MetricKit"), std::string::npos) << report;
}

TEST(CrashReportTextTest, MarkersAndSystemNamesAreWrittenAsTheReportsQuoteThem) {
  const SessionMarker marker{"1.0.0", "7", "Linux 6.1", 42, kNow};
  EXPECT_EQ(marker.toJson(), R"({"version":"1.0.0","build":"7","system":"Linux 6.1","pid":42,)"
                             R"("startedAt":"2026-12-07T12:15:09Z"})");
  EXPECT_EQ(EndedSession{marker}.fileName(), "exit-2026-12-07 1215-42.json");

  const std::pair<const char*, const char*> cases[] = {
      {"NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n",
       "Linux 6.1.0-18-amd64, Debian GNU/Linux 12 (bookworm)"},
      {"PRETTY_NAME='Arch Linux'", "Linux 6.1.0-18-amd64, Arch Linux"},
      {"NAME=Debian\n", "Linux 6.1.0-18-amd64"}};
  for (const auto& [osRelease, system] : cases)
    EXPECT_EQ(AppInfo::systemDescription("6.1.0-18-amd64", osRelease), system);
}

}  // namespace
}  // namespace quimbel::crashreport
