// The desktop shell under the offscreen platform, on virtual time. The panel
// window gets synthetic events with X11 scan codes sent to its native window,
// as the desktop sends them; the delegate wires them to the model, shows and
// hides the panel, stops idle audio, switches the layout, builds the menu,
// stands in a window for a missing tray and hands over to a running
// instance. Placement is a pure function and is checked as a table.

#include "app/app_delegate.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QSignalSpy>
#include <QWindow>
#include <string>
#include <vector>

#include "app/pad_panel.h"
#include "app/panel_placement.h"
#include "app/single_instance.h"
#include "model/model_rig.h"
#include "ui/offscreen_app.h"
#include "ui/panel_view.h"

namespace quimbel {
namespace {

using Lines = std::vector<std::string>;

struct Key {
  int qtKey;
  quint32 scanCode;
  QString text;
  Qt::KeyboardModifiers modifiers = Qt::NoModifier;
  bool repeat = false;
};
const Key kThree{Qt::Key_3, 12, "3"}, kTab{Qt::Key_Tab, 23, "\t"};
const Key kCtrlW{Qt::Key_W, 25, "\x17", Qt::ControlModifier}, kEscape{Qt::Key_Escape, 9, "\x1b"};

// The X server's time stamp, in milliseconds; every event gets its own
// unless a test gives one.
quint64 serverTime = 1000;

void send(QWidget& panel, QEvent::Type type, const Key& key, quint64 at) {
  QKeyEvent event(type, key.qtKey, key.modifiers, key.scanCode, 0, 0, key.text, key.repeat);
  event.setTimestamp(at != 0 ? at : ++serverTime);
  QCoreApplication::sendEvent(panel.windowHandle(), &event);
}
void press(QWidget& panel, const Key& key, quint64 at = 0) {
  send(panel, QEvent::KeyPress, key, at);
}
void release(QWidget& panel, const Key& key, quint64 at = 0) {
  send(panel, QEvent::KeyRelease, key, at);
}
// A repeat as a busy X server sends it: unmarked, a release and a press
// with one time stamp.
void serverRepeat(QWidget& panel, const Key& key) {
  const quint64 at = ++serverTime;
  release(panel, key, at);
  press(panel, key, at);
}
void click(QWidget& panel, QPointF at, Qt::MouseButton button = Qt::LeftButton) {
  QMouseEvent event(QEvent::MouseButtonPress, at, panel.mapToGlobal(at), button, button,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(panel.windowHandle(), &event);
}

// Records the panel's signals as lines of text, and counts the key and mouse
// presses that reach one of its widgets.
class PadPanelTest : public ::testing::Test, public QObject {
 protected:
  PadPanelTest() {
    qApp->installEventFilter(this);
    auto add = [this](std::string line) { lines.push_back(std::move(line)); };
    auto upDown = [](bool down) { return std::string(down ? " down" : " up"); };
    QObject::connect(&panel, &PadPanel::padKey, &panel,
                     [=](int pad, bool down) { add("pad " + std::to_string(pad) + upDown(down)); });
    QObject::connect(&panel, &PadPanel::tabKey, &panel,
                     [=](bool down) { add("tab" + upDown(down)); });
    QObject::connect(&panel, &PadPanel::shiftChanged, &panel,
                     [=](bool held) { add(held ? "shift on" : "shift off"); });
    QObject::connect(&panel, &PadPanel::controlKey, &panel,
                     [=](const QString& name) { add("control " + name.toStdString()); });
    QObject::connect(&panel, &PadPanel::clicked, &panel, [=](QPointF p) {
      add("click " + std::to_string(int(p.x())) + "," + std::to_string(int(p.y())));
    });
    QObject::connect(&panel, &PadPanel::quitRequested, &panel, [=] { add("quit"); });
    panel.setRepeatPairWindowMs(0);
    panel.show();
  }
  ~PadPanelTest() override { qApp->removeEventFilter(this); }
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget && widget->window() == &panel) {
      keys += event->type() == QEvent::KeyPress;
      clicks += event->type() == QEvent::MouseButtonPress;
    }
    return false;
  }
  QApplication& qt = testing::offscreenApp();
  PadPanel panel{true};
  Lines lines;
  int keys = 0, clicks = 0;
};

TEST_F(PadPanelTest, PadKeysGoByScanCodeRepeatsStopAtThePanelModifiersAndClicksPassOn) {
  press(panel, kThree);
  for (int i = 0; i < 3; ++i) {
    press(panel, {Qt::Key_3, 12, "3", Qt::NoModifier, true});
    release(panel, {Qt::Key_3, 12, "3", Qt::NoModifier, true});
  }
  for (int i = 0; i < 3; ++i) serverRepeat(panel, kThree);
  release(panel, kThree);
  // Shift-1 goes down as "!" and comes up as 1; keypad 5 without Num Lock
  // types nothing.
  press(panel, {Qt::Key_Exclam, 10, "!", Qt::ShiftModifier});
  release(panel, {Qt::Key_1, 10, "1"});
  press(panel, {Qt::Key_Clear, 84, "", Qt::KeypadModifier});
  press(panel, kTab);
  // Let go while Ctrl is down, the key still releases; a release whose
  // press went elsewhere sends nothing.
  release(panel, {Qt::Key_Clear, 84, "", Qt::KeypadModifier | Qt::ControlModifier});
  release(panel, {Qt::Key_7, 16, "7", Qt::ControlModifier});
  QCoreApplication::processEvents();  // the release that waited for a repeat's press
  EXPECT_EQ(lines, (Lines{"pad 2 down", "pad 2 up", "pad 0 down", "pad 0 up", "pad 4 down",
                          "tab down", "pad 4 up"}));
  EXPECT_EQ(keys, 0) << "the instrument's keys reach no view";

  lines.clear();
  press(panel, {Qt::Key_1, 10, "1", Qt::ControlModifier});
  press(panel, {Qt::Key_Q, 24, "\x11", Qt::ControlModifier});
  const Key e{Qt::Key_E, 26, "e"};
  press(panel, e);
  serverRepeat(panel, e);
  // Qt reports a modifier key with the modifiers from before it, and
  // modifiers() flips its own bit: Shift down is Shift held.
  press(panel, {Qt::Key_Shift, 50, ""});
  release(panel, {Qt::Key_Shift, 50, "", Qt::ShiftModifier});
  press(panel, {Qt::Key_CapsLock, 66, ""});
  EXPECT_EQ(lines, (Lines{"quit", "control e", "shift on", "shift off", "shift off"}));
  EXPECT_EQ(keys, 3) << "Ctrl-1 and the modifiers pass on";

  // Every click reaches the views; left and right ones are reported.
  lines.clear();
  for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
    clicks = 0;
    click(panel, {40, 300}, button);
    EXPECT_GT(clicks, 0) << "button " << button;
  }
  EXPECT_EQ(lines, (Lines{"click 40,300", "click 40,300"}));
}

TEST_F(PadPanelTest, AKeyHeldWhileThePanelLosesTheKeyboardSendsNoLateRelease) {
  press(panel, kThree);
  press(panel, kTab);
  QWidget other;
  other.show();
  other.activateWindow();
  QCoreApplication::processEvents();
  QEvent deactivated(QEvent::ActivationChange);
  QCoreApplication::sendEvent(&panel, &deactivated);
  ASSERT_FALSE(panel.isActiveWindow());
  release(panel, kThree);
  release(panel, kTab);
  EXPECT_EQ(lines, (Lines{"pad 2 down", "tab down"}));
}

// The delegate on a model over virtual time and the on-demand backend.
struct Shell {
  explicit Shell(bool tray = true)
      : delegate(PadModel::Services{clock, main, backend, testing::installTestTones,
                                    std::make_unique<MemorySettingsStore>(),
                                    std::make_unique<testing::StubSequencer>(&sources), true, true},
                 AppDelegate::Desktop{.trayAvailable = tray}) {
    delegate.setup();
  }
  PadModel& model() { return delegate.model(); }
  PadPanel& panel() { return *delegate.panel(); }

  QApplication& qt = testing::offscreenApp();
  ManualClock clock{1000.0};
  ManualMainThread main{clock};
  OnDemandBackend backend;
  int sources = 0;
  AppDelegate delegate;
};

// The shell with its panel shown, for the keys.
struct Wired : Shell {
  explicit Wired(bool tray = true) : Shell(tray) {
    delegate.showPanel();
    panel().setRepeatPairWindowMs(0);
  }
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

TEST(AppDelegateTest, ShowingAndHidingDriveVisibleLiveAndTheIdleAudioStop) {
  Shell shell;
  PadModel& model = shell.model();
  shell.delegate.showPanel();
  EXPECT_TRUE(shell.delegate.panelShown() && model.visible() && model.live());
  EXPECT_TRUE(model.engine().running());

  model.setPinned(true);
  model.setPickerOpen(true);
  shell.delegate.hidePanel();
  EXPECT_FALSE(shell.delegate.panelShown() || model.visible() || model.live());
  EXPECT_FALSE(model.pinned() || model.pickerOpen());
  EXPECT_TRUE(shell.delegate.audioStopPending());
  shell.main.advance(59'000);
  EXPECT_TRUE(model.engine().running());
  shell.main.advance(1'000);
  EXPECT_FALSE(model.engine().running());

  // Showing again within the minute cancels the stop.
  shell.delegate.showPanel();
  shell.delegate.hidePanel();
  shell.main.advance(30'000);
  shell.delegate.showPanel();
  EXPECT_FALSE(shell.delegate.audioStopPending());
  shell.main.advance(60'000);
  EXPECT_TRUE(model.engine().running());
}

TEST(AppDelegateTest, TheMetronomeACountInAKeepRunningFlagOrAMidiKeyboardKeepTheAudioAlive) {
  const std::function<void(PadModel&)> keepers[] = {
      [](PadModel& m) { m.toggleMetronome(); },
      [](PadModel& m) { m.toggleRecord(); },  // a count-in
      [](PadModel& m) { m.engine().setKeepRunning(true); },
      [](PadModel& m) { m.midiSources(1); },
  };
  for (const auto& keep : keepers) {
    Shell shell;
    shell.delegate.showPanel();
    keep(shell.model());
    shell.backend.pull(1024);  // the core takes the metronome's start
    shell.backend.clearOutput();
    shell.delegate.hidePanel();
    shell.main.advance(61'000);
    EXPECT_TRUE(shell.model().engine().running());
  }
}

TEST(AppDelegateTest, TheLayoutSwitchResizesStoresLeavesTheLayoutInForceAloneAndTicksTheMenu) {
  Shell shell;
  PadModel& model = shell.model();
  PadPanel& panel = shell.panel();
  const std::vector<QString> expected = {"Tall layout\t\u2713",
                                         "Wide layout",
                                         "",
                                         "Quantize takes: 1/8, 70%\t\u2713",
                                         "",
                                         "About Quimbel",
                                         "",
                                         "Quit Quimbel\tCtrl+Q"};
  EXPECT_EQ(shell.delegate.menuTitles(), expected);
  shell.delegate.showPanel();
  model.setPickerOpen(true);
  shell.delegate.setLayout(false);  // already tall
  EXPECT_TRUE(model.pickerOpen());

  const QPoint corner = panel.pos();
  model.setQuantize(false);
  shell.delegate.setLayout(true);
  EXPECT_TRUE(model.wide());
  EXPECT_FALSE(model.pickerOpen());
  EXPECT_EQ(model.defaults().value("wide"), "true");
  EXPECT_EQ(panel.size(), PanelView::kWideSize);
  EXPECT_EQ(panel.view().size(), PanelView::kWideSize);
  EXPECT_EQ(panel.pos().y(), corner.y());
  // The menu reads the state each time it opens.
  const std::vector<QString> titles = shell.delegate.menuTitles();
  EXPECT_EQ(std::tuple(titles[0], titles[1], titles[3]),
            std::tuple("Tall layout", "Wide layout\t\u2713", "Quantize takes: 1/8, 70%"));
}

TEST(AppDelegateTest, WithoutATrayThePanelOpensAsAWindowAndClosingItQuits) {
  Shell shell(/*tray=*/false);
  EXPECT_EQ(shell.delegate.tray(), nullptr);
  PadPanel* panel = shell.delegate.panel();
  ASSERT_TRUE(panel->isVisible());
  EXPECT_EQ(panel->windowTitle(), "Quimbel");
  EXPECT_FALSE(panel->windowFlags().testFlag(Qt::FramelessWindowHint));
  QSignalSpy quit(&shell.delegate, &AppDelegate::quitRequested);
  panel->close();
  EXPECT_EQ(quit.count(), 1);
}

TEST(KeyWiringTest, KeysPlayHoldAndTurnTheModel) {
  Wired w;
  press(w.panel(), kThree);
  EXPECT_EQ(w.model().held().get(), (std::set<int>{2}));
  press(w.panel(), kTab);
  EXPECT_TRUE(w.model().sevenths().get());
  release(w.panel(), kThree);
  release(w.panel(), kTab);
  QCoreApplication::processEvents();
  EXPECT_TRUE(w.model().held().get().empty());
  EXPECT_FALSE(w.model().sevenths().get());

  w.model().setKnob(3);
  for (int i = 0; i < 4; ++i) press(w.panel(), {Qt::Key_Up, 111, "", Qt::NoModifier, i > 0});
  EXPECT_EQ(w.model().knob().get(), 5) << "arrows repeat up to the end";
  press(w.panel(), {Qt::Key_E, 26, "e"});
  press(w.panel(), {Qt::Key_E, 26, "e", Qt::NoModifier, true});
  EXPECT_EQ(w.model().knob().get(), -5) << "E wraps once per press";
}

TEST(KeyWiringTest, AClickOutsideOrEscapeClosesThePickerThenEscapeDropsTheTakeThenHides) {
  Wired w;
  PadModel& model = w.model();
  model.setPickerOpen(true);
  model.setFrame("picker", {0, 0, 100, 100});  // after it opened and set its own
  click(w.panel(), {50, 50});
  EXPECT_TRUE(model.pickerOpen().get());
  click(w.panel(), {150, 50});
  EXPECT_FALSE(model.pickerOpen().get());
  model.finishRecording({model.hitFor(0)}, 2.0);
  model.setPickerOpen(true);
  ASSERT_EQ(model.state().get(), PadState::done);
  press(w.panel(), kEscape);
  EXPECT_FALSE(model.pickerOpen().get());
  EXPECT_EQ(model.state().get(), PadState::done);
  press(w.panel(), kEscape);
  EXPECT_EQ(model.state().get(), PadState::ready);
  EXPECT_TRUE(w.delegate.panelShown());
  press(w.panel(), {Qt::Key_Z, 52, "\x1a", Qt::ControlModifier});
  EXPECT_EQ(model.state().get(), PadState::done) << "Ctrl-Z brings the take back";
  model.dropTake();
  press(w.panel(), kCtrlW);
  EXPECT_FALSE(w.delegate.panelShown());
}

TEST(KeyWiringTest, EscapeNeverHidesAWindowThatNoTrayCouldBringBack) {
  Wired w(/*tray=*/false);
  press(w.panel(), kEscape);
  press(w.panel(), kCtrlW);
  EXPECT_TRUE(w.delegate.panelShown());
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
