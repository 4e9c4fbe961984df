#pragma once

// The program's own crash and hang diagnostics, which the desktop does not
// provide: a handler for the fatal signals that writes a payload of the
// crashing thread's stack into "Pending" before the process dies as it
// would have anyway, and a watchdog that records a payload when the main
// thread's event loop stalls for 2 seconds or more. The crash reporter reads
// both at the next check.
//
// Thread contract: install and refresh on the main thread. The handler runs
// on the crashing thread, on that thread's alternate signal stack when it has
// one (the main thread gets one at install, other threads through
// prepareThreadForCrashes), and makes only async-signal-safe calls into
// memory prepared at install: the frames come from backtrace(), which is
// called once at install so that its first use (which loads the unwinder and
// may allocate) never happens inside the handler. A thread without its own
// alternate stack still records crashes, except a stack overflow. The
// real-time audio thread is such a thread: it may make no system call, so it
// never asks for one.

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "diagnostics/app_info.h"
#include "diagnostics/main_thread.h"

namespace quimbel {

// False in sanitizer builds: their runtimes own the fatal signals and print
// their own reports, which a handler of ours would swallow.
bool fatalSignalHandlersAvailable();

// Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT and
// SIGTRAP, recording into the standard diagnostics folder's "Pending". Does
// nothing in a test run or without a folder. Call first thing in main.
void installFatalSignalHandlers();

// The same, recording into `pendingFolder` with `info`; false when the
// handlers are switched off in this build. Once per process.
bool installFatalSignalHandlers(const std::filesystem::path& pendingFolder, const AppInfo& info);

// Reads the loaded libraries' address ranges and build IDs again, for
// libraries loaded since the handlers were installed.
void refreshLoadedModules();

// Gives the calling thread an alternate signal stack of its own, released
// when the thread ends. Allocates: call it where a thread begins, never on
// the real-time audio thread.
void prepareThreadForCrashes();

// Follows the main thread's event loop from a thread of its own. A stall of
// kHangSeconds or more becomes a hang payload in "Pending" holding the main
// thread's stack as sampled when the stall was noticed (a signal to the main
// thread, whose handler only calls backtrace(); a sleep or poll the main
// thread is stuck in returns early with EINTR, as under a profiler); the
// payload is rewritten each second while the stall lasts (so that a killed
// hang is still on record) and `delivered` runs on the main thread once the
// loop runs again.
class HangWatchdog {
 public:
  static constexpr double kHangSeconds = 2.0;
  static constexpr double kBeatSeconds = 0.25;

  HangWatchdog(MainThread& mainThread, std::filesystem::path pendingFolder, AppInfo info,
               std::function<void()> delivered);
  ~HangWatchdog();
  HangWatchdog(const HangWatchdog&) = delete;
  HangWatchdog& operator=(const HangWatchdog&) = delete;

 private:
  void watch();

  MainThread& mainThread_;
  std::filesystem::path pendingFolder_;
  AppInfo info_;
  std::function<void()> delivered_;
  std::unique_ptr<TaskHandle> beat_;
  std::atomic<double> lastBeatMs_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

// The watchdog's decision, apart from its clock and thread: fed the time of
// each look and of the last beat, in milliseconds.
class HangTracker {
 public:
  struct Step {
    // A stall of at least the hang threshold is on now: its length so far.
    std::optional<double> ongoingSeconds;
    // True at the look where the stall was first noticed.
    bool began = false;
    // The loop runs again after a stall: its whole length.
    std::optional<double> endedSeconds;
  };
  // A beat is due every beatMs; the stall is the time since a beat was due.
  HangTracker(double beatMs, double hangMs) : beatMs_(beatMs), hangMs_(hangMs) {}
  Step look(double nowMs, double lastBeatMs);

 private:
  double beatMs_;
  double hangMs_;
  bool hanging_ = false;
  double stalledBeatMs_ = 0;
  double stallStartMs_ = 0;
};

}  // namespace quimbel
