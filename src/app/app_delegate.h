#pragma once

// The program's hub: it owns the one PadModel for the life of the process,
// the tray icon, the panel window and its presenter, and wires them: the
// panel's widgets and keys to the model, the tray's menu to the model, the
// presenter and autostart, and the panel's showing and hiding to the idle
// stop of the audio. The work itself is done by the parts: TrayIcon,
// PanelPresenter, Autostart, PickerFrames.
//
// Thread contract: main thread only. The services it is built on (clock, run
// loop, audio backend) must outlive it.

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "app/autostart.h"
#include "app/picker_frames.h"
#include "model/pad_model.h"
#include "model/published.h"

class QMenu;
class QSystemTrayIcon;

namespace quimbel {

class OutputSwitch;
class PadPanel;
class PanelPresenter;
class TrayIcon;

class AppDelegate : public QObject {
  Q_OBJECT
 public:
  // The desktop's side of things, so that tests can stand in for it.
  struct Desktop {
    // False where the desktop has no system tray: the panel then opens as an
    // ordinary window, and closing it quits.
    bool trayAvailable = true;
    // Where the autostart entry goes (~/.config/autostart/…); empty: no menu item.
    QString autostartFile;
    // The program to start at login.
    QString programPath;
    // The sound outputs the menu offers; null: no sound items.
    OutputSwitch* outputs = nullptr;
    // Whether a tray is there now, asked on the main thread while there is
    // none. Started at login, the program may come before the tray: it waits
    // up to trayWaitSeconds for one before it opens the window, and a tray
    // that comes later still takes it back. Empty: the launch's answer stands.
    std::function<bool()> trayPresent;
    double trayWaitSeconds = 30.0;
  };

  AppDelegate(PadModel::Services services, Desktop desktop, QObject* parent = nullptr);
  ~AppDelegate() override;

  // Creates the tray icon, the panel and their wiring; once, after the event
  // loop's application object exists.
  void setup();

  PadModel& model() { return *model_; }
  PadPanel* panel() { return panel_; }
  // Null without a system tray.
  QSystemTrayIcon* tray();
  // Where the key picker's areas sit, as the panel's widgets report them.
  PickerFrames& pickerFrames() { return pickerFrames_; }

  // --- The panel's showing and hiding, after setup ---
  void showPanel();
  void hidePanel();
  bool panelShown() const;
  void setLayout(bool wide);
  // The pending idle stop of the audio, if any (tests look at it).
  bool audioStopPending() const;
  // The panel shows or the audio runs: the program is in use, and the hang
  // watchdog watches it.
  bool inUse() const { return inUse_; }

  // The tray menu as it would open now (TrayIcon::menuTitles); empty
  // without a tray.
  std::vector<QString> menuTitles();

 signals:
  // The About window was asked for from the menu.
  void aboutRequested();
  // The user asked to quit (menu, Ctrl+Q, the standalone window's close).
  void quitRequested();
  // inUse() changed.
  void inUseChanged(bool inUse);

 private:
  void scheduleAudioStop();
  // "Sound output" and "Low latency" (app_delegate_sound.cpp).
  void addSoundItems(QMenu& menu);
  void returnToChosenOutput();
  // "Send chords to other programs", "MIDI channel" and "Play the piano
  // too", and the delivery of JACK's midi_in (app_delegate_midi.cpp).
  void addMidiItems(QMenu& menu);
  void followJackMidiIn();
  void makeTray();
  // Looks for a tray while there is none; see Desktop::trayPresent.
  void watchForTray(double intervalSeconds);
  void trayAppeared();
  void updateInUse();

  // The wiring of each area, one function each.
  void wireTray();       // icon clicks, the menu's items, About
  void wireTrayIcon();   // the tray icon's part, also for a tray that came later
  void wireWindow();     // showing, hiding, activation, closing, layouts
  void wireIdleAudio();  // the audio stops a while after the panel hides
  void wirePanel();      // screen, pads, knob, resize edge (app_delegate_panel.cpp)
  void wireFoot();       // foot row, key picker, exports (app_delegate_foot.cpp)
  void wireKeys();       // the panel's key signals (app_delegate_keys.cpp)

  Desktop desktop_;
  Clock& clock_;
  MainThread& mainThread_;
  std::unique_ptr<PadModel> model_;
  Autostart autostart_;
  TrayIcon* tray_ = nullptr;
  PadPanel* panel_ = nullptr;
  std::unique_ptr<PanelPresenter> presenter_;
  PickerFrames pickerFrames_;
  std::vector<Subscription> bag_;
  std::unique_ptr<TaskHandle> stopAudio_;
  std::unique_ptr<TaskHandle> jackMidiPoll_;
  bool inUse_ = false;
  std::unique_ptr<TaskHandle> trayWatch_;
  std::unique_ptr<TaskHandle> trayWaitOver_;
};

}  // namespace quimbel
