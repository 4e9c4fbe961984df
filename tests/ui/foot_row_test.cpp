#include "ui/foot_row.h"

#include <gtest/gtest.h>

#include <optional>

#include "app/app_delegate.h"
#include "app/pad_panel.h"
#include "model/model_rig.h"
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

TEST(FootRowTest, TempoDragStepsEveryThreePointsUpStopsAtTheTopAndAWobbleIsAClick) {
  testing::offscreenApp();
  const struct {
    int shown;
    double up;
    std::optional<int> set;
    int toggles;
  } rows[] = {
      {120, 30.0, 130, 0},          // ten steps for 30 points
      {195, 30.0, 200, 0},          // clamped at 200
      {120, 2.9, std::nullopt, 1},  // a wobble toggles the metronome
      {120, 3.0, 121, 0},           // three points up are a drag
  };
  for (const auto& row : rows) {
    FootRow foot;
    foot.resize(304, FootRow::kHeight);
    foot.showTempo(row.shown, false);
    std::optional<int> set;
    int toggles = 0;
    QObject::connect(&foot, &FootRow::tempoSet, &foot, [&set](int bpm) { set = bpm; });
    QObject::connect(&foot, &FootRow::metronomeToggled, &foot, [&toggles] { ++toggles; });
    gesture(control(foot, "bpm"), {20, 14}, {20, 14 - row.up});
    EXPECT_EQ(set, row.set) << row.shown << " " << row.up;
    EXPECT_EQ(toggles, row.toggles) << row.shown << " " << row.up;
  }
}

TEST(FootRowTest, ExportKeyWobbleOfThreePointsIsAClickAndFurtherAsksForTheFile) {
  testing::offscreenApp();
  for (double dx : {3.0, 3.01}) {
    FootRow foot;
    foot.resize(524, FootRow::kHeight);
    foot.showState(PadState::done);
    int asked = 0, clicks = 0;
    foot.setExportActions(FootRow::Export::video,
                          {[&asked]() -> std::optional<QUrl> {
                             ++asked;
                             return std::nullopt;  // the video is not ready yet
                           },
                           [&clicks] { ++clicks; }, [] {}});
    gesture(control(foot, "video"), {20, 14}, {20 + dx, 14});
    EXPECT_EQ(asked, dx > 3 ? 1 : 0) << dx;
    EXPECT_EQ(clicks, dx > 3 ? 0 : 1) << dx;
  }
}

// Through the app's wiring, on a model with virtual time.
TEST(FootWiringTest, VolumeClickMutesAndASecondRestoresWhileTheKeyChipsReachTheModel) {
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
  gesture(volume, {14, 14}, {14, 14});
  EXPECT_EQ(model.volume(), 0.6);

  QWidget& key = control(foot, "key");
  gesture(key, {10, 14}, {10, 14});
  EXPECT_TRUE(model.pickerOpen());
  KeyPicker& picker = app.panel()->view().picker();
  for (int chip : {KeyPicker::kMajorChip, 9}) {
    gesture(picker, picker.chipFrame(chip).center(), picker.chipFrame(chip).center());
  }
  EXPECT_EQ(model.key().get(), (Chords::Key{9, Chords::Mode::major}));
  EXPECT_FALSE(model.pickerOpen());
  EXPECT_EQ(key.accessibleName(), QStringLiteral("Key, A"));
}

}  // namespace
}  // namespace quimbel
