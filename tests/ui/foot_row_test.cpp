#include "ui/foot_row.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QWheelEvent>
#include <optional>
#include <vector>

#include "app/app_delegate.h"
#include "app/pad_panel.h"
#include "model/model_rig.h"
#include "ui/file_drag_source.h"
#include "ui/key_picker.h"
#include "ui/offscreen_app.h"
#include "ui/panel_view.h"

namespace quimbel {
namespace {

using testing::gesture;

QWidget& control(FootRow& row, const char* name) {
  auto* found = row.findChild<QWidget*>(QString::fromLatin1(name));
  EXPECT_NE(found, nullptr) << name;
  return *found;
}

TEST(FootRowTest, TempoDragStepsEveryThreePointsUpAndStopsAtTheTop) {
  testing::offscreenApp();
  struct Row {
    int shown;
    double up;
    std::optional<int> set;
    int toggles;
  };
  const Row rows[] = {
      {120, 30.0, 130, 0},          // ten steps for 30 points
      {195, 30.0, 200, 0},          // clamped at 200
      {61, -30.0, 60, 0},           // clamped at 60
      {120, 0.0, std::nullopt, 1},  // a click toggles the metronome
      {120, 2.9, std::nullopt, 1},  // a wobble is still a click
      {120, 3.0, 121, 0},           // three points up are a drag
  };
  for (const Row& row : rows) {
    FootRow foot;
    foot.resize(304, FootRow::kHeight);
    foot.showTempo(row.shown, false);
    std::optional<int> set;
    int toggles = 0;
    QObject::connect(&foot, &FootRow::tempoSet, &foot, [&set](int bpm) { set = bpm; });
    QObject::connect(&foot, &FootRow::metronomeToggled, &foot, [&toggles] { ++toggles; });
    QWidget& tempo = control(foot, "bpm");
    gesture(tempo, {20, 14}, {20, 14 - row.up});
    EXPECT_EQ(set, row.set) << row.shown << " " << row.up;
    EXPECT_EQ(toggles, row.toggles) << row.shown << " " << row.up;
  }
}

TEST(FootRowTest, VolumeAndTempoStepByScrollAndByAssistiveActions) {
  testing::offscreenApp();
  FootRow foot;
  foot.resize(304, FootRow::kHeight);
  foot.showTempo(120, false);
  foot.showVolume(0.8);
  std::vector<int> tempos;
  std::vector<double> volumes;
  QObject::connect(&foot, &FootRow::tempoSet, &foot, [&tempos](int bpm) { tempos.push_back(bpm); });
  QObject::connect(&foot, &FootRow::volumeSet, &foot,
                   [&volumes](double volume) { volumes.push_back(volume); });
  // Wheel notches of 120: half a notch is dropped, 0.6 of one in the other
  // direction counts.
  for (int angle : {60, -72, 240}) {
    QWheelEvent wheel({14, 14}, {14, 14}, QPoint(), QPoint(0, angle), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&control(foot, "bpm"), &wheel);
  }
  EXPECT_EQ(tempos, (std::vector<int>{119, 121}));
  QAccessibleInterface* volume = QAccessible::queryAccessibleInterface(&control(foot, "volume"));
  ASSERT_NE(volume, nullptr);
  ASSERT_NE(volume->actionInterface(), nullptr);
  volume->actionInterface()->doAction(QAccessibleActionInterface::increaseAction());
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_DOUBLE_EQ(volumes[0], 0.9);
  EXPECT_EQ(volume->text(QAccessible::Value), QStringLiteral("80 %"));
}

TEST(FootRowTest, ExportKeyWobbleOfThreePointsIsAClickAndFurtherAsksForTheFile) {
  testing::offscreenApp();
  struct Row {
    double dx, dy;
    int fileAsked;
    int clicks;
  };
  const Row rows[] = {{0, 0, 0, 1}, {3, 0, 0, 1}, {0, -3, 0, 1}, {3.01, 0, 1, 0}, {2.2, 2.2, 1, 0}};
  for (const Row& row : rows) {
    FootRow foot;
    foot.resize(524, FootRow::kHeight);
    foot.showState(PadState::done);
    int prepared = 0, asked = 0, clicks = 0;
    foot.setExportActions(FootRow::Export::video,
                          {[&asked]() -> std::optional<QUrl> {
                             ++asked;
                             return std::nullopt;  // the video is not ready yet
                           },
                           [&clicks] { ++clicks; }, [&prepared] { ++prepared; }});
    gesture(control(foot, "video"), {20, 14}, {20 + row.dx, 14 + row.dy});
    EXPECT_EQ(prepared, 1);
    EXPECT_EQ(asked, row.fileAsked) << row.dx << ", " << row.dy;
    EXPECT_EQ(clicks, row.clicks) << row.dx << ", " << row.dy;
  }
}

TEST(KeyPickerTest, EveryChipChoosesItsOwnTonicOrMode) {
  testing::offscreenApp();
  KeyPicker picker;
  std::vector<int> tonics;
  std::vector<Chords::Mode> modes;
  QObject::connect(&picker, &KeyPicker::tonicChosen, &picker,
                   [&tonics](int tonic) { tonics.push_back(tonic); });
  QObject::connect(&picker, &KeyPicker::modeChosen, &picker,
                   [&modes](Chords::Mode mode) { modes.push_back(mode); });
  for (int chip = 0; chip < KeyPicker::kChips; ++chip) {
    const QRectF frame = picker.chipFrame(chip);
    EXPECT_TRUE(QRectF(picker.rect()).contains(frame)) << chip;
    // A corner as well as the middle: chips must not overlap.
    for (QPointF at : {frame.center(), frame.topLeft() + QPointF(1, 1)}) gesture(picker, at, at);
  }
  std::vector<int> expected;
  for (int tonic = 0; tonic < 12; ++tonic) expected.insert(expected.end(), {tonic, tonic});
  EXPECT_EQ(tonics, expected);
  EXPECT_EQ(modes, (std::vector<Chords::Mode>{Chords::Mode::major, Chords::Mode::major,
                                              Chords::Mode::minor, Chords::Mode::minor}));
  EXPECT_EQ(KeyPicker::chipTitle(3), QStringLiteral("E♭"));
}

// Through the app's wiring, on a model with virtual time.
TEST(FootWiringTest, VolumeClickMutesAndASecondRestoresWhileTheKeysReachTheModel) {
  testing::offscreenApp();
  testing::ModelRig rig;
  AppDelegate app(
      PadModel::Services{rig.clock, rig.main, rig.backend, testing::installTestTones,
                         std::make_unique<MemorySettingsStore>(), nullptr, false, false},
      AppDelegate::Desktop{false, {}, {}});
  app.setup();
  PadModel& model = app.model();
  FootRow& foot = app.panel()->view().foot();
  model.setVolume(0.6);
  QWidget& volume = control(foot, "volume");
  gesture(volume, {14, 14}, {14, 14});
  EXPECT_EQ(model.volume(), 0.0);
  EXPECT_EQ(volume.accessibleDescription(), QStringLiteral("muted"));
  gesture(volume, {14, 14}, {14, 14});
  EXPECT_EQ(model.volume(), 0.6);
  EXPECT_FALSE(model.volumeDragging());
  gesture(volume, {14, 14}, {14, 2});  // 12 points up: a tenth more, no mute
  EXPECT_DOUBLE_EQ(model.volume(), 0.7);

  QWidget& key = control(foot, "key");
  gesture(key, {10, 14}, {10, 14});
  EXPECT_TRUE(model.pickerOpen());
  EXPECT_TRUE(app.panel()->view().picker().isVisibleTo(app.panel()));
  EXPECT_TRUE(model.insidePickerFrames(
      {double(app.panel()->view().picker().mapTo(app.panel(), QPoint(4, 4)).x()),
       double(app.panel()->view().picker().mapTo(app.panel(), QPoint(4, 4)).y())}));
  KeyPicker& picker = app.panel()->view().picker();
  gesture(picker, picker.chipFrame(KeyPicker::kMajorChip).center(),
          picker.chipFrame(KeyPicker::kMajorChip).center());
  gesture(picker, picker.chipFrame(9).center(), picker.chipFrame(9).center());
  EXPECT_EQ(model.key().get(), (Chords::Key{9, Chords::Mode::major}));
  EXPECT_FALSE(model.pickerOpen());
  EXPECT_EQ(key.accessibleName(), QStringLiteral("Key, A"));
}

}  // namespace
}  // namespace quimbel
