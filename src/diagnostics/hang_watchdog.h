#pragma once

// The program's own hang diagnostics, which the desktop does not provide: a
// watchdog that records a payload in "Pending" when the main thread's event
// loop stalls for 2 seconds or more. The crash reporter reads it at the next
// check.
//
// Thread contract: the watchdog is made and destroyed on the main thread,
// which it follows by a beat task; it watches from a thread of its own and
// samples the main thread's stack with a signal whose handler only walks the
// stack (diagnostics/stack_walk.h). HangTracker is plain and single-threaded.

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "base/main_thread.h"
#include "diagnostics/app_info.h"

namespace quimbel {

// The signal that asks the main thread for a stack sample; the crash
// handler keeps it blocked while it records.
int hangSampleSignal();

// Follows the main thread's event loop from a thread of its own. A stall of
// kHangSeconds or more becomes a hang payload in "Pending" holding the main
// thread's stack as sampled when the stall was noticed (a signal to the main
// thread, whose handler only walks the stack; a sleep or poll the main
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

  // Off: no beat and no look while the program sits hidden and silent (a
  // stall nobody sees or hears is no hang worth a report), so an idle
  // program wakes nobody. Main thread; on at the start.
  void setWatching(bool on);
  bool watching() const { return beat_ != nullptr; }

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
  bool paused_ = false;    // guarded by mutex_
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
