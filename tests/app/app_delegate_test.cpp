// The desktop shell under the offscreen platform, on virtual time: showing and
// hiding the panel, the idle stop of the audio, the layout switch, the menu,
// the window for desktops without a tray and the hand-over to a running
// instance. Placement is a pure function and is checked as a table.

#include "app/app_delegate.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>

#include "app/pad_panel.h"
#include "app/panel_placement.h"
#include "app/single_instance.h"
#include "audio/on_demand_backend.h"
#include "diagnostics/manual_main_thread.h"
#include "ui/panel_view.h"

namespace quimbel {
namespace {

struct NoSources final : MidiSequencer {
  int open(Handlers) override { return 0; }
  std::vector<std::uint32_t> sources() override { return {}; }
  void connect(std::uint32_t) override {}
};

class Shell {
 public:
  explicit Shell(bool tray = true, bool reduceMotion = true) {
    delegate = std::make_unique<AppDelegate>(
        PadModel::Services{clock, main, backend, [](RenderCore*, double) {},
                           std::make_unique<MemorySettingsStore>(), std::make_unique<NoSources>(),
                           true, reduceMotion},
        AppDelegate::Desktop{tray, {}, {}});
    delegate->setup();
  }
  PadModel& model() { return delegate->model(); }

  ManualClock clock{1000.0};
  ManualMainThread main{clock};
  OnDemandBackend backend;
  std::unique_ptr<AppDelegate> delegate;
};

TEST(PanelPlacementTest, OpensBesideTheTrayAndInsideTheScreen) {
  const ScreenRect screen{0, 24, 1280, 1000};
  struct Row {
    const char* why;
    std::optional<ScreenRect> icon;
    int x, y;
  } rows[] = {
      {"under an icon in a top tray", ScreenRect{700, 0, 22, 22}, 700, 28},
      {"kept 8 px from the right edge", ScreenRect{1258, 0, 22, 22}, 1280 - 328 - 8, 28},
      {"kept 8 px from the left edge", ScreenRect{2, 0, 22, 22}, 8, 28},
      {"above an icon in a bottom tray", ScreenRect{700, 1000, 22, 22}, 700, 1000 - 6 - 684},
      {"top right without an icon", std::nullopt, 1280 - 328 - 8, 32},
  };
  for (const Row& row : rows) {
    const ScreenPoint at = placePanel(screen, row.icon, 328, 684);
    EXPECT_EQ(at.x, row.x) << row.why;
    EXPECT_EQ(at.y, row.y) << row.why;
  }
  // The layout switch keeps the top-left corner, moved in to fit.
  const ScreenPoint moved = keepTopLeft(screen, {1000, 30, 328, 684}, 548, 320);
  EXPECT_EQ(moved.x, 1280 - 548);
  EXPECT_EQ(moved.y, 30);
}

TEST(AppDelegateTest, ShowingAndHidingDriveVisibleLiveAndTheIdleAudioStop) {
  Shell shell;
  PadModel& model = shell.model();
  shell.delegate->showPanel();
  EXPECT_TRUE(shell.delegate->panelShown());
  EXPECT_TRUE(model.visible());
  EXPECT_TRUE(model.live());
  EXPECT_TRUE(model.engine().running());

  model.setPinned(true);
  model.setPickerOpen(true);
  shell.delegate->hidePanel();
  EXPECT_FALSE(shell.delegate->panelShown());
  EXPECT_FALSE(model.visible());
  EXPECT_FALSE(model.live());
  EXPECT_FALSE(model.pinned());
  EXPECT_FALSE(model.pickerOpen());
  EXPECT_TRUE(shell.delegate->audioStopPending());
  shell.main.advance(59'000);
  EXPECT_TRUE(model.engine().running());
  shell.main.advance(1'000);
  EXPECT_FALSE(model.engine().running());

  // Showing again within the minute cancels the stop.
  shell.delegate->showPanel();
  shell.delegate->hidePanel();
  shell.main.advance(30'000);
  shell.delegate->showPanel();
  EXPECT_FALSE(shell.delegate->audioStopPending());
  shell.main.advance(60'000);
  EXPECT_TRUE(model.engine().running());
}

TEST(AppDelegateTest, TheMetronomeAKeepRunningFlagOrAMidiKeyboardKeepTheAudioAlive) {
  const std::function<void(PadModel&)> keepers[] = {
      [](PadModel& m) { m.toggleMetronome(); },
      [](PadModel& m) { m.toggleRecord(); },  // a count-in
      [](PadModel& m) { m.engine().setKeepRunning(true); },
      [](PadModel& m) { m.midiSources(1); },
  };
  for (const auto& keep : keepers) {
    Shell shell;
    shell.delegate->showPanel();
    keep(shell.model());
    shell.backend.pull(1024);  // the core takes the metronome's start
    shell.backend.clearOutput();
    shell.delegate->hidePanel();
    shell.main.advance(61'000);
    EXPECT_TRUE(shell.model().engine().running());
  }
}

TEST(AppDelegateTest, TheLayoutSwitchResizesStoresAndLeavesTheLayoutInForceAlone) {
  Shell shell;
  PadModel& model = shell.model();
  shell.delegate->showPanel();
  model.setPickerOpen(true);
  shell.delegate->setLayout(false);  // already tall
  EXPECT_TRUE(model.pickerOpen());

  const QPoint corner = shell.delegate->panel()->pos();
  shell.delegate->setLayout(true);
  EXPECT_TRUE(model.wide());
  EXPECT_FALSE(model.pickerOpen());
  EXPECT_EQ(model.defaults().value("wide"), "true");
  EXPECT_EQ(shell.delegate->panel()->size(), PanelView::kWideSize);
  EXPECT_EQ(shell.delegate->panel()->view().size(), PanelView::kWideSize);
  EXPECT_EQ(shell.delegate->panel()->pos().y(), corner.y());
}

TEST(AppDelegateTest, TheMenuNamesTheLayoutAndQuantizeStateEachTimeItOpens) {
  Shell shell;
  const std::vector<QString> expected = {"Tall layout\t\u2713",
                                         "Wide layout",
                                         "",
                                         "Quantize takes: 1/8, 70%\t\u2713",
                                         "",
                                         "About Quimbel",
                                         "",
                                         "Quit Quimbel\tCtrl+Q"};
  EXPECT_EQ(shell.delegate->menuTitles(), expected);
  shell.model().setQuantize(false);
  shell.delegate->setLayout(true);
  const std::vector<QString> titles = shell.delegate->menuTitles();
  EXPECT_EQ(titles[0], "Tall layout");
  EXPECT_EQ(titles[1], "Wide layout\t\u2713");
  EXPECT_EQ(titles[3], "Quantize takes: 1/8, 70%");
}

TEST(AppDelegateTest, WithoutATrayThePanelOpensAsAWindowAndClosingItQuits) {
  Shell shell(/*tray=*/false);
  EXPECT_EQ(shell.delegate->tray(), nullptr);
  PadPanel* panel = shell.delegate->panel();
  ASSERT_TRUE(panel->isVisible());
  EXPECT_EQ(panel->windowTitle(), "Quimbel");
  EXPECT_FALSE(panel->windowFlags().testFlag(Qt::FramelessWindowHint));
  QSignalSpy quit(shell.delegate.get(), &AppDelegate::quitRequested);
  panel->close();
  EXPECT_EQ(quit.count(), 1);
}

TEST(SingleInstanceTest, ASecondLaunchHandsOverToTheFirst) {
  const QString name = QStringLiteral("quimbel-test-%1").arg(QCoreApplication::applicationPid());
  SingleInstance first(name);
  ASSERT_FALSE(first.handOver());
  QSignalSpy shown(&first, &SingleInstance::showRequested);
  SingleInstance second(name);
  EXPECT_TRUE(second.handOver());
  EXPECT_TRUE(shown.wait(5000));
}

}  // namespace
}  // namespace quimbel

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
