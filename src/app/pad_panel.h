#pragma once

// The panel window: a frameless, always-on-top tool window (no taskbar entry)
// that hosts the PanelView and turns the keys that belong to the instrument
// into its key signals before ordinary dispatch; everything else passes on.
// It watches its own QWindow, so it sees every key and mouse press first,
// whichever child has the focus or lies under the pointer (keyboard map in
// app/key_routing.h). Where the desktop has no tray it is an ordinary titled
// window instead, and closing it quits.
//
// Thread contract: main thread only.

#include <QPointF>
#include <QString>
#include <QWidget>
#include <map>
#include <optional>

#include "app/key_routing.h"

class QTimer;

namespace quimbel {

class PanelView;

class PadPanel : public QWidget {
  Q_OBJECT
 public:
  // `standalone`: an ordinary window with a title, for desktops without a tray.
  explicit PadPanel(bool standalone, QWidget* parent = nullptr);

  PanelView& view() { return *view_; }
  bool standalone() const { return standalone_; }
  // Turns the window into the other kind (a tray came or went); hidden after.
  void setStandalone(bool standalone);
  // Pinned: the panel can be dragged by its background.
  void setMovableByBackground(bool movable) { movable_ = movable; }

  // X11 sends a held key's repeats as a release and a press with one time
  // stamp, and Qt marks them as repeats only when the press is already
  // queued as it reads the release, which a busy machine often misses. The
  // panel pairs them itself, and the release of a pad, Tab, Space, 8, 9 or 0
  // waits this long for such a press before it goes out; any other key event
  // sends it at once. Tests set 0 and run the event loop once.
  static constexpr int kRepeatPairMs = 5;
  void setRepeatPairWindowMs(int ms);

 signals:
  void padKey(int pad, bool down);
  void tabKey(bool down);
  void shiftChanged(bool held);
  void holdKey(QChar key, bool down);  // '8', '9' or '0'
  void spaceKey(bool down);
  void controlKey(const QString& name);  // "up", "down", "b" or "e"
  void clicked(QPointF point);           // window points, top-left origin
  void escapePressed();
  void undoPressed();
  void quitRequested();
  // The window became or stopped being the active one.
  void activeChanged(bool active);
  // The standalone window was closed by its title bar.
  void closeRequested();
  // The standalone window was minimised or brought back.
  void minimizedChanged(bool minimized);

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  bool focusNextPrevChild(bool next) override;

 private:
  // Routes one key event; true when it stops here.
  bool routeKeyEvent(const QKeyEvent& event);
  void emitRoute(const KeyRoute& route);
  void sendWaitingRelease();
  void forgetKeys();

  PanelView* view_;
  bool standalone_;
  bool movable_ = false;
  QPointF dragFrom_;
  bool dragging_ = false;
  // Scan codes whose press went out as a signal and whose release has not,
  // each with its press's route: only those send a release (their press's),
  // so a key let go after the panel lost the keyboard (and the model let go
  // of everything) sends nothing late.
  std::map<quint32, KeyRoute> keysDown_;
  // The newest key release; a press of the same key with the same time
  // stamp is the rest of a repeat.
  struct KeyStamp {
    quint32 scanCode = 0;
    quint64 timestamp = 0;
  };
  std::optional<KeyStamp> lastRelease_;
  // A key's release held back for the press that would make it a repeat.
  struct WaitingRelease {
    quint32 scanCode = 0;
    KeyRoute route;
  };
  std::optional<WaitingRelease> waiting_;
  QTimer* releaseTimer_;
};

}  // namespace quimbel
