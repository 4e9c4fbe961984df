#pragma once

// The tray icon: three piano keys, drawn for the screen's pixel ratio, and
// its menu, made afresh on every opening so that its checkable items show
// the current state (as real check states, which trays and screen readers
// present in their own way).
// It shows what it is given and reports what the user chose; the app
// delegate wires both ends.
//
// Thread contract: main thread only.

#include <QPixmap>
#include <QPoint>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QMenu;

namespace quimbel {

class TrayIcon final : public QSystemTrayIcon {
  Q_OBJECT
 public:
  // What the menu's checkmarks show, read each time it opens.
  struct Checks {
    bool wide = false;
    bool quantize = false;
    // Empty where the desktop has no autostart folder: no menu item.
    std::optional<bool> startAtLogin;
  };

  explicit TrayIcon(std::function<Checks()> checks, QObject* parent = nullptr);
  ~TrayIcon() override;

  // Items of another area (the sound outputs) added before "About Quimbel".
  void setExtraItems(std::function<void(QMenu&)> add) { extraItems_ = std::move(add); }

  // The menu as it would open now: each title, a checkable item's with its
  // state in front ("[x] Wide layout", "[ ] Tall layout"), separators as
  // empty strings.
  std::vector<QString> menuTitles();
  // The icon's picture at a device pixel ratio.
  static QPixmap picture(double devicePixelRatio);

 signals:
  // A click or a double click on the icon, with the pointer's position then:
  // the one hint where the icon is on trays that do not give its geometry.
  // Empty on Wayland, where the program sees the pointer only over its own
  // windows.
  void clicked(std::optional<QPoint> at);
  void layoutChosen(bool wide);
  void quantizeToggled();
  void startAtLoginToggled();
  void aboutRequested();
  void quitRequested();

 private:
  void buildMenu(QMenu& menu);
  static QAction* addCheckable(QMenu& menu, const QString& title, bool checked);

  std::function<Checks()> checks_;
  std::function<void(QMenu&)> extraItems_;
  std::unique_ptr<QMenu> menu_;
};

}  // namespace quimbel
