#pragma once

// The program's hub: it owns the one PadModel for the life of the process,
// the tray icon and its menu, and the panel window, and wires the panel's
// widgets and keys to the model. Showing and hiding the panel, pinning, the
// layout switch, the idle stop of the audio and the quit path live here.
//
// Thread contract: main thread only. The services it is built on (clock, run
// loop, audio backend) must outlive it.

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/panel_placement.h"
#include "model/pad_model.h"
#include "model/published.h"

class QMenu;
class QTimer;
class QSystemTrayIcon;
class QVariantAnimation;

namespace quimbel {

class OutputSwitch;
class PadPanel;

class AppDelegate : public QObject {
  Q_OBJECT
 public:
  // The desktop's side of things, so that tests can stand in for it.
  struct Desktop {
    // False where the desktop has no system tray: the panel then opens as an
    // ordinary window at launch, and closing it quits.
    bool trayAvailable = true;
    // Where the autostart entry goes (~/.config/autostart/…); empty: no menu item.
    QString autostartFile;
    // The program to start at login.
    QString programPath;
    // The sound outputs the menu offers; null: no sound items.
    OutputSwitch* outputs = nullptr;
  };

  AppDelegate(PadModel::Services services, Desktop desktop, QObject* parent = nullptr);
  ~AppDelegate() override;

  // Creates the tray icon, the panel and their wiring; once, after the event
  // loop's application object exists.
  void setup();

  PadModel& model() { return *model_; }
  PadPanel* panel() { return panel_; }
  QSystemTrayIcon* tray() { return tray_; }

  // --- The panel's showing and hiding ---
  void togglePanel();
  void showPanel();
  void hidePanel();
  bool panelShown() const;
  void setLayout(bool wide);
  // The pending idle stop of the audio, if any (tests look at it).
  bool audioStopPending() const;

  // While an own drag, dialog or menu runs, the unpinned panel does not hide
  // when it stops being the active window. Nested scopes count.
  class KeepOpen {
   public:
    explicit KeepOpen(AppDelegate& app) : app_(&app) { ++app_->keepOpen_; }
    ~KeepOpen() {
      if (app_) --app_->keepOpen_;
    }
    KeepOpen(const KeepOpen&) = delete;
    KeepOpen& operator=(const KeepOpen&) = delete;

   private:
    QPointer<AppDelegate> app_;
  };

  // The menu as it would open now: titles with their right-hand column after
  // a tab ("Wide layout\t✓"), separators as empty strings.
  std::vector<QString> menuTitles();
  // The tray icon's picture at a device pixel ratio.
  static QPixmap trayPixmap(double devicePixelRatio);

  // Where the panel opens for the current tray icon and screen.
  ScreenPoint panelPosition() const;

 signals:
  // The About window was asked for from the menu.
  void aboutRequested();
  // The user asked to quit (menu, Ctrl+Q, the standalone window's close).
  void quitRequested();

 private:
  void buildMenu(QMenu& menu);
  void panelActivation(bool active);
  void watchOutsidePress(QPoint pressedAt);
  void applyPinned(bool pinned);
  void scheduleAudioStop();
  void setStartAtLogin(bool on);
  bool startsAtLogin() const;
  // "Sound output" and "Low latency" (app_delegate_sound.cpp).
  void addSoundItems(QMenu& menu);
  void returnToChosenOutput();

  // The wiring of each area, one function each, in its own file.
  void wirePanel();  // screen, pads, knob, resize edge (app_delegate_panel.cpp)
  void wireFoot();   // foot row, key picker, exports (app_delegate_foot.cpp)
  void wireKeys();   // the panel's key signals (app_delegate_keys.cpp)

  Desktop desktop_;
  Clock& clock_;
  MainThread& mainThread_;
  std::unique_ptr<PadModel> model_;
  QSystemTrayIcon* tray_ = nullptr;
  std::unique_ptr<QMenu> menu_;
  PadPanel* panel_ = nullptr;
  QVariantAnimation* layoutAnimation_ = nullptr;
  std::vector<Subscription> bag_;
  std::unique_ptr<TaskHandle> stopAudio_;
  int keepOpen_ = 0;
  QTimer* outsideWatch_ = nullptr;
  bool outsideDragged_ = false;
  // When the panel last hid because another window became active: a click on
  // the tray icon takes the activation first, and must not re-open it.
  double autoHiddenAt_ = PadModel::kNever;
};

}  // namespace quimbel
