#include <QPointer>
#include <QUrl>
#include <memory>

#include "app/app_delegate.h"
#include "app/pad_panel.h"
#include "app/panel_presenter.h"
#include "app/save_dialogs.h"
#include "export/video_frames.h"
#include "ui/foot_row.h"
#include "ui/key_picker.h"
#include "ui/panel_view.h"

namespace quimbel {

namespace {

// A scroll through keys sounds only the key where the user pauses this long.
constexpr double kTonicPauseSeconds = 0.15;

// A widget's rectangle in its window's points, as the picker's frames are kept.
PickerFrames::Rect windowFrame(const QWidget& widget, QRect local) {
  if (!local.isValid()) return {};
  const QPoint origin = widget.mapTo(widget.window(), local.topLeft());
  return {double(origin.x()), double(origin.y()), double(local.width()), double(local.height())};
}

std::optional<QUrl> fileUrl(const std::optional<std::filesystem::path>& file) {
  if (!file) return std::nullopt;
  return QUrl::fromLocalFile(QString::fromStdString(file->string()));
}

}  // namespace

void AppDelegate::wireFoot() {
  PanelView& view = panel_->view();
  FootRow& foot = view.foot();
  KeyPicker& picker = view.picker();
  PadModel& model = *model_;

  model.setVideoMaker({[](const VideoExport& record, const std::filesystem::path& url) {
                         return record.renderVideo(url);
                       },
                       [] { return loadVideoIcon(); }});

  // --- What the row and the picker show ---
  auto showTempo = [&foot, &model](auto&&...) { foot.showTempo(model.bpm(), model.metronome()); };
  auto showKey = [&foot, &picker](const Chords::Key& key) {
    foot.showKey(key);
    picker.showKey(key);
  };
  auto showPicker = [this, &foot](bool open) {
    panel_->view().showPicker(open);
    foot.showPickerOpen(open);
  };
  bag_.push_back(model.key().subscribe(showKey));
  bag_.push_back(model.bpm().subscribe(showTempo));
  bag_.push_back(model.metronome().subscribe(showTempo));
  bag_.push_back(model.pickerOpen().subscribe(showPicker));
  bag_.push_back(model.state().subscribe([&foot](PadState state) { foot.showState(state); }));
  bag_.push_back(model.countN().subscribe([&foot](int n) { foot.showCount(n); }));
  bag_.push_back(model.elapsed().subscribe([&foot](int seconds) { foot.showElapsed(seconds); }));
  bag_.push_back(model.playing().subscribe([&foot](bool playing) { foot.showPlaying(playing); }));
  bag_.push_back(model.volume().subscribe([&foot](double volume) { foot.showVolume(volume); }));
  bag_.push_back(model.pinned().subscribe([&foot](bool pinned) { foot.showPinned(pinned); }));
  bag_.push_back(model.videoRendering().subscribe(
      [&foot](bool rendering) { foot.showVideoRendering(rendering); }));
  bag_.push_back(
      model.reduceMotion().subscribe([&picker](bool reduce) { picker.setReduceMotion(reduce); }));
  showKey(model.key());
  showTempo();
  foot.showState(model.state());
  foot.showCount(model.countN());
  foot.showElapsed(model.elapsed());
  foot.showPlaying(model.playing());
  foot.showVolume(model.volume());
  foot.showPinned(model.pinned());
  foot.showVideoRendering(model.videoRendering());
  picker.setReduceMotion(model.reduceMotion());
  showPicker(model.pickerOpen());

  // --- Frames that an outside click is tested against ---
  auto footFrames = [this, &foot] {
    pickerFrames_.setFrame("key", windowFrame(foot, foot.keyButtonFrame()));
    pickerFrames_.setFrame("bpm", windowFrame(foot, foot.tempoKeyFrame()));
  };
  connect(&foot, &FootRow::framesChanged, this, footFrames);
  connect(&picker, &KeyPicker::placed, this, [this, &picker] {
    pickerFrames_.setFrame("picker", windowFrame(picker, QRect(QPoint(0, 0), picker.size())));
  });
  footFrames();

  // --- What the user does ---
  connect(&foot, &FootRow::keyButtonClicked, this,
          [this] { model_->setPickerOpen(!model_->pickerOpen()); });
  connect(&foot, &FootRow::keyShifted, this, [this](int steps) {
    model_->shiftTonic(steps);
    model_->scheduleTonic(kTonicPauseSeconds);
  });
  connect(&foot, &FootRow::tempoSet, this, [this](int bpm) { model_->setBpm(bpm); });
  connect(&foot, &FootRow::metronomeToggled, this, [this] { model_->toggleMetronome(); });
  connect(&foot, &FootRow::playToggled, this, [this] { model_->togglePlay(); });
  connect(&foot, &FootRow::recordToggled, this, [this] { model_->toggleRecord(); });
  connect(&foot, &FootRow::dropClicked, this, [this] { model_->dropTake(); });
  connect(&foot, &FootRow::pinToggled, this, [this] { model_->setPinned(!model_->pinned()); });
  // Setting the volume to itself stamps the moment, so the screen shows the
  // meter while the key is held and for a while after.
  connect(&foot, &FootRow::volumeDragStarted, this, [this] {
    model_->setVolumeDragging(true);
    model_->setVolume(model_->volume());
  });
  connect(&foot, &FootRow::volumeSet, this, [this](double volume) { model_->setVolume(volume); });
  connect(&foot, &FootRow::volumeReleased, this, [this](bool moved) {
    model_->setVolumeDragging(false);
    model_->setVolume(model_->volume());
    if (!moved) model_->toggleMute();
  });
  connect(&picker, &KeyPicker::tonicChosen, this, [this](int tonic) {
    model_->setPickerOpen(false);
    model_->setKey({tonic, model_->key().get().mode}, true);
  });
  connect(&picker, &KeyPicker::modeChosen, this, [this](Chords::Mode mode) {
    model_->setKey({model_->key().get().tonic, mode}, true);
  });

  // --- Exports: a click saves through a dialog, a drag hands out the file ---
  // The unpinned panel stays open while a drag or a dialog of its own runs.
  auto holdOpen = [this] {
    return std::static_pointer_cast<void>(std::make_shared<PanelPresenter::KeepOpen>(*presenter_));
  };
  auto dialogWindow = [this]() -> QWidget* {
    return panel_ != nullptr && panel_->isVisible() ? panel_ : nullptr;
  };
  auto dragHold = std::make_shared<std::shared_ptr<void>>();
  connect(&foot, &FootRow::exportDragRunning, this,
          [dragHold, holdOpen](bool running) { *dragHold = running ? holdOpen() : nullptr; });
  foot.setExportActions(FootRow::Export::audio, {[this] { return fileUrl(model_->exportAudio()); },
                                                 [this, holdOpen, dialogWindow] {
                                                   saveTake(*model_, SaveType::wav, dialogWindow(),
                                                            holdOpen());
                                                 },
                                                 {}});
  foot.setExportActions(FootRow::Export::midi,
                        {[this] {
                           std::optional<Written> written = model_->exportMidi();
                           return fileUrl(written ? written->file : std::nullopt);
                         },
                         [this, holdOpen, dialogWindow] {
                           saveTake(*model_, SaveType::midi, dialogWindow(), holdOpen());
                         },
                         {}});
  foot.setExportActions(
      FootRow::Export::video,
      {[this] { return fileUrl(model_->cachedVideo()); },
       [this, holdOpen, dialogWindow] {
         // Outside a finished take the answer could wait for a render that
         // never comes, and the panel would never hide meanwhile.
         if (model_->state() != PadState::done) return;
         // The wait for the render keeps the panel open too: the key spins
         // meanwhile, and the dialog opens on it when the file is there.
         QPointer<QWidget> window = dialogWindow();
         std::shared_ptr<void> hold = holdOpen();
         model_->withVideo([window, hold](std::optional<std::filesystem::path> url) {
           if (!url) return;
           QWidget* shownOn = window && window->isVisible() ? window.data() : nullptr;
           offerSave(*url, SaveType::mpeg4Movie, shownOn, hold);
         });
       },
       [this] { model_->withVideo([](std::optional<std::filesystem::path>) {}); }});
}

}  // namespace quimbel
