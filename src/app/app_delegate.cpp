#include "app/app_delegate.h"

#include <QApplication>
#include <QDir>
#include <QEasingCurve>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <QScreen>
#include <QSet>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVariantAnimation>
#include <QWindow>
#include <chrono>
#include <string>

#include "app/app_delegate_about.h"
#include "app/outside_pointer.h"
#include "app/pad_panel.h"
#include "diagnostics/report.h"
#include "ui/panel_view.h"

namespace quimbel {

namespace {

constexpr double kAudioIdleStopSeconds = 60.0;
constexpr int kLayoutAnimationMs = 280;
// A tray click that arrives this soon after the panel hid on losing the
// activation is the click that took the activation away.
constexpr double kTrayClickGraceMs = 350.0;
// How often a press outside the panel is looked at until its release, and
// how far the pointer must travel for it to count as a drag.
constexpr int kOutsidePollMs = 30;
constexpr int kOutsideDragPixels = 4;

// QUIMBEL_TRACE=1 prints the moments a benchmark times from outside (wall
// clock milliseconds, comparable across processes).
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

QEasingCurve timingCurve(double x1, double y1, double x2, double y2) {
  QEasingCurve curve(QEasingCurve::BezierSpline);
  curve.addCubicBezierSegment(QPointF(x1, y1), QPointF(x2, y2), QPointF(1.0, 1.0));
  return curve;
}

// Where each named control sits in the panel window, for scripts that click
// them: "trace widget <accessible name>|x y width height", printed again
// whenever a control appears, moves or changes size.
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

ScreenRect toScreenRect(const QRect& r) { return {r.x(), r.y(), r.width(), r.height()}; }

QSize layoutSize(bool wide) { return wide ? PanelView::kWideSize : PanelView::kTallSize; }

}  // namespace

AppDelegate::AppDelegate(PadModel::Services services, Desktop desktop, QObject* parent)
    : QObject(parent),
      desktop_(std::move(desktop)),
      clock_(services.clock),
      mainThread_(services.mainThread),
      model_(std::make_unique<PadModel>(std::move(services))) {}

AppDelegate::~AppDelegate() {
  bag_.clear();
  stopAudio_.reset();
  delete panel_;
  panel_ = nullptr;
}

void AppDelegate::setup() {
  if (desktop_.trayAvailable) {
    tray_ = new QSystemTrayIcon(this);
    const double ratio = qApp->devicePixelRatio();
    tray_->setIcon(QIcon(trayPixmap(ratio)));
    tray_->setToolTip(QStringLiteral("Quimbel"));
    menu_ = std::make_unique<QMenu>();
    // The menu is made afresh on every opening, so its checkmarks are current.
    connect(menu_.get(), &QMenu::aboutToShow, this, [this] { buildMenu(*menu_); });
    buildMenu(*menu_);
    tray_->setContextMenu(menu_.get());
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              // Two quick clicks arrive as a click and a double click: the
              // second one toggles the panel as well.
              if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick)
                return;
              trace("tray-click");
              togglePanel();
            });
  }

  if (auto stored = model_->defaults().value("wide")) model_->setWide(*stored == "true");

  panel_ = new PadPanel(!desktop_.trayAvailable);
  panel_->view().showWide(model_->wide());
  panel_->setFixedSize(layoutSize(model_->wide()));
  connect(panel_, &PadPanel::activeChanged, this, &AppDelegate::panelActivation);
  connect(panel_, &PadPanel::closeRequested, this, [this] { emit quitRequested(); });
  connect(panel_, &PadPanel::quitRequested, this, [this] { emit quitRequested(); });
  connect(&panel_->view(), &PanelView::resizeRequested, this, &AppDelegate::setLayout);

  if (tracing()) new WidgetTracer(panel_);
  wireKeys();
  wirePanel();
  wireFoot();

  bag_.push_back(model_->pinned().subscribe([this](bool pinned) { applyPinned(pinned); }));
  connect(this, &AppDelegate::aboutRequested, this,
          [this] { openAboutWindow(*this, model_->reduceMotion()); });

  if (!desktop_.trayAvailable) {
    diagnostics::logLine("[quimbel] no system tray: the panel opens as a window");
    showPanel();
  }
}

// --- Tray icon ---

QPixmap AppDelegate::trayPixmap(double devicePixelRatio) {
  // Three white keys with two black keys between them, in an 18-point square.
  const double ratio = devicePixelRatio > 0.0 ? devicePixelRatio : 1.0;
  const int side = static_cast<int>(std::ceil(18.0 * ratio));
  QImage keys(side, side, QImage::Format_ARGB32_Premultiplied);
  keys.setDevicePixelRatio(ratio);
  keys.fill(Qt::transparent);
  {
    QPainter painter(&keys);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate((18.0 - 16.4) / 2.0, (18.0 - 16.4) / 2.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    for (double x : {0.0, 6.0, 12.0}) painter.drawRoundedRect(QRectF(x, 0, 4.4, 16.4), 1.1, 1.1);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    for (double x : {2.74, 8.74}) painter.drawRoundedRect(QRectF(x, -1.0, 4.93, 11.61), 1.0, 1.0);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    for (double x : {3.84, 9.84}) painter.drawRoundedRect(QRectF(x, 0, 2.73, 9.51), 0.8, 0.8);
  }
  // A tray shows the picture as it is, on light and dark panels alike: the
  // black drawing gets a light rim so that it reads on both.
  QImage icon(side, side, QImage::Format_ARGB32_Premultiplied);
  icon.setDevicePixelRatio(ratio);
  icon.fill(Qt::transparent);
  {
    QPainter painter(&icon);
    const QImage mask = keys.createAlphaMask();
    QImage rim(side, side, QImage::Format_ARGB32_Premultiplied);
    rim.fill(Qt::transparent);
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        int alpha = 0;
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            const int sx = x + dx, sy = y + dy;
            if (sx >= 0 && sy >= 0 && sx < side && sy < side)
              alpha = std::max(alpha, qAlpha(keys.pixel(sx, sy)));
          }
        }
        rim.setPixel(x, y, qPremultiply(qRgba(236, 236, 236, alpha)));
      }
    }
    (void)mask;
    rim.setDevicePixelRatio(ratio);
    painter.drawImage(QPointF(0, 0), rim);
    painter.drawImage(QPointF(0, 0), keys);
  }
  return QPixmap::fromImage(icon);
}

// --- Menu ---

std::vector<QString> AppDelegate::menuTitles() {
  QMenu menu;
  buildMenu(menu);
  std::vector<QString> titles;
  for (QAction* action : menu.actions()) {
    if (!action->isVisible()) continue;
    titles.push_back(action->isSeparator() ? QString() : action->text());
  }
  return titles;
}

void AppDelegate::buildMenu(QMenu& menu) {
  menu.clear();
  const QString check = QStringLiteral("\t\u2713");
  const bool wide = model_->wide();
  menu.addAction(QStringLiteral("Tall layout") + (wide ? QString() : check), this,
                 [this] { setLayout(false); });
  menu.addAction(QStringLiteral("Wide layout") + (wide ? check : QString()), this,
                 [this] { setLayout(true); });
  menu.addSeparator();
  menu.addAction(QStringLiteral("Quantize takes: 1/%1, %2%").arg(8).arg(70) +
                     (model_->quantize() ? check : QString()),
                 this, [this] { model_->setQuantize(!model_->quantize()); });
  if (!desktop_.autostartFile.isEmpty()) {
    menu.addAction(QStringLiteral("Start at login") + (startsAtLogin() ? check : QString()), this,
                   [this] { setStartAtLogin(!startsAtLogin()); });
  }
  menu.addSeparator();
  addSoundItems(menu);
  menu.addAction(QStringLiteral("About Quimbel"), this, [this] { emit aboutRequested(); });
  menu.addSeparator();
  menu.addAction(QStringLiteral("Quit Quimbel\tCtrl+Q"), this, [this] { emit quitRequested(); });
}

bool AppDelegate::startsAtLogin() const { return QFileInfo::exists(desktop_.autostartFile); }

void AppDelegate::setStartAtLogin(bool on) {
  if (!on) {
    QFile::remove(desktop_.autostartFile);
    return;
  }
  QDir().mkpath(QFileInfo(desktop_.autostartFile).absolutePath());
  QSaveFile file(desktop_.autostartFile);
  if (!file.open(QIODevice::WriteOnly)) {
    diagnostics::logLine("[quimbel] couldn't write the autostart entry");
    return;
  }
  QString program = desktop_.programPath;
  program.replace(QLatin1Char('"'), QStringLiteral("\\\""));
  const QString entry = QStringLiteral(
                            "[Desktop Entry]\nType=Application\nName=Quimbel\n"
                            "Comment=Chord instrument in the system tray\nExec=\"%1\"\n"
                            "Icon=app.quimbel.Quimbel\nTerminal=false\n"
                            "X-GNOME-Autostart-enabled=true\n")
                            .arg(program);
  file.write(entry.toUtf8());
  if (!file.commit()) diagnostics::logLine("[quimbel] couldn't write the autostart entry");
}

// --- Showing and hiding ---

bool AppDelegate::panelShown() const { return panel_ && panel_->isVisible(); }

void AppDelegate::togglePanel() {
  if (panelShown()) {
    hidePanel();
    return;
  }
  if (clock_.nowMs() - autoHiddenAt_ < kTrayClickGraceMs) return;
  showPanel();
}

ScreenPoint AppDelegate::panelPosition() const {
  const QSize size = layoutSize(model_->wide());
  std::optional<ScreenRect> icon;
  QScreen* screen = nullptr;
  if (tray_) {
    const QRect geometry = tray_->geometry();
    if (geometry.isValid() && !geometry.isEmpty()) {
      icon = toScreenRect(geometry);
      screen = QGuiApplication::screenAt(geometry.center());
    }
  }
  if (!screen) screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  const ScreenRect area =
      screen ? toScreenRect(screen->availableGeometry()) : ScreenRect{0, 0, 1280, 800};
  return placePanel(area, icon, size.width(), size.height());
}

void AppDelegate::showPanel() {
  if (!panel_) return;
  if (!panel_->standalone() || !panel_->isVisible()) {
    if (!panel_->standalone() || !panel_->property("placed").toBool()) {
      const ScreenPoint at = panelPosition();
      panel_->move(at.x, at.y);
      panel_->setProperty("placed", true);
    }
  }
  applyPinned(model_->pinned());
  returnToChosenOutput();
  model_->engine().ensureRunning();
  stopAudio_.reset();
  if (tracing()) {
    // The first paint after showing, once it has reached the screen.
    auto* filter = new PaintWatcher(&panel_->view());
    (void)filter;
  }
  panel_->show();
  panel_->raise();
  panel_->activateWindow();
  model_->setVisible(true);
  model_->setLive(true);
}

void AppDelegate::hidePanel() {
  if (!panel_) return;
  model_->setPickerOpen(false);
  model_->setPinned(false);
  panel_->hide();
  model_->setVisible(false);
  model_->setLive(false);
  scheduleAudioStop();
}

void AppDelegate::scheduleAudioStop() {
  stopAudio_ = mainThread_.after(kAudioIdleStopSeconds, [this] {
    PianoEngine& engine = model_->engine();
    // A count-in or the metronome keeps the audio alive, and so does a MIDI
    // keyboard (keepRunning): it plays with the panel hidden.
    if (panelShown() || engine.metronomeRunning() || engine.keepRunning()) return;
    engine.stop();
  });
}

bool AppDelegate::audioStopPending() const { return stopAudio_ && stopAudio_->active(); }

void AppDelegate::panelActivation(bool active) {
  if (active) {
    if (panelShown()) model_->setLive(true);
    return;
  }
  model_->setLive(false);
  // Whatever was held while the panel loses the keyboard would never see its
  // release: let go of every pad and modifier now, so no chord hangs.
  model_->releaseAllPads();
  if (!panelShown() || panel_->standalone() || model_->pinned() || keepOpen_ > 0) return;
  // The activation may be moving to one of the program's own windows (a Save
  // dialog, the About window, a menu): those keep the panel open.
  QWidget* now = QApplication::activeWindow();
  if (now && now != panel_) return;
  if (QApplication::activePopupWidget() || QApplication::activeModalWidget()) return;
  // A click elsewhere hides the panel, a drag elsewhere (moving a window,
  // dropping a file dragged out of the panel) does not: while the left button
  // is still held, wait for its release and see whether the pointer travelled.
  const std::optional<OutsidePointer> pointer = readOutsidePointer();
  if (pointer && pointer->left && !pointer->right) {
    watchOutsidePress(pointer->position);
    return;
  }
  autoHiddenAt_ = clock_.nowMs();
  hidePanel();
}

void AppDelegate::watchOutsidePress(QPoint pressedAt) {
  if (!outsideWatch_) {
    outsideWatch_ = new QTimer(this);
    outsideWatch_->setInterval(kOutsidePollMs);
  }
  outsideWatch_->disconnect();
  outsideDragged_ = false;
  connect(outsideWatch_, &QTimer::timeout, this, [this, pressedAt] {
    const std::optional<OutsidePointer> pointer = readOutsidePointer();
    if (!pointer || !panelShown() || model_->pinned() || panel_->isActiveWindow()) {
      outsideWatch_->stop();
      return;
    }
    if ((pointer->position - pressedAt).manhattanLength() > kOutsideDragPixels) {
      outsideDragged_ = true;
    }
    if (pointer->left) return;
    outsideWatch_->stop();
    if (!outsideDragged_) {
      autoHiddenAt_ = clock_.nowMs();
      hidePanel();
    }
  });
  outsideWatch_->start();
}

void AppDelegate::applyPinned(bool pinned) {
  if (!panel_) return;
  panel_->setMovableByBackground(pinned);
}

// --- Layouts ---

void AppDelegate::setLayout(bool wide) {
  if (wide == model_->wide()) return;
  model_->defaults().setValue("wide", wide ? "true" : "false");
  model_->setPickerOpen(false);
  const QSize size = layoutSize(wide);
  if (!panel_) {
    model_->setWide(wide);
    return;
  }
  if (layoutAnimation_) layoutAnimation_->stop();
  const QRect from = panel_->geometry();
  QRect to(QPoint(from.x(), from.y()), size);
  if (panelShown()) {
    QScreen* screen = panel_->screen();
    if (screen) {
      const ScreenPoint at = keepTopLeft(toScreenRect(screen->availableGeometry()),
                                         toScreenRect(from), size.width(), size.height());
      to.moveTopLeft(QPoint(at.x, at.y));
    }
  }
  model_->setWide(wide);
  panel_->view().showWide(wide);
  panel_->setMinimumSize(0, 0);
  panel_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  if (!panelShown() || model_->reduceMotion()) {
    panel_->setGeometry(to);
    panel_->setFixedSize(size);
    return;
  }
  if (!layoutAnimation_) {
    layoutAnimation_ = new QVariantAnimation(this);
    layoutAnimation_->setDuration(kLayoutAnimationMs);
    layoutAnimation_->setEasingCurve(timingCurve(0.2, 0.8, 0.2, 1.0));
    connect(layoutAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
      if (panel_) panel_->setGeometry(v.toRect());
    });
  }
  disconnect(layoutAnimation_, &QVariantAnimation::finished, nullptr, nullptr);
  connect(layoutAnimation_, &QVariantAnimation::finished, this, [this, size] {
    if (panel_) panel_->setFixedSize(size);
  });
  layoutAnimation_->setStartValue(from);
  layoutAnimation_->setEndValue(to);
  layoutAnimation_->start();
}

}  // namespace quimbel
