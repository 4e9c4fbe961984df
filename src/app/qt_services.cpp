#include "app/qt_services.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>

namespace quimbel {

double SteadyClock::nowMs() const {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

namespace {

class TimerTask final : public TaskHandle {
 public:
  TimerTask(QObject* owner, double seconds, bool repeat, std::function<void()> fn)
      : timer_(new QTimer(owner)) {
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setSingleShot(!repeat);
    const double ms = std::isfinite(seconds) ? std::clamp(seconds * 1000.0, 0.0, 2.0e9) : 0.0;
    timer_->setInterval(static_cast<int>(std::lround(ms)));
    QObject::connect(timer_, &QTimer::timeout, timer_, [fn = std::move(fn)] { fn(); });
    timer_->start();
  }
  // The handle may be dropped from inside its own timeout, so the timer is
  // stopped at once and deleted once that signal has returned.
  ~TimerTask() override {
    if (timer_) {
      timer_->stop();
      timer_->deleteLater();
    }
  }
  void cancel() override {
    if (timer_) timer_->stop();
  }
  bool active() const override { return timer_ && timer_->isActive(); }

 private:
  QPointer<QTimer> timer_;
};

}  // namespace

void QtMainThread::post(std::function<void()> fn) {
  QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

std::unique_ptr<TaskHandle> QtMainThread::after(double delaySeconds, std::function<void()> fn) {
  return std::make_unique<TimerTask>(this, delaySeconds, false, std::move(fn));
}

std::unique_ptr<TaskHandle> QtMainThread::every(double intervalSeconds, std::function<void()> fn) {
  return std::make_unique<TimerTask>(this, intervalSeconds, true, std::move(fn));
}

QtSettingsStore::QtSettingsStore()
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            QStringLiteral("Quimbel"), QStringLiteral("Quimbel"))) {
}

std::optional<std::string> QtSettingsStore::value(std::string_view key) const {
  const QString name = QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
  if (!settings_->contains(name)) return std::nullopt;
  return settings_->value(name).toString().toStdString();
}

void QtSettingsStore::setValue(std::string_view key, std::string_view value) {
  settings_->setValue(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())),
                      QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size())));
  // QSettings writes the file itself once control returns to the event loop,
  // one write for every change made while handling one event.
}

}  // namespace quimbel
