#include "app/trace.h"

#include <QApplication>
#include <QEvent>
#include <QSet>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <string>

#include "diagnostics/report.h"

namespace quimbel {

namespace {

// Where each named control sits in the panel window, for scripts that click
// them, printed again whenever a control appears, moves or changes size.
class WidgetTracer final : public QObject {
 public:
  explicit WidgetTracer(QWidget* root) : QObject(root), root_(root) {
    qApp->installEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::Show:
      case QEvent::Hide:
      case QEvent::Move:
      case QEvent::Resize:
        if (watched->isWidgetType() && root_->isAncestorOf(static_cast<QWidget*>(watched)) &&
            !pending_) {
          pending_ = true;
          QTimer::singleShot(20, this, [this] { dump(); });
        }
        break;
      default:
        break;
    }
    return false;
  }

 private:
  void dump() {
    pending_ = false;
    for (QWidget* widget : root_->findChildren<QWidget*>()) {
      if (!widget->isVisible() || widget->accessibleName().isEmpty()) continue;
      const QPoint at = widget->mapTo(root_->window(), QPoint(0, 0));
      const QString line = QStringLiteral("trace widget %1|%2 %3 %4 %5")
                               .arg(widget->accessibleName())
                               .arg(at.x())
                               .arg(at.y())
                               .arg(widget->width())
                               .arg(widget->height());
      if (printed_.contains(line)) continue;
      printed_.insert(line);
      diagnostics::consoleLine(line.toStdString());
    }
  }

  QWidget* root_;
  QSet<QString> printed_;
  bool pending_ = false;
};

// Reports the next paint of a widget once it has been drawn, then goes.
class PaintWatcher final : public QObject {
 public:
  explicit PaintWatcher(QWidget* widget) : QObject(widget) { widget->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && !done_) {
      done_ = true;
      QTimer::singleShot(0, this, [this] {
        trace("panel-painted");
        deleteLater();
      });
    }
    return false;
  }

 private:
  bool done_ = false;
};

}  // namespace

bool tracing() {
  static const bool on = qEnvironmentVariable("QUIMBEL_TRACE") == QLatin1String("1");
  return on;
}

void trace(const char* moment) {
  if (!tracing()) return;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  diagnostics::consoleLine(std::string("trace ") + moment + " " + std::to_string(ms));
}

void traceControls(QWidget& root) {
  if (tracing()) new WidgetTracer(&root);
}

void traceNextPaint(QWidget& widget) {
  if (tracing()) new PaintWatcher(&widget);
}

}  // namespace quimbel
