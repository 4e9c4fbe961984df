#include "diagnostics/hang_watchdog.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "base/random_id.h"
#include "diagnostics/crash_payload.h"
#include "diagnostics/fatal_signals.h"
#include "diagnostics/session_marker.h"
#include "diagnostics/stack_walk.h"

namespace quimbel {
namespace {

using diagnostics::kMaxFrames;

// ---- Main-thread stack samples ----

std::atomic<int> sampleCount{-1};
void* sampleFrames[kMaxFrames];
pthread_t watchedThread;

void onSampleSignal(int, siginfo_t*, void* context) {
  const int saved = errno;
  const int count = diagnostics::walkStack(context, sampleFrames, kMaxFrames);
  sampleCount.store(count, std::memory_order_release);
  errno = saved;
}

double steadyMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int hangSampleSignal() { return SIGRTMIN + 6; }

HangTracker::Step HangTracker::look(double nowMs, double lastBeatMs) {
  Step step;
  const double dueMs = lastBeatMs + beatMs_;
  if (hanging_) {
    if (lastBeatMs != stalledBeatMs_) {
      // A beat ran: the loop is back.
      hanging_ = false;
      step.endedSeconds = std::max(0.0, lastBeatMs - stallStartMs_) / 1000.0;
    } else {
      step.ongoingSeconds = (nowMs - stallStartMs_) / 1000.0;
    }
    return step;
  }
  if (nowMs - dueMs >= hangMs_) {
    hanging_ = true;
    stalledBeatMs_ = lastBeatMs;
    stallStartMs_ = dueMs;
    step.began = true;
    step.ongoingSeconds = (nowMs - dueMs) / 1000.0;
  }
  return step;
}

HangWatchdog::HangWatchdog(MainThread& mainThread, std::filesystem::path pendingFolder,
                           AppInfo info, std::function<void()> delivered)
    : mainThread_(mainThread),
      pendingFolder_(std::move(pendingFolder)),
      info_(std::move(info)),
      delivered_(std::move(delivered)),
      lastBeatMs_(steadyMs()) {
  beat_ = mainThread_.every(kBeatSeconds, [this] { lastBeatMs_.store(steadyMs()); });
  // Sampling the stack is left to the sanitizers' own tools in their builds.
  if (fatalSignalHandlersAvailable()) {
    diagnostics::warmUpStackWalk();  // its first walk may allocate, never in the handler
    watchedThread = ::pthread_self();
    struct sigaction action = {};
    action.sa_sigaction = onSampleSignal;
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(hangSampleSignal(), &action, nullptr);
  }
  thread_ = std::thread([this] { watch(); });
}

void HangWatchdog::setWatching(bool on) {
  if (on == watching()) return;
  // Counts as a beat either way: the time spent off is no stall.
  lastBeatMs_.store(steadyMs());
  {
    std::lock_guard lock(mutex_);
    paused_ = !on;
  }
  if (on) {
    beat_ = mainThread_.every(kBeatSeconds, [this] { lastBeatMs_.store(steadyMs()); });
    wake_.notify_all();
  } else {
    beat_.reset();
  }
}

HangWatchdog::~HangWatchdog() {
  beat_.reset();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void HangWatchdog::watch() {
  prepareThreadForCrashes();
  HangTracker tracker(kBeatSeconds * 1000.0, kHangSeconds * 1000.0);
  std::filesystem::path file;
  double lastWrittenSeconds = 0;
  std::vector<void*> frames;
  std::unique_lock lock(mutex_);
  for (;;) {
    // Off, the thread sleeps until it is switched on again or stops.
    wake_.wait(lock, [this] { return stopping_ || !paused_; });
    if (stopping_) break;
    wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_ || paused_; });
    if (stopping_) break;
    // Switched off, one more look: the beat stored at switching off ends a
    // hang in progress at its true length, not at the next switching on.
    const auto step = tracker.look(steadyMs(), lastBeatMs_.load());
    if (step.began) {
      file = pendingFolder_ / ("metrickit-" + newUuid() + ".json");
      frames.clear();
      if (fatalSignalHandlersAvailable()) {
        sampleCount.store(-1);
        ::pthread_kill(watchedThread, hangSampleSignal());
        // The sample is taken as soon as the main thread runs; a thread stuck
        // in the kernel may take a moment.
        for (int wait = 0; wait < 50 && sampleCount.load(std::memory_order_acquire) < 0; ++wait) {
          wake_.wait_for(lock, std::chrono::milliseconds(10));
        }
        if (const int count = sampleCount.load(std::memory_order_acquire); count > 0)
          frames.assign(sampleFrames, sampleFrames + count);
      }
    }
    const auto seconds = step.endedSeconds ? step.endedSeconds : step.ongoingSeconds;
    if (!seconds || file.empty()) continue;
    if (step.began || step.endedSeconds || *seconds - lastWrittenSeconds >= 1.0) {
      lastWrittenSeconds = *seconds;
      writeFileAtomically(file, diagnostics::hangPayload(info_, *seconds, frames.data(),
                                                         static_cast<int>(frames.size())));
    }
    if (step.endedSeconds) {
      file.clear();
      lastWrittenSeconds = 0;
      mainThread_.post(delivered_);
    }
  }
}

}  // namespace quimbel
