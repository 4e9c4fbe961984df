#pragma once

// What the main-thread objects (engine host, pad model) need from the program's
// run loop, as small interfaces: the program hands them Qt timers and the
// monotonic clock, while tests and the command line hand them a
// ManualMainThread that runs on virtual time.
//
// Thread contract: everything here is called on the main thread, except
// MainThread::post, which any thread may call.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quimbel {

// Milliseconds of system uptime (CLOCK_MONOTONIC), as a double; -1e9 means never.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double nowMs() const = 0;
};

// A delayed task or repeating timer. Cancelling, or destroying the handle,
// stops it; a cancelled task never runs.
class TaskHandle {
 public:
  virtual ~TaskHandle() = default;
  virtual void cancel() = 0;
  virtual bool active() const = 0;
};

class MainThread {
 public:
  virtual ~MainThread() = default;
  // Runs fn on the main thread soon after; safe from any thread.
  virtual void post(std::function<void()> fn) = 0;
  // Runs fn once on the main thread after delaySeconds.
  virtual std::unique_ptr<TaskHandle> after(double delaySeconds, std::function<void()> fn) = 0;
  // Runs fn every intervalSeconds on the main thread until cancelled.
  virtual std::unique_ptr<TaskHandle> every(double intervalSeconds, std::function<void()> fn) = 0;
};

// The user's stored settings. Values are strings in the store's own encoding;
// typed access with range handling belongs to the caller.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  virtual std::optional<std::string> value(std::string_view key) const = 0;
  virtual void setValue(std::string_view key, std::string_view value) = 0;
};

}  // namespace quimbel
