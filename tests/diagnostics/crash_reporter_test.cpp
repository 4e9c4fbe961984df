#include "diagnostics/crash_reporter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <tuple>

#include "diagnostics/ended_session.h"
#include "diagnostics/fatal_signals.h"
#include "diagnostics/manual_main_thread.h"
#include "diagnostics/temp_folder.h"

namespace quimbel {

// What the crash test looks for in the child's stack: kept apart and uninlined
// so that each is its own function in the symbol table.
__attribute__((noinline)) void crashByNullPointer() {
  // Both volatile: the compiler may neither see the null nor drop the store.
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

__attribute__((noinline)) void abortOnWorker() { std::abort(); }

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// 2026-12-07 12:15:09 UTC.
const utc::Time kNow = utc::Time(std::chrono::seconds(1796645709));

std::string slurp(const fs::path& file) {
  return (std::ostringstream() << std::ifstream(file, std::ios::binary).rdbuf()).str();
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

  bool ready = true, send = false;
  std::vector<std::string> questions;
  std::vector<Mail> mails;
};

// One launch of the program over a shared diagnostics folder, on virtual time.
struct Launch {
  Launch(const fs::path& folder, std::int32_t pid = 0) : log({folder}, Redaction()) {
    CrashReporter::Setup setup;
    setup.store = {folder};
    setup.info = {"1.0.0", "7", "Linux test", "Test Machine", "x86_64"};
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
  return Json{{"timeStampEnd", "2026-12-06 23:10:00 +0100"},
              {list, {{{"diagnosticMetaData", meta}}}}}
      .dump();
}

void writeFile(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

// A copy of this test program doing `act` in a child process, talking to
// the test through a pipe each way.
class Child {
 public:
  explicit Child(const std::function<void(int input, int output)>& act) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::close(in[1]);
      ::close(out[0]);
      act(in[0], out[1]);
      std::_Exit(0);
    }
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~Child() {
    closeInput();
    ::close(output_);
    if (pid > 0 && !reaped_) {
      ::kill(pid, SIGKILL);
      wait();
    }
  }
  std::string readLine() {
    std::string line;
    for (char c; ::read(output_, &c, 1) == 1 && c != '\n';) line.push_back(c);
    return line;
  }
  // A running child takes the end of its input as its quit.
  void closeInput() { ::close(std::exchange(input_, -1)); }
  int wait() {
    int status = 0;
    if (pid > 0 && !reaped_ && ::waitpid(pid, &status, 0) == pid) reaped_ = true;
    return status;
  }

  pid_t pid = -1;

 private:
  int input_ = -1, output_ = -1;
  bool reaped_ = false;
};

// A run of the program that says "ready" once started and quits when its
// input closes.
std::function<void(int, int)> running(const fs::path& folder) {
  return [folder](int input, int output) {
    Launch run(folder);
    run.reporter->start();
    [[maybe_unused]] auto said = ::write(output, "ready\n", 6);
    for (char byte; ::read(input, &byte, 1) > 0;) {
    }
    run.reporter->quit();
  };
}

const std::string kUnclean = "Quimbel didn’t close normally last time";
const std::string kCrashed = "Quimbel quit unexpectedly last time";
using Names = std::vector<std::string>;

TEST(CrashReporterTest, AKilledRunIsAskedAboutOnceAndANormalQuitLeavesNothing) {
  testing::TempFolder folder;
  {
    Child quitting(running(folder.path()));
    ASSERT_EQ(quitting.readLine(), "ready");
    quitting.closeInput();
    const int status = quitting.wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(namesIn(folder.path()), Names{"quimbel.log"});

  Child killed(running(folder.path()));
  ASSERT_EQ(killed.readLine(), "ready");
  ::kill(killed.pid, SIGKILL);
  killed.wait();
  const fs::path marker = folder.path() / SessionMarker::fileName(killed.pid);
  ASSERT_TRUE(fs::exists(marker));

  Launch next(folder.path());
  next.reporter->start();
  EXPECT_FALSE(fs::exists(marker));
  const auto pending = namesIn(folder.path() / "Pending");
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].rfind("exit-", 0), 0u);
  const auto ended = EndedSession::fromJson(slurp(folder.path() / "Pending" / pending[0]));
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->marker.pid, killed.pid);
  EXPECT_NE(ended->log.find("[quimbel] started: Quimbel 1.0.0 (7)"), std::string::npos);

  next.mainThread.advance(5999);
  EXPECT_TRUE(next.prompt.questions.empty());
  next.mainThread.advance(1);
  EXPECT_EQ(next.prompt.questions, Names{kUnclean});
  // "Not now": nothing mailed, the event gone for good.
  EXPECT_TRUE(namesIn(folder.path() / "Pending").empty());
  EXPECT_TRUE(next.prompt.mails.empty());
  next.reporter->quit();
  EXPECT_FALSE(fs::exists(next.reporter->markerFile()));

  Launch after(folder.path());
  after.reporter->start();
  after.mainThread.advance(60000);
  EXPECT_TRUE(after.prompt.questions.empty());
}

TEST(CrashReporterTest, OnlyALiveInstancesMarkerIsLeftAlone) {
  testing::TempFolder folder;
  Child live(running(folder.path()));
  ASSERT_EQ(live.readLine(), "ready");
  // An earlier run that had this process's id (ids come round again).
  const SessionMarker earlier{"0.9.0", "5", "Linux", ::getpid(), kNow - std::chrono::days(2)};
  writeFile(folder.path() / SessionMarker::fileName(::getpid()), earlier.toJson());

  Launch second(folder.path());
  second.reporter->start();
  EXPECT_TRUE(fs::exists(folder.path() / SessionMarker::fileName(live.pid)));
  EXPECT_EQ(namesIn(folder.path() / "Pending"), Names{EndedSession{earlier}.fileName()});
}

TEST(CrashReporterTest, AHangAloneAsksNothingAndABusyUserIsAskedTenSecondsLater) {
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
  EXPECT_EQ(launch.prompt.questions, Names{kCrashed});

  ASSERT_EQ(launch.prompt.mails.size(), 1u);
  const auto& mail = launch.prompt.mails[0];
  EXPECT_EQ(mail.subject, "Quimbel report (1.0.0)");
  EXPECT_EQ(mail.attachment, folder.path() / "Outbox" / "Quimbel report 2026-12-07 1215.txt");
  // The kept hang rides along with the crash.
  EXPECT_NE(slurp(mail.attachment).find("── Hang 1 ──\nQuimbel 1.0.0\nHang: 3.0 s\n"),
            std::string::npos);
  EXPECT_TRUE(namesIn(pending).empty());
}

TEST(CrashReporterTest, OldPendingFilesAndReportsArePruned) {
  testing::TempFolder folder;
  const fs::path pending = folder.path() / "Pending", outbox = folder.path() / "Outbox";
  const auto aged = [](const fs::path& file, std::chrono::seconds age) {
    writeFile(file, "x");
    fs::last_write_time(file, std::chrono::file_clock::from_sys(kNow - age));
  };
  aged(pending / "exit-kept.json", std::chrono::days(30));
  aged(pending / "metrickit-gone.json", std::chrono::days(30) + std::chrono::seconds(1));
  aged(outbox / "kept.txt", std::chrono::days(7));
  aged(outbox / "gone.txt", std::chrono::days(7) + std::chrono::seconds(1));
  Launch(folder.path()).reporter->start();
  EXPECT_EQ(namesIn(pending), Names{"exit-kept.json"});
  EXPECT_EQ(namesIn(outbox), Names{"kept.txt"});
}

// addr2line's function name for an offset into this test program.
std::string functionAt(std::uint64_t offset) {
  const std::string command = "addr2line -f -C -e /proc/" + std::to_string(::getpid()) + "/exe 0x" +
                              (std::ostringstream() << std::hex << offset).str();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
  char line[512] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  ::pclose(pipe);
  return read ? line : "";
}

TEST(CrashReporterTest, ARealCrashLeavesAPayloadThatTheNextStartReports) {
  // Under AddressSanitizer and ThreadSanitizer the handlers are switched off:
  // the sanitizer's runtime owns these signals and prints its own report.
  if (!fatalSignalHandlersAvailable()) GTEST_SKIP() << "crash handlers are off in sanitizer builds";
  const std::string self = fs::read_symlink("/proc/self/exe").filename().string();
  const auto onWorker = [] { std::thread(abortOnWorker).join(); };
  for (const auto& [crashes, signal, function, summary] :
       {std::tuple{&crashByNullPointer, SIGSEGV, "crashByNullPointer", "EXC_BAD_ACCESS (SIGSEGV)"},
        std::tuple{+onWorker, SIGABRT, "abortOnWorker", "EXC_CRASH (SIGABRT)"}}) {
    SCOPED_TRACE(function);
    testing::TempFolder folder;
    Child child([&, crashes = crashes](int, int) {
      const rlimit noCore{0, 0};  // the signal is wanted, not a core file
      ::setrlimit(RLIMIT_CORE, &noCore);
      const AppInfo info{"1.0.0", "7", "Linux test", "Test Machine", "x86_64"};
      if (installFatalSignalHandlers(DiagnosticsStore{folder.path()}.pendingFolder(), info)) {
        crashes();
      }
    });
    const int status = child.wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), signal);

    const auto pending = namesIn(folder.path() / "Pending");
    ASSERT_EQ(pending.size(), 1u);
    const Json json = Json::parse(slurp(folder.path() / "Pending" / pending[0]));
    const Json& diagnostic = json.at("crashDiagnostics").at(0);
    // Walk the crashing thread's frames, innermost first; return addresses
    // (every frame but the first) point just past their call.
    bool found = false;
    Json frames = diagnostic.at("callStackTree").at("callStacks").at(0).at("callStackRootFrames");
    for (int depth = 0; !frames.empty() && !found; ++depth) {
      const Json frame = frames.at(0);
      if (frame.value("binaryName", "") == self) {
        EXPECT_EQ(frame.at("binaryUUID").get<std::string>().size(), 40u);
        const auto offset = frame.at("offsetIntoBinaryTextSegment").get<std::uint64_t>();
        found = functionAt(offset - (depth > 0 ? 1 : 0)).find(function) != std::string::npos;
      }
      frames = frame.value("subFrames", Json::array());
    }
    EXPECT_TRUE(found) << json.dump(1);

    Launch next(folder.path());
    next.prompt.send = true;
    next.reporter->start();
    next.mainThread.advance(6000);
    EXPECT_EQ(next.prompt.questions, Names{kCrashed});
    ASSERT_EQ(next.prompt.mails.size(), 1u);
    const std::string report = slurp(next.prompt.mails[0].attachment);
    EXPECT_NE(report.find("Exception: " + std::string(summary) + "\nTermination: Namespace SIGNAL"),
              std::string::npos)
        << report;
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
    EXPECT_EQ(step.ongoingSeconds, look.ongoing);
    EXPECT_EQ(step.endedSeconds, look.ended);
  }
}

}  // namespace
}  // namespace quimbel
