// The tray menu's sound items under the offscreen platform, on virtual time,
// with a fake JACK server and the on-demand backend for the system's outputs.

#include <gtest/gtest.h>

#include <QMenu>
#include <QSystemTrayIcon>

#include "app/app_delegate.h"
#include "audio/fake_jack_server.h"
#include "audio/output_switch.h"
#include "model/model_rig.h"
#include "ui/offscreen_app.h"

namespace quimbel {
namespace {

// The menu's item (or its "Sound output" submenu's) as it opens now.
QAction* item(QMenu& menu, const QString& title) {
  emit menu.aboutToShow();
  QMenu* sound = menu.findChild<QMenu*>(QStringLiteral("soundOutput"));
  if (sound) emit sound->aboutToShow();
  for (QAction* action : menu.actions() + (sound ? sound->actions() : QList<QAction*>())) {
    if (action->text().startsWith(title)) return action;
  }
  return nullptr;
}

// A choice is stored and heard at once (its item checked); Low latency is
// stored and restarts the system's stream; a JACK server that went away is
// taken up again when the panel is next shown.
TEST(AppDelegateSoundTest, TheMenusChoicesApplyAtOnceAndALostServerComesBackWithThePanel) {
  testing::offscreenApp();
  ManualClock clock{1000.0};
  ManualMainThread main{clock};
  OnDemandBackend system;
  system.setDevices({"pulse"});
  testing::FakeJackServer server;
  JackBackend jack(server);
  OutputSwitch outputs(jack, system);
  int sources = 0;
  AppDelegate delegate(
      PadModel::Services{clock, main, outputs, testing::installTestTones,
                         std::make_unique<MemorySettingsStore>(),
                         std::make_unique<testing::StubSequencer>(&sources), true, true},
      AppDelegate::Desktop{.trayAvailable = true, .outputs = &outputs});
  delegate.setup();
  delegate.showPanel();
  const auto titles = delegate.menuTitles();
  EXPECT_EQ(QStringList(titles.begin(), titles.end()).join('|').section("||", 2, 2),
            "Sound output|Low latency");
  QMenu& menu = *delegate.tray()->contextMenu();
  SettingsStore& settings = delegate.model().defaults();

  ASSERT_TRUE(item(menu, "JACK"));
  item(menu, "JACK")->trigger();
  EXPECT_EQ(settings.value(OutputSetting::output), "jack");
  EXPECT_TRUE(server.active && delegate.model().engine().running());
  server.kill();
  main.runPending();
  server.running = true;
  delegate.hidePanel();
  delegate.showPanel();
  EXPECT_TRUE(server.active) << "back on JACK";

  item(menu, "pulse")->trigger();
  item(menu, "Low latency")->trigger();
  EXPECT_EQ(std::tuple(settings.value(OutputSetting::lowLatency), item(menu, "Low")->text(),
                       system.streamDevice(), system.streamLowLatency(), server.active),
            std::tuple("true", "Low latency\t\u2713", "pulse", true, false));
}

}  // namespace
}  // namespace quimbel
