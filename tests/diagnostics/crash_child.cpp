#include "crash_child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "diagnostics/crash_reporter.h"
#include "diagnostics/fatal_signals.h"
#include "diagnostics/manual_main_thread.h"

extern char** environ;

namespace quimbel::testing {

// What the crash tests look for in the child's stack: kept apart and
// uninlined so that each is its own function in the symbol table.
__attribute__((noinline)) void crashByNullPointer() {
  // Both volatile: the compiler may neither see the null nor drop the store.
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

__attribute__((noinline)) void abortOnWorker() { std::abort(); }

namespace {

class SilentPrompt final : public CrashPrompt {
 public:
  bool mayAsk() override { return false; }
  bool ask(const Question&) override { return false; }
  void mail(const Mail&, const Fallback&) override {}
};

AppInfo childInfo() { return {"1.0.0", "7", "Linux test", "Test Machine", "x86_64"}; }

// A run of the program: marks itself, says "ready", and quits normally when
// its input closes (or dies when the parent kills it).
[[noreturn]] void runUntilInputCloses(const std::filesystem::path& folder) {
  ManualClock clock;
  ManualMainThread mainThread(clock);
  SilentPrompt prompt;
  DiagnosticsLog log({folder}, Redaction());
  CrashReporter::Setup setup;
  setup.store = {folder};
  setup.info = childInfo();
  setup.log = &log;
  setup.watchHangs = false;
  CrashReporter reporter(setup, mainThread, prompt);
  reporter.start();
  [[maybe_unused]] auto said = ::write(STDOUT_FILENO, "ready\n", 6);
  char byte;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  reporter.quit();
  std::_Exit(0);
}

[[noreturn]] void crash(std::string_view mode, const std::filesystem::path& folder) {
  // The test wants the signal, not a core file.
  const rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
  if (!installFatalSignalHandlers(DiagnosticsStore{folder}.pendingFolder(), childInfo())) {
    std::_Exit(3);
  }
  if (mode == "segv") crashByNullPointer();
  if (mode == "abort-thread") std::thread(abortOnWorker).join();
  std::_Exit(4);
}

bool runChildIfAsked() {
  const char* mode = std::getenv("QUIMBEL_CRASH_CHILD");
  const char* folder = std::getenv("QUIMBEL_CRASH_DIR");
  if (!mode || !folder) return false;
  if (std::string_view(mode) == "run") runUntilInputCloses(folder);
  crash(mode, folder);
}

[[maybe_unused]] const bool childRan = runChildIfAsked();

}  // namespace

CrashChild::CrashChild(const std::string& mode, const std::filesystem::path& folder) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::vector<std::string> variables{"QUIMBEL_CRASH_CHILD=" + mode,
                                     "QUIMBEL_CRASH_DIR=" + folder.string()};
  std::vector<char*> environment;
  for (auto& variable : variables) environment.push_back(variable.data());
  for (char** entry = environ; *entry; ++entry) environment.push_back(*entry);
  environment.push_back(nullptr);
  char program[] = "/proc/self/exe";
  char* argv[] = {program, nullptr};
  if (posix_spawn(&pid_, program, &actions, nullptr, argv, environment.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  input_ = in[1];
  output_ = out[0];
}

CrashChild::~CrashChild() {
  closeInput();
  if (output_ >= 0) ::close(output_);
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    wait();
  }
}

std::string CrashChild::readLine() {
  std::string line;
  char c;
  while (output_ >= 0 && ::read(output_, &c, 1) == 1 && c != '\n') line.push_back(c);
  return line;
}

void CrashChild::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

int CrashChild::wait() {
  int status = 0;
  if (pid_ > 0 && !reaped_ && ::waitpid(pid_, &status, 0) == pid_) reaped_ = true;
  return status;
}

}  // namespace quimbel::testing
