// The panel's screen, pads and knob against the pad model: the widgets draw
// the model's published values and their gestures become model operations.

#include <array>

#include "app/app_delegate.h"
#include "app/pad_panel.h"
#include "music/chords.h"
#include "screen/screen_canvas.h"
#include "ui/knob_dial.h"
#include "ui/pad_button.h"
#include "ui/panel_view.h"

namespace quimbel {

void AppDelegate::wirePanel() {
  // Pointers, not references, go into the observers: the panel outlives
  // the subscriptions (the destructor drops the bag first).
  PanelView* view = &panel_->view();
  ScreenCanvas* screen = &view->screen();
  KnobDial* knob = &view->knob();

  screen->setSource([this] {
    const double now = clock_.nowMs();
    return ScreenCanvas::Frame{model_->screenInput(now), now, model_->live()};
  });
  auto describeScreen = [this, screen] {
    const auto& shown = model_->shownChord().get();
    const std::string name = shown ? shown->name : Chords::keyName(model_->key());
    screen->setAccessibleName(QStringLiteral("Screen, ") + QString::fromStdString(name));
  };
  describeScreen();
  bag_.push_back(
      model_->shownChord().subscribe([describeScreen](const auto&) { describeScreen(); }));
  bag_.push_back(model_->key().subscribe([describeScreen](const auto&) { describeScreen(); }));
  // Frames run only while the panel is on screen: not while hidden, nor
  // while the no-tray window is minimised.
  auto showScreen = [this, screen] {
    screen->showVisible(model_->visible() && !panel_->isMinimized());
  };
  showScreen();
  bag_.push_back(model_->visible().subscribe([showScreen](bool) { showScreen(); }));
  connect(panel_, &PadPanel::minimizedChanged, this, showScreen);

  // Pads 0 … 6 play their chords; pad 7 holds sevenths like Tab does.
  connect(view, &PanelView::padPressed, this, [this](int pad) {
    if (pad == PadButton::kSeventhsPad) {
      model_->setModifier(PadModel::Modifier::tabMouse, true);
      model_->updateModifiers(true);
      return;
    }
    model_->holdPad(pad);
    model_->press(pad);
  });
  connect(view, &PanelView::padReleased, this, [this](int pad) {
    if (pad == PadButton::kSeventhsPad) {
      model_->setModifier(PadModel::Modifier::tabMouse, false);
      model_->updateModifiers(false);
      return;
    }
    model_->release(pad);
  });
  auto showModifiers = [this, view] { view->showModifiers(model_->sevenths(), model_->ninths()); };
  showModifiers();
  bag_.push_back(model_->sevenths().subscribe([showModifiers](bool) { showModifiers(); }));
  bag_.push_back(model_->ninths().subscribe([showModifiers](bool) { showModifiers(); }));
  view->showHeld(model_->held());
  bag_.push_back(
      model_->held().subscribe([view](const std::set<int>& held) { view->showHeld(held); }));
  view->showLive(model_->live());
  bag_.push_back(model_->live().subscribe([view](bool live) { view->showLive(live); }));
  view->showReduceMotion(model_->reduceMotion());
  bag_.push_back(
      model_->reduceMotion().subscribe([view](bool reduce) { view->showReduceMotion(reduce); }));
  // A new release stamp on a pad that is not held is a chord that MIDI or
  // loop playback sounded: the pad lights up and fades.
  bag_.push_back(model_->releasedAt().subscribe(
      [this, view, last = model_->releasedAt().get()](
          const std::array<double, PadModel::kPadFaces>& at) mutable {
        for (int i = 0; i < PadModel::kPads; ++i) {
          if (at[i] != last[i] && !model_->held().get().contains(i)) view->pad(i).flash();
        }
        last = at;
      }));

  knob->showKnob(model_->knob());
  bag_.push_back(model_->knob().subscribe([knob](int value) { knob->showKnob(value); }));
  connect(knob, &KnobDial::knobTurned, this, [this](int value) { model_->setKnob(value); });
  connect(knob, &KnobDial::dragChanged, this,
          [this](bool dragging) { model_->setKnobDragging(dragging); });
}

}  // namespace quimbel
