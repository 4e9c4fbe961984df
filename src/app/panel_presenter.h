#pragma once

// Puts the panel window on screen and takes it off: where it opens (beside
// the tray icon), when it hides by itself (the activation went to another
// program's window, or a click landed outside it; a drag outside does not
// count, so the X pointer is polled until the button comes up), and the
// animated switch between the tall and the wide layout. The model's visible,
// live, pinned and picker fields follow the window.
//
// Thread contract: main thread only. The panel, the model and the clock must
// outlive the presenter.

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <functional>
#include <optional>
#include <string>

#include "app/panel_placement.h"
#include "model/pad_model.h"

class QTimer;
class QVariantAnimation;

namespace quimbel {

class PadPanel;

class PanelPresenter final : public QObject {
  Q_OBJECT
 public:
  // `trayIconArea`: the tray icon on the screen; an empty rectangle where
  // there is none or the desktop does not tell. The panel starts in the
  // stored layout.
  PanelPresenter(PadPanel& panel, PadModel& model, Clock& clock,
                 std::function<QRect()> trayIconArea, QObject* parent = nullptr);

  static QSize layoutSize(bool wide);

  bool shown() const;
  // A click on the tray icon; `clickedAt`: the pointer at the click, where the
  // panel opens when the tray does not tell where its icon is.
  void toggle(std::optional<QPoint> clickedAt = std::nullopt);
  void show(std::optional<QPoint> clickedAt = std::nullopt);
  void hide();
  // Where the panel opens for the current tray icon, click and screens.
  ScreenPoint position(std::optional<QPoint> clickedAt = std::nullopt) const;
  // Stores the layout and gives the window its size, keeping the top-left
  // corner; animated while on screen unless motion is reduced.
  void switchLayout(bool wide);
  // A pinned panel stays open and moves by dragging its background.
  void showPinned(bool pinned);
  // The panel became, or stopped being, the active window.
  void activationChanged(bool active);

  // While an own drag, dialog or menu runs, the unpinned panel does not hide
  // when it stops being the active window. Nested scopes count.
  class KeepOpen {
   public:
    explicit KeepOpen(PanelPresenter& presenter) : presenter_(&presenter) {
      ++presenter_->keepOpen_;
    }
    ~KeepOpen() {
      if (presenter_) --presenter_->keepOpen_;
    }
    KeepOpen(const KeepOpen&) = delete;
    KeepOpen& operator=(const KeepOpen&) = delete;

   private:
    QPointer<PanelPresenter> presenter_;
  };

 signals:
  // The panel is about to come on screen.
  void opening();
  // The panel has gone off screen.
  void hidden();

 private:
  void watchOutsidePress(QPoint pressedAt);
  void hideByItself();
  void watchPlacement(QPoint asked);
  void logCompositorPlacement(const std::string& how);
  bool eventFilter(QObject* watched, QEvent* event) override;

  PadPanel& panel_;
  PadModel& model_;
  Clock& clock_;
  std::function<QRect()> trayIconArea_;
  QVariantAnimation* layoutAnimation_ = nullptr;
  int keepOpen_ = 0;
  QTimer* outsideWatch_ = nullptr;
  bool outsideDragged_ = false;
  // When the panel last hid because another window became active: a click on
  // the tray icon takes the activation first, and must not re-open it.
  double autoHiddenAt_ = PadModel::kNever;
  // Where the panel last asked to open, while a move by the compositor would
  // still be told from one of the program's own.
  std::optional<QPoint> askedAt_;
  bool watchingPlacement_ = false;
  bool compositorPlacementLogged_ = false;
};

}  // namespace quimbel
