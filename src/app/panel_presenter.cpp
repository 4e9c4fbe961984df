#include "app/panel_presenter.h"

#include <QApplication>
#include <QEasingCurve>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QVariantAnimation>
#include <QWidget>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/outside_pointer.h"
#include "app/pad_panel.h"
#include "app/trace.h"
#include "base/setting_text.h"
#include "diagnostics/report.h"
#include "ui/panel_view.h"

namespace quimbel {

namespace {

constexpr int kLayoutAnimationMs = 280;
// A tray click that arrives this soon after the panel hid on losing the
// activation is the click that took the activation away.
constexpr double kTrayClickGraceMs = 350.0;
// How often a press outside the panel is looked at until its release, and
// how far the pointer must travel for it to count as a drag.
constexpr int kOutsidePollMs = 30;
constexpr int kOutsideDragPixels = 4;

QEasingCurve timingCurve(double x1, double y1, double x2, double y2) {
  QEasingCurve curve(QEasingCurve::BezierSpline);
  curve.addCubicBezierSegment(QPointF(x1, y1), QPointF(x2, y2), QPointF(1.0, 1.0));
  return curve;
}

ScreenRect toScreenRect(const QRect& r) { return {r.x(), r.y(), r.width(), r.height()}; }

}  // namespace

PanelPresenter::PanelPresenter(PadPanel& panel, PadModel& model, Clock& clock,
                               std::function<QRect()> trayIconArea, QObject* parent)
    : QObject(parent),
      panel_(panel),
      model_(model),
      clock_(clock),
      trayIconArea_(std::move(trayIconArea)) {
  if (auto wide = storedBool(model_.defaults(), "wide")) model_.setWide(*wide);
  panel_.view().showWide(model_.wide());
  panel_.setFixedSize(layoutSize(model_.wide()));
}

QSize PanelPresenter::layoutSize(bool wide) {
  return wide ? PanelView::kWideSize : PanelView::kTallSize;
}

// --- Showing and hiding ---

bool PanelPresenter::shown() const { return panel_.isVisible(); }

void PanelPresenter::toggle(std::optional<QPoint> clickedAt) {
  if (shown()) {
    hide();
    return;
  }
  if (clock_.nowMs() - autoHiddenAt_ < kTrayClickGraceMs) return;
  show(clickedAt);
}

ScreenPoint PanelPresenter::position(std::optional<QPoint> clickedAt) const {
  const QSize size = layoutSize(model_.wide());
  std::optional<ScreenRect> icon;
  const QRect geometry = trayIconArea_ ? trayIconArea_() : QRect();
  if (geometry.isValid() && !geometry.isEmpty()) icon = toScreenRect(geometry);
  std::optional<ScreenPoint> click;
  if (clickedAt) click = ScreenPoint{clickedAt->x(), clickedAt->y()};
  std::vector<ScreenArea> screens;
  QScreen* primary = QGuiApplication::primaryScreen();
  if (primary)
    screens.push_back(
        {toScreenRect(primary->geometry()), toScreenRect(primary->availableGeometry())});
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen != primary) {
      screens.push_back(
          {toScreenRect(screen->geometry()), toScreenRect(screen->availableGeometry())});
    }
  }
  return placePanel(screens, icon, click, size.width(), size.height());
}

void PanelPresenter::show(std::optional<QPoint> clickedAt) {
  if (!panel_.standalone() || !panel_.isVisible()) {
    if (!panel_.standalone() || !panel_.property("placed").toBool()) {
      const ScreenPoint at = position(clickedAt);
      panel_.move(at.x, at.y);
      panel_.setProperty("placed", true);
      watchPlacement(QPoint(at.x, at.y));
    }
  }
  showPinned(model_.pinned());
  emit opening();
  // The first paint after showing, once it has reached the screen.
  traceNextPaint(panel_.view());
  panel_.show();
  panel_.raise();
  panel_.activateWindow();
  model_.setVisible(true);
  model_.setLive(true);
}

void PanelPresenter::hide() {
  askedAt_.reset();
  model_.setPickerOpen(false);
  model_.setPinned(false);
  // Whatever was held never sees its release once the panel is gone.
  model_.releaseAllPads();
  panel_.hide();
  model_.setVisible(false);
  model_.setLive(false);
  emit hidden();
}

void PanelPresenter::showPinned(bool pinned) { panel_.setMovableByBackground(pinned); }

void PanelPresenter::activationChanged(bool active) {
  if (active) {
    if (shown()) model_.setLive(true);
    return;
  }
  model_.setLive(false);
  // Whatever was held while the panel loses the keyboard would never see its
  // release: let go of every pad and modifier now, so no chord hangs.
  model_.releaseAllPads();
  if (!shown() || panel_.standalone() || model_.pinned() || keepOpen_ > 0) return;
  // The activation may be moving to one of the program's own windows (a Save
  // dialog, the About window, a menu): those keep the panel open.
  QWidget* now = QApplication::activeWindow();
  if (now && now != &panel_) return;
  if (QApplication::activePopupWidget() || QApplication::activeModalWidget()) return;
  // A click elsewhere hides the panel, a drag elsewhere (moving a window,
  // dropping a file dragged out of the panel) does not: while the left button
  // is still held, wait for its release and see whether the pointer travelled.
  const std::optional<OutsidePointer> pointer = readOutsidePointer();
  if (pointer && pointer->left && !pointer->right) {
    watchOutsidePress(pointer->position);
    return;
  }
  hideByItself();
}

// Wayland compositors, and some of them for X11 windows through XWayland
// (sway centres them), put a window where they like whatever it asked for.
// The panel works all the same; the log says so once, so that a panel far
// from the tray icon is explained. Through XWayland the compositor's move
// comes a moment after the panel is shown and active: the panel is watched
// until the user first touches it, hides it or switches its layout, which
// move it by the program's own hand.
void PanelPresenter::watchPlacement(QPoint asked) {
  askedAt_.reset();
  if (compositorPlacementLogged_) return;
  if (QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))) {
    logCompositorPlacement("Wayland lets no window choose its position");
    return;
  }
  askedAt_ = asked;
  if (!watchingPlacement_) {
    panel_.installEventFilter(this);
    watchingPlacement_ = true;
  }
}

void PanelPresenter::logCompositorPlacement(const std::string& how) {
  compositorPlacementLogged_ = true;
  askedAt_.reset();
  diagnostics::logLine("[quimbel] the compositor places the panel: " + how);
}

bool PanelPresenter::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &panel_ && askedAt_) {
    if (event->type() == QEvent::MouseButtonPress) {
      askedAt_.reset();
    } else if (event->type() == QEvent::Move && panel_.pos() != *askedAt_) {
      const QPoint at = panel_.pos();
      logCompositorPlacement("asked for " + std::to_string(askedAt_->x()) + "," +
                             std::to_string(askedAt_->y()) + ", put at " + std::to_string(at.x()) +
                             "," + std::to_string(at.y()));
    }
  }
  return QObject::eventFilter(watched, event);
}

void PanelPresenter::hideByItself() {
  autoHiddenAt_ = clock_.nowMs();
  hide();
}

void PanelPresenter::watchOutsidePress(QPoint pressedAt) {
  if (!outsideWatch_) {
    outsideWatch_ = new QTimer(this);
    outsideWatch_->setInterval(kOutsidePollMs);
  }
  outsideWatch_->disconnect();
  outsideDragged_ = false;
  connect(outsideWatch_, &QTimer::timeout, this, [this, pressedAt] {
    const std::optional<OutsidePointer> pointer = readOutsidePointer();
    if (!pointer || !shown() || model_.pinned() || panel_.isActiveWindow()) {
      outsideWatch_->stop();
      return;
    }
    if ((pointer->position - pressedAt).manhattanLength() > kOutsideDragPixels) {
      outsideDragged_ = true;
    }
    if (pointer->left) return;
    outsideWatch_->stop();
    if (!outsideDragged_) hideByItself();
  });
  outsideWatch_->start();
}

// --- Layouts ---

void PanelPresenter::switchLayout(bool wide) {
  if (wide == model_.wide()) return;
  askedAt_.reset();
  model_.defaults().setValue("wide", settingText(wide));
  model_.setPickerOpen(false);
  const QSize size = layoutSize(wide);
  if (layoutAnimation_) layoutAnimation_->stop();
  const QRect from = panel_.geometry();
  QRect to(QPoint(from.x(), from.y()), size);
  if (shown()) {
    QScreen* screen = panel_.screen();
    if (screen) {
      const ScreenPoint at = keepTopLeft(toScreenRect(screen->availableGeometry()),
                                         toScreenRect(from), size.width(), size.height());
      to.moveTopLeft(QPoint(at.x, at.y));
    }
  }
  model_.setWide(wide);
  panel_.view().showWide(wide);
  panel_.setMinimumSize(0, 0);
  panel_.setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  if (!shown() || model_.reduceMotion()) {
    panel_.setGeometry(to);
    panel_.setFixedSize(size);
    return;
  }
  if (!layoutAnimation_) {
    layoutAnimation_ = new QVariantAnimation(this);
    layoutAnimation_->setDuration(kLayoutAnimationMs);
    layoutAnimation_->setEasingCurve(timingCurve(0.2, 0.8, 0.2, 1.0));
    connect(layoutAnimation_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& v) { panel_.setGeometry(v.toRect()); });
  }
  disconnect(layoutAnimation_, &QVariantAnimation::finished, nullptr, nullptr);
  connect(layoutAnimation_, &QVariantAnimation::finished, this,
          [this, size] { panel_.setFixedSize(size); });
  layoutAnimation_->setStartValue(from);
  layoutAnimation_->setEndValue(to);
  layoutAnimation_->start();
}

}  // namespace quimbel
