#pragma once

// Virtual-time implementations of the main-thread interfaces, for tests and
// the command line: nothing runs until advance() moves the clock, and tasks
// run in due order on the calling thread. post() may be called from any
// thread; the posted tasks run at the next advance() or runPending().
//
// check-layers: test-only. The program runs on its real clock and timers;
// of the program's own code only the command line, which plays a take on
// virtual time, includes this header. The memory settings store comes with it.

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "base/main_thread.h"
#include "base/memory_settings_store.h"

namespace quimbel {

class ManualClock final : public Clock {
 public:
  explicit ManualClock(double startMs = 1000.0) : nowMs_(startMs) {}
  double nowMs() const override { return nowMs_; }
  void set(double ms) { nowMs_ = ms; }

 private:
  double nowMs_;
};

class ManualMainThread final : public MainThread {
 public:
  explicit ManualMainThread(ManualClock& clock) : clock_(clock) {}

  void post(std::function<void()> fn) override {
    std::lock_guard lock(postMutex_);
    posted_.push_back(std::move(fn));
  }

  std::unique_ptr<TaskHandle> after(double delaySeconds, std::function<void()> fn) override {
    return schedule(clock_.nowMs() + delaySeconds * 1000.0, 0.0, std::move(fn));
  }

  std::unique_ptr<TaskHandle> every(double intervalSeconds, std::function<void()> fn) override {
    double intervalMs = intervalSeconds * 1000.0;
    return schedule(clock_.nowMs() + intervalMs, intervalMs, std::move(fn));
  }

  // Runs every posted task (including ones posted while running).
  void runPending() {
    for (;;) {
      std::vector<std::function<void()>> batch;
      {
        std::lock_guard lock(postMutex_);
        batch.swap(posted_);
      }
      if (batch.empty()) return;
      for (auto& fn : batch) fn();
    }
  }

  // Moves the clock forward by ms, running posted tasks and every timer that
  // falls due, in time order, with the clock set to each one's due time.
  void advance(double ms) {
    double end = clock_.nowMs() + ms;
    runPending();
    for (;;) {
      auto due = nextDue(end);
      if (!due) break;
      clock_.set(std::max(clock_.nowMs(), due->first));
      auto entry = tasks_.find(due->second);
      Task task = entry->second;
      if (task.intervalMs > 0) {
        entry->second.dueMs += task.intervalMs;
      } else {
        tasks_.erase(entry);
      }
      task.fn();
      runPending();
    }
    clock_.set(end);
  }

  std::size_t scheduledCount() const { return tasks_.size(); }

 private:
  struct Task {
    double dueMs;
    double intervalMs;
    std::function<void()> fn;
  };

  class Handle final : public TaskHandle {
   public:
    Handle(ManualMainThread* owner, std::uint64_t id) : owner_(owner), id_(id) {}
    ~Handle() override { cancel(); }
    void cancel() override {
      if (owner_) owner_->tasks_.erase(id_);
      owner_ = nullptr;
    }
    bool active() const override { return owner_ && owner_->tasks_.count(id_) > 0; }

   private:
    ManualMainThread* owner_;
    std::uint64_t id_;
  };

  std::unique_ptr<TaskHandle> schedule(double dueMs, double intervalMs, std::function<void()> fn) {
    std::uint64_t id = ++lastId_;
    tasks_.emplace(id, Task{dueMs, intervalMs, std::move(fn)});
    return std::make_unique<Handle>(this, id);
  }

  // The earliest task due at or before end; ties run in scheduling order.
  std::optional<std::pair<double, std::uint64_t>> nextDue(double end) const {
    std::optional<std::pair<double, std::uint64_t>> best;
    for (const auto& [id, task] : tasks_) {
      if (task.dueMs > end) continue;
      if (!best || task.dueMs < best->first) best = std::make_pair(task.dueMs, id);
    }
    return best;
  }

  ManualClock& clock_;
  std::map<std::uint64_t, Task> tasks_;
  std::uint64_t lastId_ = 0;
  std::mutex postMutex_;
  std::vector<std::function<void()>> posted_;
};

}  // namespace quimbel
