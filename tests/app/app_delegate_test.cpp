// The desktop shell under the offscreen platform, on virtual time. The panel
// window gets synthetic events with X11 scan codes sent to its native window,
// as the desktop sends them; the delegate wires them to the model, shows and
// hides the panel, stops idle audio, switches the layout, builds the menu,
// stands in a window for a missing tray and hands over to a running
// instance. Placement is a pure function and is checked as a table.

#include "app/app_delegate.h"

#include <gtest/gtest.h>

#include <QActionGroup>
#include <QKeyEvent>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWindow>

#include "app/pad_panel.h"
#include "app/panel_placement.h"
#include "app/single_instance.h"
#include "files/scratch.h"
#include "files/written.h"
#include "model/model_rig.h"
#include "screen/screen_canvas.h"
#include "ui/offscreen_app.h"
#include "ui/pad_button.h"
#include "ui/panel_view.h"
#include "ui/wired_panel.h"

namespace quimbel {
namespace {

struct Key {
  int qtKey;
  quint32 scanCode;
  QString text;
  Qt::KeyboardModifiers modifiers = Qt::NoModifier;
  bool repeat = false;
};
const Key kThree{Qt::Key_3, 12, "3"}, kTab{Qt::Key_Tab, 23, "\t"}, kEsc{Qt::Key_Escape, 9, "\x1b"};

// The X server's time stamp, in milliseconds; every event gets its own
// unless a test gives one.
quint64 serverTime = 1000;

void send(QWidget& panel, QEvent::Type type, const Key& key, quint64 at) {
  QKeyEvent event(type, key.qtKey, key.modifiers, key.scanCode, 0, 0, key.text, key.repeat);
  event.setTimestamp(at != 0 ? at : ++serverTime);
  QCoreApplication::sendEvent(panel.windowHandle(), &event);
}
void press(QWidget& w, const Key& key, quint64 at = 0) { send(w, QEvent::KeyPress, key, at); }
void release(QWidget& w, const Key& key, quint64 at = 0) { send(w, QEvent::KeyRelease, key, at); }
void click(QWidget& panel, QPointF at) {
  QMouseEvent event(QEvent::MouseButtonPress, at, panel.mapToGlobal(at), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(panel.windowHandle(), &event);
}

TEST(PadPanelTest, PadKeysGoBySymbolOrPlaceRepeatsStopAtThePanelAndModifiersAreReported) {
  QApplication& qt = testing::offscreenApp();
  PadPanel panel{true};
  std::vector<std::string> lines;
  auto add = [&](std::string line) { lines.push_back(std::move(line)); };
  QObject::connect(&panel, &PadPanel::padKey, &qt, [&](int pad, bool down) {
    add("pad " + std::to_string(pad) + (down ? " down" : " up"));
  });
  QObject::connect(&panel, &PadPanel::shiftChanged, &qt,
                   [&](bool held) { add(held ? "shift on" : "shift off"); });
  QObject::connect(&panel, &PadPanel::quitRequested, &qt, [&] { add("quit"); });
  panel.setRepeatPairWindowMs(0);
  panel.show();

  press(panel, kThree);
  // Repeats as a busy X server sends them: unmarked, a release and a press
  // with one time stamp.
  for (int i = 0; i < 3; ++i)
    release(panel, kThree, ++serverTime), press(panel, kThree, serverTime);
  release(panel, kThree);
  // Shift-1 goes down as "!" and comes up as 1; keypad 5 without Num Lock
  // types nothing.
  press(panel, {Qt::Key_Exclam, 10, "!", Qt::ShiftModifier});
  release(panel, {Qt::Key_1, 10, "1"});
  press(panel, {Qt::Key_Clear, 84, "", Qt::KeypadModifier});
  QCoreApplication::processEvents();  // the release that waited for a repeat's press
  press(panel, {Qt::Key_1, 10, "1", Qt::ControlModifier});
  // A keyboard with its own key map: its 7 and Ctrl-Q on Escape's code;
  // the 7 comes up as another symbol, whose place is Escape's.
  press(panel, {Qt::Key_7, 9, "7"});
  release(panel, {Qt::Key_Ampersand, 9, "&", Qt::ShiftModifier});
  press(panel, {Qt::Key_Q, 9, "\x11", Qt::ControlModifier});
  // Qt reports a modifier key with the modifiers from before it, and
  // modifiers() flips its own bit: Shift down is Shift held.
  press(panel, {Qt::Key_Shift, 50, ""});
  release(panel, {Qt::Key_Shift, 50, "", Qt::ShiftModifier});
  press(panel, {Qt::Key_CapsLock, 66, ""});
  EXPECT_EQ(lines, (std::vector<std::string>{"pad 2 down", "pad 2 up", "pad 0 down", "pad 0 up",
                                             "pad 4 down", "pad 6 down", "pad 6 up", "quit",
                                             "shift on", "shift off", "shift off"}));
}

// The delegate with a tray unless told otherwise.
struct Shell : testing::WiredPanel {
  explicit Shell(bool tray = true, bool shown = false)
      : WiredPanel({.trayAvailable = tray}, shown) {}
  Shell(AppDelegate::Desktop desktop, bool shown) : WiredPanel(std::move(desktop), shown) {}
};

TEST(PanelPlacementTest, OpensBesideTheTrayAndInsideTheScreen) {
  const ScreenRect screen{0, 24, 1280, 1000};
  const struct {
    const char* why;
    std::optional<ScreenRect> icon;
    ScreenPoint at;
  } rows[] = {
      {"under an icon in a top tray", ScreenRect{700, 0, 22, 22}, {700, 28}},
      {"kept 8 px from the right edge", ScreenRect{1258, 0, 22, 22}, {1280 - 328 - 8, 28}},
      {"kept 8 px from the left edge", ScreenRect{2, 0, 22, 22}, {8, 28}},
      {"above an icon in a bottom tray", ScreenRect{700, 1000, 22, 22}, {700, 1000 - 6 - 684}},
      {"top right without an icon", std::nullopt, {1280 - 328 - 8, 32}},
  };
  for (const auto& row : rows) {
    const ScreenPoint at = placePanel(screen, row.icon, 328, 684);
    EXPECT_EQ(std::pair(at.x, at.y), std::pair(row.at.x, row.at.y)) << row.why;
  }
  // The layout switch keeps the top-left corner, moved in to fit.
  const ScreenPoint moved = keepTopLeft(screen, {1000, 30, 328, 684}, 548, 320);
  EXPECT_EQ(std::pair(moved.x, moved.y), std::pair(1280 - 548, 30));
}

// Trays that give no icon geometry: the click's point and the nearest bar
// decide. A 1280 x 1024 screen with a 28 px bar on one side, and a second
// 1920 x 1080 screen to its right with a bar at its bottom; the tall panel.
TEST(PanelPlacementTest, OpensOffTheBarNearestTheClickWithoutIconGeometry) {
  const ScreenRect full{0, 0, 1280, 1024};
  const ScreenRect second{1280, 0, 1920, 1080};
  const ScreenArea secondBottom{second, {1280, 0, 1920, 1052}};
  const int w = 328, h = 684;
  const struct {
    const char* why;
    ScreenRect available;
    std::optional<ScreenPoint> click;
    ScreenPoint at;
  } rows[] = {
      // clang-format off
      {"top bar, middle: under the bar, centred", {0, 28, 1280, 996}, {{640, 14}}, {640 - w / 2, 34}},
      {"top bar, right corner", {0, 28, 1280, 996}, {{1270, 14}}, {1280 - w - 8, 34}},
      {"top bar, left corner", {0, 28, 1280, 996}, {{6, 14}}, {8, 34}},
      {"bottom bar, middle: above the bar", {0, 0, 1280, 996}, {{640, 1010}}, {640 - w / 2, 996 - 6 - h}},
      {"bottom bar, right corner", {0, 0, 1280, 996}, {{1272, 1018}}, {1280 - w - 8, 996 - 6 - h}},
      {"bottom bar, left corner", {0, 0, 1280, 996}, {{3, 1020}}, {8, 996 - 6 - h}},
      {"left bar, middle: beside it", {28, 0, 1252, 1024}, {{14, 500}}, {34, 500 - h / 2}},
      {"left bar, top corner", {28, 0, 1252, 1024}, {{14, 10}}, {34, 8}},
      {"left bar, bottom corner", {28, 0, 1252, 1024}, {{14, 1015}}, {34, 1024 - h - 8}},
      {"right bar, middle: beside it", {0, 0, 1252, 1024}, {{1266, 500}}, {1252 - 6 - w, 500 - h / 2}},
      {"right bar, bottom corner", {0, 0, 1252, 1024}, {{1266, 1015}}, {1252 - 6 - w, 1024 - h - 8}},
      {"a bar that keeps no room: under the point", full, {{900, 12}}, {900 - w / 2, 18}},
      {"no point: top right as before", {0, 28, 1280, 996}, std::nullopt, {1280 - w - 8, 36}},
      // clang-format on
  };
  for (const auto& row : rows) {
    const std::vector<ScreenArea> screens{{full, row.available}, secondBottom};
    const ScreenPoint at = placePanel(screens, std::nullopt, row.click, w, h);
    EXPECT_EQ(std::pair(at.x, at.y), std::pair(row.at.x, row.at.y)) << row.why;
  }
  // A click on the second screen's bottom bar opens the panel on that screen,
  // inside its free area; the tray's icon geometry, where given, still wins.
  const std::vector<ScreenArea> screens{{full, {0, 28, 1280, 996}}, secondBottom};
  const ScreenPoint onSecond = placePanel(screens, std::nullopt, ScreenPoint{3190, 1066}, w, h);
  EXPECT_EQ(std::pair(onSecond.x, onSecond.y), std::pair(3200 - w - 8, 1052 - 6 - h));
  const ScreenPoint byIcon =
      placePanel(screens, ScreenRect{700, 0, 22, 22}, ScreenPoint{3190, 1066}, w, h);
  EXPECT_EQ(std::pair(byIcon.x, byIcon.y), std::pair(700, 28));
}

// A take played and stopped, then the panel hidden: a minute later the audio
// stops, nothing ticks and the program is not in use until shown again.
TEST(AppDelegateTest, ShowingAndHidingDriveVisibleLiveTheIdleAudioStopAndBeingInUse) {
  Shell shell(true, /*shown=*/true);
  PadModel& model = shell.model();
  QSignalSpy inUse(&shell.delegate, &AppDelegate::inUseChanged);
  EXPECT_TRUE(shell.delegate.panelShown() && model.visible() && model.live() &&
              model.engine().running());
  model.finishRecording({model.hitFor(0)}, 2.0);
  model.togglePlay();
  shell.main.advance(3'000);
  model.togglePlay();

  model.setPinned(true);
  model.setPickerOpen(true);
  shell.delegate.hidePanel();
  EXPECT_FALSE(shell.delegate.panelShown() || model.visible() || model.live() || model.pinned() ||
               model.pickerOpen());
  shell.main.advance(59'000);
  EXPECT_TRUE(model.engine().running());
  shell.main.advance(1'000);
  EXPECT_EQ(std::tuple(model.state().get(), model.engine().running(), shell.main.scheduledCount()),
            std::tuple(PadState::done, false, std::size_t{0}));
  EXPECT_FALSE(shell.delegate.inUse());
  ASSERT_EQ(inUse.count(), 1);
  EXPECT_FALSE(inUse.front().front().toBool());
  shell.delegate.showPanel();
  EXPECT_TRUE(shell.delegate.inUse());

  // Showing again within the minute cancels the stop.
  shell.delegate.hidePanel();
  shell.main.advance(30'000);
  shell.delegate.showPanel();
  shell.main.advance(60'000);
  EXPECT_TRUE(model.engine().running());
}

TEST(AppDelegateTest, TheMetronomeACountInLoopPlaybackOrAMidiKeyboardKeepTheAudioAlive) {
  const std::function<void(PadModel&)> keepers[] = {
      [](PadModel& m) { m.toggleMetronome(); },
      [](PadModel& m) {
        m.finishRecording({m.hitFor(0)}, 2.0);
        m.togglePlay();
      },
      [](PadModel& m) { m.toggleRecord(); },  // a count-in
      [](PadModel& m) { m.engine().setKeepRunning(true); },
      [](PadModel& m) { m.midiSources(1); },
  };
  for (const auto& keep : keepers) {
    Shell shell(true, /*shown=*/true);
    keep(shell.model());
    shell.backend.pull(1024);  // the core takes the metronome's start
    shell.backend.clearOutput();
    shell.delegate.hidePanel();
    shell.main.advance(61'000);
    EXPECT_TRUE(shell.model().engine().running());
    EXPECT_EQ(shell.model().playing().get(), shell.model().state().get() == PadState::done);
  }
}

TEST(AppDelegateTest, TheMenuShowsTheStateAndItsLayoutSwitchResizesStoresAndLeavesTheLayoutAlone) {
  Shell shell;
  PadModel& model = shell.model();
  QMenu* menu = shell.delegate.tray()->contextMenu();
  auto item = [&](const QString& title) -> QAction* {
    emit menu->aboutToShow();  // built afresh, as on every opening
    for (QAction* action : menu->actions())
      if (action->text() == title) return action;
    ADD_FAILURE() << title.toStdString();
    return nullptr;
  };
  auto titles = [&] {
    const auto all = shell.delegate.menuTitles();
    return QStringList(all.begin(), all.end()).join('|');
  };
  EXPECT_EQ(titles(),
            "[x] Tall layout|[ ] Wide layout||[x] Quantize takes: 1/8, 70%||"
            "[ ] Send chords to other programs|MIDI channel|[x] Play the piano too||"
            "About Quimbel||Quit Quimbel");
  // The titles show which items are checkable and checked, as the menu built.
  QAction* wide = item("Wide layout");
  ASSERT_TRUE(wide);
  EXPECT_TRUE(wide->actionGroup() && wide->actionGroup()->isExclusive());
  shell.delegate.showPanel();
  model.setPickerOpen(true);
  item("Tall layout")->trigger();  // already tall
  EXPECT_TRUE(model.pickerOpen());

  PadPanel& panel = shell.panel();
  const QPoint corner = panel.pos();
  model.setQuantize(false);
  item("Wide layout")->trigger();
  EXPECT_TRUE(model.wide() && !model.pickerOpen());
  EXPECT_EQ(model.defaults().value("wide"), "true");
  EXPECT_EQ(std::tuple(panel.size(), panel.view().size(), panel.pos().y()),
            std::tuple(PanelView::kWideSize, PanelView::kWideSize, corner.y()));
  // The menu reads the state each time it opens.
  EXPECT_TRUE(
      titles().startsWith("[ ] Tall layout|[x] Wide layout||[ ] Quantize takes: 1/8, 70%|"));
  item("Tall layout")->trigger();
  EXPECT_FALSE(model.wide().get());

  item("Quantize takes: 1/8, 70%")->trigger();
  EXPECT_TRUE(model.quantize().get());
  QSignalSpy quits(&shell.delegate, &AppDelegate::quitRequested);
  item("Quit Quimbel")->trigger();
  EXPECT_EQ(quits.count(), 1);
}

TEST(AppDelegateTest, WithoutATrayThePanelOpensAsAWindowThatDrawsOnlyUnminimisedAndClosingQuits) {
  Shell shell(/*tray=*/false);
  PadPanel* panel = shell.delegate.panel();
  EXPECT_EQ(std::tuple(panel->isVisible(), panel->windowTitle(),
                       panel->windowFlags().testFlag(Qt::FramelessWindowHint)),
            std::tuple(true, "Quimbel", false));
  ScreenCanvas& screen = panel->view().screen();
  EXPECT_TRUE(screen.animating());
  panel->showMinimized();
  EXPECT_FALSE(screen.animating());
  panel->showNormal();
  EXPECT_TRUE(screen.animating());
  // Escape never hides a window that no tray could bring back.
  press(*panel, kEsc);
  press(*panel, {Qt::Key_W, 25, "\x17", Qt::ControlModifier});
  EXPECT_TRUE(shell.delegate.panelShown());
  QSignalSpy quit(&shell.delegate, &AppDelegate::quitRequested);
  panel->close();
  EXPECT_EQ(quit.count(), 1);
}

TEST(AppDelegateTest, TakeFoldersOfEarlierRunsGoAfterADayAndThisRunsAtQuit) {
  ScratchDir cache;
  const std::filesystem::path takes = cache.path() / "Quimbel" / "Takes";
  std::filesystem::create_directories(takes / "YESTERDAY");
  std::filesystem::create_directories(takes / "AN-HOUR-AGO");
  const auto now = std::filesystem::file_time_type::clock::now();
  std::filesystem::last_write_time(takes / "YESTERDAY", now - std::chrono::hours(25));
  std::filesystem::last_write_time(takes / "AN-HOUR-AGO", now - std::chrono::hours(1));
  std::optional<std::filesystem::path> made;
  {
    Shell shell;
    EXPECT_FALSE(std::filesystem::exists(takes / "YESTERDAY"));
    EXPECT_TRUE(std::filesystem::exists(takes / "AN-HOUR-AGO"));
    made = makeTakeFolder().file;
    ASSERT_TRUE(made && std::filesystem::exists(*made));
  }
  EXPECT_FALSE(std::filesystem::exists(*made));
  EXPECT_TRUE(std::filesystem::exists(takes / "AN-HOUR-AGO")) << "another run may still use it";
}

TEST(AppDelegateTest, StartedBeforeTheTrayItWaitsForOneAndALateTrayTakesTheWindowBack) {
  bool present = false;
  const AppDelegate::Desktop noTrayYet{.trayAvailable = false,
                                       .trayPresent = [&present] { return present; }};
  {
    Shell shell(noTrayYet, false);
    shell.main.advance(20'000);
    EXPECT_FALSE(shell.delegate.panelShown() || shell.delegate.tray());
    present = true;
    shell.main.advance(1'000);
    ASSERT_TRUE(shell.delegate.tray());
    EXPECT_FALSE(shell.delegate.panelShown() || shell.panel().standalone());
    shell.main.advance(60'000);
    EXPECT_FALSE(shell.delegate.panelShown());
  }
  present = false;
  Shell shell(noTrayYet, false);
  shell.main.advance(30'000);
  EXPECT_TRUE(shell.delegate.panelShown() && shell.panel().standalone() && !shell.delegate.tray());
  present = true;
  shell.main.advance(5'000);
  ASSERT_TRUE(shell.delegate.tray());
  EXPECT_FALSE(shell.delegate.panelShown() || shell.panel().standalone());
  // The icon's click opens the panel as the tray's.
  emit shell.delegate.tray()->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(shell.delegate.panelShown());
  EXPECT_TRUE(shell.panel().windowFlags().testFlag(Qt::FramelessWindowHint));
}

// Another window takes the keyboard: the desktop tells the panel so.
void deactivate(QWidget& panel) {
  QWidget other;
  other.show();
  other.activateWindow();
  QCoreApplication::processEvents();
  QEvent deactivated(QEvent::ActivationChange);
  QCoreApplication::sendEvent(&panel, &deactivated);
}

TEST(KeyWiringTest, PadKeysAndTabHoldTheModelTillLetGoOrTheKeyboardIsLostThenSendNoLateRelease) {
  Shell w(true, /*shown=*/true);
  auto held = [&] { return std::tuple(w.model().held().get(), w.model().sevenths().get()); };
  const auto nothing = std::tuple(std::set<int>{}, false);
  press(w.panel(), kThree);
  press(w.panel(), kTab);
  EXPECT_EQ(held(), std::tuple(std::set<int>{2}, true));
  release(w.panel(), kThree);
  release(w.panel(), kTab);
  QCoreApplication::processEvents();
  EXPECT_EQ(held(), nothing);

  press(w.panel(), kThree);
  press(w.panel(), kTab);
  deactivate(w.panel());
  EXPECT_EQ(held(), nothing);
  int late = 0;
  QObject::connect(&w.panel(), &PadPanel::padKey, &w.qt, [&](int, bool) { ++late; });
  QObject::connect(&w.panel(), &PadPanel::tabKey, &w.qt, [&](bool) { ++late; });
  release(w.panel(), kThree);
  release(w.panel(), kTab);
  QCoreApplication::processEvents();
  EXPECT_EQ(late, 0);
}

TEST(KeyWiringTest, APadWhosePressTheHidingOrTheDeactivationCutShortTakesTheNextClick) {
  Shell w(true, /*shown=*/true);
  PadButton& pad = w.panel().view().pad(2);
  const std::function<void()> interruptions[] = {
      [&] { w.delegate.hidePanel(); },
      [&] { deactivate(w.panel()); },
  };
  for (const auto& interrupt : interruptions) {
    QTest::mousePress(&pad, Qt::LeftButton);
    EXPECT_EQ(w.model().held().get(), std::set<int>{2});
    interrupt();
    EXPECT_TRUE(w.model().held().get().empty() && !pad.pressed());
    w.delegate.showPanel();
    QTest::mousePress(&pad, Qt::LeftButton);
    EXPECT_EQ(w.model().held().get(), std::set<int>{2});
    QTest::mouseRelease(&pad, Qt::LeftButton);
    EXPECT_TRUE(w.model().held().get().empty());
  }
}

TEST(KeyWiringTest, AClickOutsideOrEscapeClosesThePickerThenEscapeDropsTheTakeThenHides) {
  Shell w(true, /*shown=*/true);
  PadModel& model = w.model();
  model.setPickerOpen(true);
  // After the picker opened and set its own frame.
  w.delegate.pickerFrames().setFrame("picker", {0, 0, 100, 100});
  click(w.panel(), {50, 50});
  EXPECT_TRUE(model.pickerOpen().get());
  click(w.panel(), {150, 50});
  EXPECT_FALSE(model.pickerOpen().get());
  model.finishRecording({model.hitFor(0)}, 2.0);
  model.setPickerOpen(true);
  press(w.panel(), kEsc);
  EXPECT_EQ(std::tuple(model.pickerOpen().get(), model.state().get()),
            std::tuple(false, PadState::done));
  press(w.panel(), kEsc);
  EXPECT_EQ(std::tuple(model.state().get(), w.delegate.panelShown()),
            std::tuple(PadState::ready, true));
  press(w.panel(), kEsc);
  EXPECT_FALSE(w.delegate.panelShown());
}

TEST(SingleInstanceTest, ASecondLaunchHandsOverToTheFirst) {
  testing::offscreenApp();
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
