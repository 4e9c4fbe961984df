#pragma once

// The run-loop services the pad model and the engine host are built on, as the
// program provides them: the monotonic clock, Qt timers and queued calls on
// the main thread, and the user's settings in QSettings.
//
// Thread contract: QtMainThread::post may be called from any thread (it queues
// onto the object's thread, the main thread); everything else is main-thread
// only.

#include <QObject>
#include <QSettings>
#include <memory>

#include "base/main_thread.h"

namespace quimbel {

class SteadyClock final : public Clock {
 public:
  double nowMs() const override;
};

class QtMainThread final : public QObject, public MainThread {
  Q_OBJECT
 public:
  explicit QtMainThread(QObject* parent = nullptr) : QObject(parent) {}
  void post(std::function<void()> fn) override;
  std::unique_ptr<TaskHandle> after(double delaySeconds, std::function<void()> fn) override;
  std::unique_ptr<TaskHandle> every(double intervalSeconds, std::function<void()> fn) override;
};

// ~/.config/Quimbel/Quimbel.conf, keys exactly as the model names them.
class QtSettingsStore final : public SettingsStore {
 public:
  QtSettingsStore();
  std::optional<std::string> value(std::string_view key) const override;
  void setValue(std::string_view key, std::string_view value) override;

 private:
  std::unique_ptr<QSettings> settings_;
};

}  // namespace quimbel
