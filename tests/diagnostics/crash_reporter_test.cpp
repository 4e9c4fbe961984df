#include "diagnostics/crash_reporter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "crash_child.h"
#include "diagnostics/ended_session.h"
#include "diagnostics/fatal_signals.h"
#include "diagnostics/manual_main_thread.h"
#include "diagnostics/temp_folder.h"

namespace quimbel {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using testing::CrashChild;

// 2026-12-07 12:15:09 UTC.
const utc::Time kNow = utc::Time(std::chrono::seconds(1796645709));

std::string slurp(const fs::path& file) {
  std::ostringstream text;
  text << std::ifstream(file, std::ios::binary).rdbuf();
  return text.str();
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class FakePrompt final : public CrashPrompt {
 public:
  bool mayAsk() override { return ready; }
  bool ask(const Question& question) override {
    questions.push_back(question.message);
    return send;
  }
  void mail(const Mail& mail, const Fallback&) override { mails.push_back(mail); }

  bool ready = true;
  bool send = false;
  std::vector<std::string> questions;
  std::vector<Mail> mails;
};

// One launch of the program over a shared diagnostics folder, on virtual time.
struct Launch {
  Launch(const fs::path& folder, std::int32_t pid = 0)
      : log({folder}, Redaction({"Ada Lovelace", "Lovelace"})) {
    CrashReporter::Setup setup;
    setup.store = {folder};
    setup.info = {"1.0.0", "7", "Linux 6.1.0, Debian GNU/Linux 12 (bookworm)", "Test Machine",
                  "x86_64"};
    setup.log = &log;
    setup.watchHangs = false;
    setup.now = [] { return kNow; };
    setup.pid = pid;
    reporter = std::make_unique<CrashReporter>(setup, mainThread, prompt);
  }

  ManualClock clock;
  ManualMainThread mainThread{clock};
  FakePrompt prompt;
  DiagnosticsLog log;
  std::unique_ptr<CrashReporter> reporter;
};

// A hand-made payload of the kind the crash handler and the watchdog write.
std::string payload(const char* list, const Json& meta) {
  Json diagnostic{{"diagnosticMetaData", meta}};
  return Json{{"timeStampEnd", "2026-12-06 23:10:00 +0100"}, {list, Json::array({diagnostic})}}
      .dump();
}

void writeFile(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

TEST(CrashReporterTest, AKilledRunIsAskedAboutOnceAndANormalQuitLeavesNothing) {
  testing::TempFolder folder;
  {
    CrashChild quitting("run", folder.path());
    ASSERT_EQ(quitting.readLine(), "ready");
    quitting.closeInput();
    const int status = quitting.wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"quimbel.log"});

  CrashChild killed("run", folder.path());
  ASSERT_EQ(killed.readLine(), "ready");
  ::kill(killed.pid(), SIGKILL);
  killed.wait();
  const std::string marker = "session-" + std::to_string(killed.pid()) + ".json";
  ASSERT_TRUE(fs::exists(folder.path() / marker));

  Launch next(folder.path());
  next.reporter->start();
  EXPECT_FALSE(fs::exists(folder.path() / marker));
  EXPECT_TRUE(fs::exists(next.reporter->markerFile()));
  const auto pending = namesIn(folder.path() / "Pending");
  ASSERT_EQ(pending.size(), 1u);
  const auto ended = EndedSession::fromJson(slurp(folder.path() / "Pending" / pending[0]));
  ASSERT_TRUE(ended);
  EXPECT_EQ(pending[0], ended->fileName());
  EXPECT_EQ(ended->marker.pid, killed.pid());
  EXPECT_NE(ended->log.find("[quimbel] started: Quimbel 1.0.0 (7), Linux test, Test Machine"),
            std::string::npos);
  EXPECT_TRUE(ended->lastLogAt);

  next.mainThread.advance(5999);
  EXPECT_TRUE(next.prompt.questions.empty());
  next.mainThread.advance(1);
  EXPECT_EQ(next.prompt.questions,
            std::vector<std::string>{"Quimbel didn’t close normally last time"});
  EXPECT_TRUE(namesIn(folder.path() / "Pending").empty());
  EXPECT_TRUE(next.prompt.mails.empty());
  EXPECT_NE(slurp(folder.path() / "quimbel.log").find("[quimbel] crash report: not now"),
            std::string::npos);
  next.reporter->quit();
  EXPECT_FALSE(fs::exists(next.reporter->markerFile()));

  Launch after(folder.path());
  after.reporter->start();
  after.mainThread.advance(60000);
  EXPECT_TRUE(after.prompt.questions.empty());
}

TEST(CrashReporterTest, OnlyLiveInstancesAndUnreadableMarkersAreLeftAlone) {
  testing::TempFolder folder;
  CrashChild running("run", folder.path());
  ASSERT_EQ(running.readLine(), "ready");
  writeFile(folder.path() / "session-99999999.json", "{not a marker");
  // An earlier run that had this process's id (ids come round again).
  const SessionMarker earlier{"0.9.0", "5", "Linux", ::getpid(), kNow - std::chrono::days(2)};
  writeFile(folder.path() / SessionMarker::fileName(::getpid()), earlier.toJson());

  Launch second(folder.path());
  second.reporter->start();
  EXPECT_TRUE(fs::exists(folder.path() / ("session-" + std::to_string(running.pid()) + ".json")));
  EXPECT_TRUE(fs::exists(folder.path() / "session-99999999.json"));
  EXPECT_EQ(namesIn(folder.path() / "Pending"),
            std::vector<std::string>{EndedSession{earlier}.fileName()});
  second.mainThread.advance(6000);
  EXPECT_EQ(second.prompt.questions,
            std::vector<std::string>{"Quimbel didn’t close normally last time"});
}

TEST(CrashReporterTest, HangsRideAlongAndABusyUserIsAskedTenSecondsLater) {
  testing::TempFolder folder;
  const fs::path pending = folder.path() / "Pending";
  writeFile(pending / "metrickit-B.json",
            payload("hangDiagnostics", {{"appVersion", "1.0.0"}, {"hangDuration", "3.0 s"}}));
  {
    Launch hangOnly(folder.path(), 101);
    hangOnly.reporter->start();
    hangOnly.mainThread.advance(60000);
    EXPECT_TRUE(hangOnly.prompt.questions.empty());
    hangOnly.reporter->quit();
  }
  writeFile(pending / "metrickit-A.json",
            payload("crashDiagnostics", {{"exceptionType", 1}, {"signal", SIGSEGV}}));
  Launch launch(folder.path(), 102);
  launch.prompt.ready = false;
  launch.prompt.send = true;
  launch.reporter->start();
  launch.mainThread.advance(15999);
  EXPECT_TRUE(launch.prompt.questions.empty());
  launch.prompt.ready = true;
  launch.mainThread.advance(1);
  EXPECT_EQ(launch.prompt.questions,
            std::vector<std::string>{"Quimbel quit unexpectedly last time"});

  ASSERT_EQ(launch.prompt.mails.size(), 1u);
  const auto& mail = launch.prompt.mails[0];
  EXPECT_EQ(mail.subject, "Quimbel report (1.0.0)");
  EXPECT_EQ(mail.attachment, folder.path() / "Outbox" / "Quimbel report 2026-12-07 1215.txt");
  const std::string report = slurp(mail.attachment);
  for (const char* part :
       {"  · Quimbel quit unexpectedly: EXC_BAD_ACCESS (SIGSEGV) (MetricKit, 2026-12-06 22:10).\n"
        "  · Quimbel stopped responding for 3.0 s (MetricKit, 2026-12-06 22:10).\n",
        "── Hang 1 ──\nQuimbel 1.0.0\nHang: 3.0 s\n",
        "── MetricKit payload 2, as macOS gave it ──"}) {
    EXPECT_NE(report.find(part), std::string::npos) << part;
  }
  EXPECT_TRUE(namesIn(pending).empty());
}

TEST(CrashReporterTest, OldPendingFilesAndReportsArePruned) {
  testing::TempFolder folder;
  const fs::path pending = folder.path() / "Pending", outbox = folder.path() / "Outbox";
  const auto aged = [](const fs::path& file, int days, int extraSeconds) {
    writeFile(file, "x");
    fs::last_write_time(file,
                        std::chrono::file_clock::from_sys(kNow - std::chrono::days(days) -
                                                          std::chrono::seconds(extraSeconds)));
  };
  aged(pending / "exit-kept.json", 30, 0);
  aged(pending / "metrickit-gone.json", 30, 1);
  aged(outbox / "kept.txt", 7, 0);
  aged(outbox / "gone.txt", 7, 1);
  Launch launch(folder.path());
  launch.reporter->start();
  EXPECT_EQ(namesIn(pending), std::vector<std::string>{"exit-kept.json"});
  EXPECT_EQ(namesIn(outbox), std::vector<std::string>{"kept.txt"});
}

// The functions the crash children die in (crash_child.cpp).
struct RealCrash {
  const char* mode;
  int signal;
  const char* function;
  const char* summary;
};

// addr2line's function name for an offset into this test program.
std::string functionAt(std::uint64_t offset) {
  char command[512];
  std::snprintf(command, sizeof command, "addr2line -f -C -e /proc/%d/exe 0x%llx", ::getpid(),
                static_cast<unsigned long long>(offset));
  FILE* pipe = ::popen(command, "r");
  if (!pipe) return {};
  std::array<char, 512> line{};
  const bool read = std::fgets(line.data(), line.size(), pipe) != nullptr;
  ::pclose(pipe);
  return read ? line.data() : "";
}

TEST(CrashReporterTest, ARealCrashLeavesAPayloadThatTheNextStartReports) {
  // Under AddressSanitizer and ThreadSanitizer the handlers are switched off:
  // the sanitizer's runtime owns these signals and prints its own report.
  if (!fatalSignalHandlersAvailable()) GTEST_SKIP() << "crash handlers are off in sanitizer builds";
  const std::string self = fs::read_symlink("/proc/self/exe").filename().string();
  for (const RealCrash& crash :
       {RealCrash{"segv", SIGSEGV, "crashByNullPointer", "EXC_BAD_ACCESS (SIGSEGV)"},
        RealCrash{"abort-thread", SIGABRT, "abortOnWorker", "EXC_CRASH (SIGABRT)"}}) {
    SCOPED_TRACE(crash.mode);
    testing::TempFolder folder;
    CrashChild child(crash.mode, folder.path());
    const int status = child.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), crash.signal);

    const auto pending = namesIn(folder.path() / "Pending");
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].rfind("metrickit-", 0), 0u);
    const Json json = Json::parse(slurp(folder.path() / "Pending" / pending[0]));
    const Json& diagnostic = json.at("crashDiagnostics").at(0);
    EXPECT_EQ(diagnostic.at("diagnosticMetaData").at("signal"), crash.signal);
    // Walk the crashing thread's frames, innermost first; return addresses
    // (every frame but the first) point just past their call.
    bool found = false;
    const Json* frames =
        &diagnostic.at("callStackTree").at("callStacks").at(0).at("callStackRootFrames");
    for (int depth = 0; !frames->empty() && !found; ++depth) {
      const Json& frame = frames->at(0);
      if (frame.value("binaryName", "") == self) {
        EXPECT_EQ(frame.at("binaryUUID").get<std::string>().size(), 40u);
        const auto offset = frame.at("offsetIntoBinaryTextSegment").get<std::uint64_t>();
        found = functionAt(offset - (depth > 0 ? 1 : 0)).find(crash.function) != std::string::npos;
      }
      static const Json kNone = Json::array();
      frames = frame.contains("subFrames") ? &frame.at("subFrames") : &kNone;
    }
    EXPECT_TRUE(found) << json.dump(1);

    Launch next(folder.path());
    next.prompt.send = true;
    next.reporter->start();
    next.mainThread.advance(6000);
    EXPECT_EQ(next.prompt.questions,
              std::vector<std::string>{"Quimbel quit unexpectedly last time"});
    ASSERT_EQ(next.prompt.mails.size(), 1u);
    const std::string report = slurp(next.prompt.mails[0].attachment);
    EXPECT_NE(report.find(std::string("Exception: ") + crash.summary +
                          "\n"
                          "Termination: Namespace SIGNAL"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Thread 0 (crashed)\n  0   "), std::string::npos);
  }
}

TEST(HangTrackerTest, AStallOfTwoSecondsIsAHangUntilTheNextBeat) {
  HangTracker tracker(250, 2000);
  struct Look {
    double nowMs, lastBeatMs;
    bool began;
    std::optional<double> ongoing, ended;
  };
  for (const Look& look : {
           Look{1000, 1000, false, {}, {}},
           Look{3249, 1000, false, {}, {}},    // 1.999 s past the due beat
           Look{3250, 1000, true, 2.0, {}},    // noticed
           Look{4250, 1000, false, 3.0, {}},   // still stalled
           Look{4300, 4280, false, {}, 3.03},  // the beat ran at 4280
           Look{6529, 4280, false, {}, {}},    // a fresh count from the new beat
           Look{6530, 4280, true, 2.0, {}},
       }) {
    const auto step = tracker.look(look.nowMs, look.lastBeatMs);
    SCOPED_TRACE(look.nowMs);
    EXPECT_EQ(step.began, look.began);
    EXPECT_EQ(step.ongoingSeconds.has_value(), look.ongoing.has_value());
    if (look.ongoing) {
      EXPECT_DOUBLE_EQ(*step.ongoingSeconds, *look.ongoing);
    }
    EXPECT_EQ(step.endedSeconds.has_value(), look.ended.has_value());
    if (look.ended) {
      EXPECT_DOUBLE_EQ(*step.endedSeconds, *look.ended);
    }
  }
}

}  // namespace
}  // namespace quimbel
