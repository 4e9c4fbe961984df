#include "app/app_delegate.h"

#include <QSystemTrayIcon>
#include <utility>

#include "app/app_delegate_about.h"
#include "app/pad_panel.h"
#include "app/panel_presenter.h"
#include "app/trace.h"
#include "app/tray_icon.h"
#include "diagnostics/report.h"
#include "files/written.h"
#include "ui/panel_view.h"

namespace quimbel {

namespace {

constexpr double kAudioIdleStopSeconds = 60.0;
// Export files an earlier run handed out are gone from the user's mind after
// a day; a crashed run never removed its own.
constexpr double kStaleTakeSeconds = 24 * 3600.0;
// How often a tray is looked for while waiting for one at the start, and
// once the window stands in for it.
constexpr double kTrayWaitPollSeconds = 1.0;
constexpr double kTrayLatePollSeconds = 5.0;

}  // namespace

AppDelegate::AppDelegate(PadModel::Services services, Desktop desktop, QObject* parent)
    : QObject(parent),
      desktop_(std::move(desktop)),
      clock_(services.clock),
      mainThread_(services.mainThread),
      model_(std::make_unique<PadModel>(std::move(services))),
      autostart_(desktop_.autostartFile, desktop_.programPath) {}

AppDelegate::~AppDelegate() {
  trayWatch_.reset();
  trayWaitOver_.reset();
  model_->engine().setRunningObserver({});
  bag_.clear();
  stopAudio_.reset();
  presenter_.reset();
  delete panel_;
  panel_ = nullptr;
  // The model joins its export renders as it goes; only then are this run's
  // take folders unused (a drag or a Save has copied what it took by now).
  model_.reset();
  removeThisRunsTakeFolders();
}

void AppDelegate::setup() {
  removeStaleTakeFolders(kStaleTakeSeconds);
  if (desktop_.trayAvailable) makeTray();
  panel_ = new PadPanel(!desktop_.trayAvailable);
  presenter_ = std::make_unique<PanelPresenter>(
      *panel_, *model_, clock_, [this] { return tray_ ? tray_->geometry() : QRect(); });

  traceControls(*panel_);
  wireKeys();
  wirePanel();
  wireFoot();
  wireWindow();
  wireIdleAudio();
  wireTray();

  if (desktop_.trayAvailable) return;
  auto openWindow = [this] {
    diagnostics::logLine("[quimbel] no system tray: the panel opens as a window");
    showPanel();
  };
  if (!desktop_.trayPresent) {
    openWindow();
    return;
  }
  diagnostics::logLine("[quimbel] no system tray yet: waiting for one");
  watchForTray(kTrayWaitPollSeconds);
  trayWaitOver_ = mainThread_.after(desktop_.trayWaitSeconds, [this, openWindow] {
    openWindow();
    // A tray may still come (a panel restarted, a desktop slow to start):
    // looked for less often while the window stands in for it.
    watchForTray(kTrayLatePollSeconds);
  });
}

void AppDelegate::makeTray() {
  tray_ = new TrayIcon(
      [this] {
        TrayIcon::Checks checks{model_->wide(), model_->quantize(), std::nullopt};
        if (autostart_.available()) checks.startAtLogin = autostart_.enabled();
        return checks;
      },
      this);
}

void AppDelegate::watchForTray(double intervalSeconds) {
  trayWatch_ = mainThread_.every(intervalSeconds, [this] {
    if (desktop_.trayPresent()) trayAppeared();
  });
}

void AppDelegate::trayAppeared() {
  trayWatch_.reset();
  trayWaitOver_.reset();
  diagnostics::logLine("[quimbel] a system tray appeared: the panel moves into it");
  if (panelShown()) hidePanel();
  panel_->setStandalone(false);
  makeTray();
  wireTrayIcon();
  tray_->show();
}

QSystemTrayIcon* AppDelegate::tray() { return tray_; }

void AppDelegate::showPanel() {
  if (presenter_) presenter_->show();
}

void AppDelegate::hidePanel() {
  if (presenter_) presenter_->hide();
}

bool AppDelegate::panelShown() const { return presenter_ && presenter_->shown(); }

void AppDelegate::setLayout(bool wide) {
  if (presenter_) presenter_->switchLayout(wide);
}

bool AppDelegate::audioStopPending() const { return stopAudio_ && stopAudio_->active(); }

std::vector<QString> AppDelegate::menuTitles() {
  return tray_ ? tray_->menuTitles() : std::vector<QString>{};
}

void AppDelegate::wireTray() {
  connect(this, &AppDelegate::aboutRequested, this,
          [this] { openAboutWindow(*this, model_->reduceMotion()); });
  if (tray_) wireTrayIcon();
}

void AppDelegate::wireTrayIcon() {
  connect(tray_, &TrayIcon::clicked, presenter_.get(),
          [this](std::optional<QPoint> at) { presenter_->toggle(at); });
  connect(tray_, &TrayIcon::layoutChosen, this, &AppDelegate::setLayout);
  connect(tray_, &TrayIcon::quantizeToggled, this,
          [this] { model_->setQuantize(!model_->quantize()); });
  connect(tray_, &TrayIcon::startAtLoginToggled, this,
          [this] { autostart_.setEnabled(!autostart_.enabled()); });
  connect(tray_, &TrayIcon::aboutRequested, this, &AppDelegate::aboutRequested);
  connect(tray_, &TrayIcon::quitRequested, this, &AppDelegate::quitRequested);
  tray_->setExtraItems([this](QMenu& menu) {
    addSoundItems(menu);
    addMidiItems(menu);
  });
}

void AppDelegate::wireWindow() {
  PanelPresenter* presenter = presenter_.get();
  connect(panel_, &PadPanel::activeChanged, presenter, &PanelPresenter::activationChanged);
  connect(panel_, &PadPanel::closeRequested, this, [this] { emit quitRequested(); });
  connect(panel_, &PadPanel::quitRequested, this, [this] { emit quitRequested(); });
  connect(&panel_->view(), &PanelView::resizeRequested, this, &AppDelegate::setLayout);
  bag_.push_back(
      model_->pinned().subscribe([presenter](bool pinned) { presenter->showPinned(pinned); }));
}

void AppDelegate::updateInUse() {
  const bool inUse = panelShown() || model_->engine().running();
  if (inUse == inUse_) return;
  inUse_ = inUse;
  emit inUseChanged(inUse);
}

void AppDelegate::wireIdleAudio() {
  model_->engine().setRunningObserver([this] {
    updateInUse();
    followJackMidiIn();
  });
  bag_.push_back(model_->visible().subscribe([this](bool) { updateInUse(); }));
  connect(presenter_.get(), &PanelPresenter::opening, this, [this] {
    returnToChosenOutput();
    model_->engine().ensureRunning();
    stopAudio_.reset();
  });
  connect(presenter_.get(), &PanelPresenter::hidden, this, &AppDelegate::scheduleAudioStop);
}

void AppDelegate::scheduleAudioStop() {
  stopAudio_ = mainThread_.after(kAudioIdleStopSeconds, [this] {
    PianoEngine& engine = model_->engine();
    // A count-in, the metronome or a playing loop keeps the audio alive, and
    // so does a MIDI keyboard (keepRunning): they play with the panel hidden.
    if (panelShown() || engine.metronomeRunning() || model_->playing() || engine.keepRunning())
      return;
    engine.stop();
  });
}

}  // namespace quimbel
