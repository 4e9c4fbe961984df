#include "ui/foot_row.h"

#include <gtest/gtest.h>

#include <optional>

#include "app/app_delegate.h"
#include "app/pad_panel.h"
#include "app/save_dialogs.h"
#include "files/scratch.h"
#include "model/model_rig.h"
#include "ui/key_picker.h"
#include "ui/offscreen_app.h"
#include "ui/panel_view.h"
#include "ui/wired_panel.h"

namespace quimbel {
namespace {

using testing::gesture;
using testing::mouse;

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
  testing::WiredPanel wired;
  PadModel& model = wired.model();
  FootRow& foot = wired.view().foot();
  model.setVolume(0.6);
  QWidget& volume = control(foot, "volume");
  gesture(volume, {14, 14}, {14, 14});
  EXPECT_EQ(model.volume(), 0.0);
  gesture(volume, {14, 14}, {14, 14});
  EXPECT_EQ(model.volume(), 0.6);

  QWidget& key = control(foot, "key");
  gesture(key, {10, 14}, {10, 14});
  EXPECT_TRUE(model.pickerOpen());
  KeyPicker& picker = wired.view().picker();
  for (int chip : {KeyPicker::kMajorChip, 9}) {
    gesture(picker, picker.chipFrame(chip).center(), picker.chipFrame(chip).center());
  }
  EXPECT_EQ(model.key().get(), (Chords::Key{9, Chords::Mode::major}));
  EXPECT_FALSE(model.pickerOpen());
  EXPECT_EQ(key.accessibleName(), QStringLiteral("Key, A"));
}

// Exports into a cache folder where no take folder can be made: every click
// or drag of an export key says why once, and only the next press tries again.
TEST(FootWiringTest, AFailedExportSaysWhyOncePerGestureAndTheNextPressTriesAgain) {
  ScratchDir cache;
  std::ofstream(cache.path() / "Quimbel") << "in the way of the take folders";
  std::vector<std::string> said;
  setExportAlert([&said](const std::string& message, QWidget*) { said.push_back(message); });
  testing::WiredPanel wired;
  PadModel& model = wired.model();
  model.finishRecording({model.hitFor(0)}, 2.0);
  FootRow& foot = wired.view().foot();
  auto renderEnds = [&] {
    model.awaitAudioRender();
    model.awaitVideoRender();
    wired.main.runPending();
  };
  const std::string why = (cache.path() / "Quimbel").string() + " is not a folder";

  for (const char* key : {"audio", "midi", "video"}) {
    gesture(control(foot, key), {20, 14}, {20, 14});
    renderEnds();
  }
  EXPECT_EQ(said, (std::vector<std::string>{"The audio could not be made: " + why,
                                            "The MIDI file could not be made: " + why,
                                            "The video could not be made: " + why}));

  // A drag asks on every move until it has the file: a failure ends that.
  for (const char* key : {"audio", "midi", "video"}) {
    said.clear();
    QWidget& control = ::quimbel::control(foot, key);
    mouse(control, QEvent::MouseButtonPress, {20, 14});
    renderEnds();
    for (int x = 30; x < 90; x += 10) {
      mouse(control, QEvent::MouseMove, {double(x), 14});
      EXPECT_FALSE(model.audioRendering() || model.videoRendering()) << key << " rendered again";
    }
    mouse(control, QEvent::MouseButtonRelease, {90, 14});
    ASSERT_EQ(said.size(), 1u) << key;
    EXPECT_NE(said[0].find(why), std::string::npos) << said[0];
  }
  setExportAlert({});
}

}  // namespace
}  // namespace quimbel
