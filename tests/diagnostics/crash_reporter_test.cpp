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

#include "base/manual_main_thread.h"
#include "diagnostics/ended_session.h"
#include "diagnostics/fatal_signals.h"
#include "diagnostics/hang_watchdog.h"
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
const AppInfo kInfo{"1.0.0", "7", "Linux test", "Test Machine", "x86_64"};

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored))
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class FakePrompt final : public CrashPrompt {
 public:
  bool mayAsk() override { return true; }
  bool ask(const Question& question) override {
    return questions.push_back(question.message), send;
  }
  void mail(const Mail& mail, const Fallback&) override { mails.push_back(mail); }

  bool send = false;
  std::vector<std::string> questions;
  std::vector<Mail> mails;
};

// One launch of the program over a shared diagnostics folder, on virtual time.
struct Launch {
  Launch(const fs::path& folder, std::int32_t pid = 0) : log({folder}, Redaction()) {
    const auto now = [] { return kNow; };  // no hang watchdog, no running twin
    const CrashReporter::Setup setup{{folder}, kInfo, &log, false, false, {}, now, pid};
    reporter = std::make_unique<CrashReporter>(setup, mainThread, prompt);
  }

  ManualClock clock;
  ManualMainThread mainThread{clock};
  FakePrompt prompt;
  DiagnosticsLog log;
  std::unique_ptr<CrashReporter> reporter;
};

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
    if ((pid = ::fork()) == 0) {
      ::close(in[1]);
      act(in[0], out[1]);
      std::_Exit(0);
    }
    ::close(in[0]), ::close(out[1]);
    input_ = in[1], output_ = out[0];
  }
  ~Child() {
    closeInput();
    ::close(output_);
    if (pid > 0 && !reaped_) ::kill(pid, SIGKILL), wait();
  }
  bool ready() { return ::read(output_, &ready_, 1) == 1; }
  // A running child takes the end of its input as its quit.
  void closeInput() { ::close(std::exchange(input_, -1)); }
  int wait() {
    int status = 0;
    reaped_ = reaped_ || (pid > 0 && ::waitpid(pid, &status, 0) == pid);
    return status;
  }

  pid_t pid = -1;

 private:
  int input_ = -1, output_ = -1;
  bool reaped_ = false;
  char ready_ = 0;
};

// A run of the program that says it is ready once started and quits when its
// input closes.
std::function<void(int, int)> running(const fs::path& folder) {
  return [folder](int input, int output) {
    Launch run(folder);
    run.reporter->start();
    [[maybe_unused]] auto said = ::write(output, "r", 1);
    for (char byte; ::read(input, &byte, 1) > 0;) continue;
    run.reporter->quit();
  };
}

using Names = std::vector<std::string>;

TEST(CrashReporterTest, AKilledRunIsAskedAboutOnceAndANormalQuitOrAHangLeavesNothingToAsk) {
  testing::TempFolder folder;
  Child quitting(running(folder.path()));
  ASSERT_TRUE(quitting.ready());
  quitting.closeInput();
  ASSERT_EQ(quitting.wait(), 0);  // exited with status 0
  EXPECT_EQ(namesIn(folder.path()), Names{"quimbel.log"});

  Child killed(running(folder.path()));
  ASSERT_TRUE(killed.ready());
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
  const auto ended = EndedSession::fromJson(contents(folder.path() / "Pending" / pending[0]));
  EXPECT_EQ(ended.value().marker.pid, killed.pid);

  next.mainThread.advance(5999);
  EXPECT_TRUE(next.prompt.questions.empty());
  next.mainThread.advance(1);
  EXPECT_EQ(next.prompt.questions, Names{"Quimbel didn’t close normally last time"});
  // "Not now": nothing mailed, the event gone for good.
  EXPECT_TRUE(namesIn(folder.path() / "Pending").empty());
  EXPECT_TRUE(next.prompt.mails.empty());
  next.reporter->quit();

  // Nor is it asked again; a hang alone asks nothing either.
  writeFile(folder.path() / "Pending" / "metrickit-B.json",
            R"({"hangDiagnostics": [{"diagnosticMetaData": {"hangDuration": "3.0 s"}}]})");
  Launch after(folder.path());
  after.reporter->start();
  after.mainThread.advance(60000);
  EXPECT_TRUE(after.prompt.questions.empty());
}

TEST(CrashReporterTest, OnlyALiveInstancesMarkerIsLeftAlone) {
  testing::TempFolder folder;
  Child live(running(folder.path()));
  ASSERT_TRUE(live.ready());
  // An earlier run that had this process's id (ids come round again).
  const SessionMarker earlier{"0.9.0", "5", "Linux", ::getpid(), kNow - std::chrono::days(2)};
  writeFile(folder.path() / SessionMarker::fileName(::getpid()), earlier.toJson());

  Launch second(folder.path());
  second.reporter->start();
  EXPECT_TRUE(fs::exists(folder.path() / SessionMarker::fileName(live.pid)));
  EXPECT_EQ(namesIn(folder.path() / "Pending"), Names{EndedSession{earlier}.fileName()});
}

TEST(HangWatchdogTest, SwitchedOffItLeavesNoBeatOnTheMainThread) {
  testing::TempFolder folder;
  ManualClock clock{1000.0};
  ManualMainThread mainThread{clock};
  HangWatchdog watchdog(mainThread, folder.path() / "Pending", kInfo, [] {});
  EXPECT_EQ(mainThread.scheduledCount(), 1u);
  watchdog.setWatching(false);
  EXPECT_EQ(std::tuple(watchdog.watching(), mainThread.scheduledCount()),
            std::tuple(false, std::size_t{0}));
  watchdog.setWatching(true);
  EXPECT_EQ(mainThread.scheduledCount(), 1u);
}

// addr2line's function name for an offset into this test program.
std::string functionAt(std::uint64_t offset) {
  const std::string command = "addr2line -f -C -e /proc/" + std::to_string(::getpid()) + "/exe 0x" +
                              (std::ostringstream() << std::hex << offset).str();
  FILE* pipe = ::popen(command.c_str(), "r");
  char line[512] = {};
  if (pipe && !std::fgets(line, sizeof line, pipe)) line[0] = 0;
  if (pipe) ::pclose(pipe);
  return line;
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
      if (!installFatalSignalHandlers(DiagnosticsStore{folder.path()}.pendingFolder(), kInfo))
        return;
      // The hang sampler's signal must not interrupt the crash handler.
      struct sigaction installed = {};
      ::sigaction(SIGSEGV, nullptr, &installed);
      if (sigismember(&installed.sa_mask, hangSampleSignal()) != 1) ::_exit(3);
      crashes();
    });
    const int status = child.wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;

    const auto pending = namesIn(folder.path() / "Pending");
    ASSERT_EQ(pending.size(), 1u);
    const Json json = Json::parse(contents(folder.path() / "Pending" / pending[0]));
    // Walk the crashing thread's frames, innermost first; return addresses
    // (every frame but the first) point just past their call.
    bool found = false;
    Json frames = json.at("crashDiagnostics")
                      .at(0)
                      .at("callStackTree")
                      .at("callStacks")
                      .at(0)
                      .at("callStackRootFrames");
    for (int depth = 0; !frames.empty() && !found; ++depth) {
      const Json frame = frames.at(0);
      if (frame.value("binaryName", "") == self) {
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
    EXPECT_EQ(next.prompt.questions, Names{"Quimbel quit unexpectedly last time"});
    ASSERT_EQ(next.prompt.mails.size(), 1u);
    const std::string report = contents(next.prompt.mails[0].attachment);
    EXPECT_NE(report.find("Exception: " + std::string(summary) + "\nTermination: Namespace SIGNAL"),
              std::string::npos)
        << report;
  }
}

}  // namespace
}  // namespace quimbel
