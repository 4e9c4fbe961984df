#include "app/app_delegate.h"
#include "app/pad_panel.h"

namespace quimbel {

void AppDelegate::wireKeys() {
  PadPanel* panel = panel_;
  using Modifier = PadModel::Modifier;
  // A source of a modifier goes down or up; the model recomputes the three.
  const auto setModifier = [this](Modifier source, bool down) {
    model_->setModifier(source, down);
    model_->updateModifiers(down);
  };

  connect(panel, &PadPanel::padKey, this, [this](int pad, bool down) {
    if (!down) {
      model_->release(pad);
      return;
    }
    if (pad < 0 || pad >= PadModel::kPads) return;
    model_->holdPad(pad);
    model_->press(pad);
  });
  connect(panel, &PadPanel::tabKey, this,
          [setModifier](bool down) { setModifier(Modifier::tabKey, down); });
  connect(panel, &PadPanel::shiftChanged, this,
          [setModifier](bool held) { setModifier(Modifier::shiftKey, held); });
  connect(panel, &PadPanel::holdKey, this, [setModifier](QChar key, bool down) {
    const Modifier source = key == u'8'   ? Modifier::key8
                            : key == u'9' ? Modifier::key9
                                          : Modifier::key0;
    setModifier(source, down);
  });
  connect(panel, &PadPanel::spaceKey, this, [this, setModifier](bool down) {
    setModifier(Modifier::spaceKey, down);
    // Space also starts and stops the loop of a finished take.
    if (down && model_->state().get() == PadModel::State::done) model_->togglePlay();
  });
  connect(panel, &PadPanel::controlKey, this, [this](const QString& name) {
    if (name == u"b") {
      model_->toggleBass();
    } else if (name == u"e") {
      model_->cycleKnob();
    } else if (name == u"up") {
      model_->setKnob(model_->knob().get() + 1);
    } else if (name == u"down") {
      model_->setKnob(model_->knob().get() - 1);
    }
  });
  connect(panel, &PadPanel::clicked, this, [this](QPointF point) {
    if (model_->pickerOpen().get() && !pickerFrames_.contains({point.x(), point.y()}))
      model_->setPickerOpen(false);
  });
  // Escape steps back one thing at a time: the picker, then the finished
  // take (undo brings it back), then the panel itself. Without a tray
  // nothing could bring a hidden panel back: that window stays.
  connect(panel, &PadPanel::escapePressed, this, [this] {
    if (model_->pickerOpen().get()) {
      model_->setPickerOpen(false);
    } else if (model_->state().get() == PadModel::State::done) {
      model_->dropTake();
    } else if (!panel_->standalone()) {
      hidePanel();
    }
  });
  connect(panel, &PadPanel::undoPressed, this, [this] { model_->undo(); });
}

}  // namespace quimbel
