// The panel window's keys and clicks, offscreen: synthetic events with X11
// scan codes sent to the panel's native window, as the desktop sends them,
// and what comes out of its signals, the widgets and the wired model.

#include "app/pad_panel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWindow>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "model/model_rig.h"
#include "ui/panel_view.h"

namespace quimbel {
namespace {

QApplication& application() {
  static int argc = 1;
  static char name[] = "pad_panel_test";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Never destroyed: Qt's own globals may be gone by the time statics are.
  static auto* app = new QApplication(argc, argv);
  return *app;
}

// Counts the key and mouse presses that reach a widget of the panel.
class Reached : public QObject {
 public:
  explicit Reached(QWidget& panel) : panel_(panel) { application().installEventFilter(this); }
  ~Reached() override { application().removeEventFilter(this); }
  int keys = 0, clicks = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget && widget->window() == &panel_) {
      if (event->type() == QEvent::KeyPress) ++keys;
      if (event->type() == QEvent::MouseButtonPress) ++clicks;
    }
    return false;
  }

 private:
  QWidget& panel_;
};

// Every signal of the panel as a line of text, in order.
void recordSignals(PadPanel& panel, std::vector<std::string>& lines) {
  auto add = [&lines](std::string line) { lines.push_back(std::move(line)); };
  QObject::connect(&panel, &PadPanel::padKey, &panel, [add](int pad, bool down) {
    add("pad " + std::to_string(pad) + (down ? " down" : " up"));
  });
  QObject::connect(&panel, &PadPanel::tabKey, &panel,
                   [add](bool down) { add(down ? "tab down" : "tab up"); });
  QObject::connect(&panel, &PadPanel::shiftChanged, &panel,
                   [add](bool held) { add(held ? "shift on" : "shift off"); });
  QObject::connect(&panel, &PadPanel::controlKey, &panel,
                   [add](const QString& name) { add("control " + name.toStdString()); });
  QObject::connect(&panel, &PadPanel::clicked, &panel, [add](QPointF p) {
    add("click " + std::to_string(int(p.x())) + "," + std::to_string(int(p.y())));
  });
  QObject::connect(&panel, &PadPanel::escapePressed, &panel, [add] { add("escape"); });
  QObject::connect(&panel, &PadPanel::quitRequested, &panel, [add] { add("quit"); });
}

struct Key {
  int qtKey;
  quint32 scanCode;
  QString text;
  Qt::KeyboardModifiers modifiers = Qt::NoModifier;
  bool repeat = false;
};

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
// Lets a release that waits for a repeat's press go out (the wait is 0 ms
// in these tests).
void settle() { QCoreApplication::processEvents(); }

class PadPanelTest : public ::testing::Test {
 protected:
  PadPanelTest() {
    recordSignals(panel, lines);
    panel.setRepeatPairWindowMs(0);
    panel.show();
  }
  QApplication& qt = application();
  PadPanel panel{true};
  std::vector<std::string> lines;
};

TEST_F(PadPanelTest, PadKeysGoByScanCodeAndRepeatsStopAtThePanel) {
  Reached reached(panel);
  const Key three{Qt::Key_3, 12, "3"};
  press(panel, three);
  for (int i = 0; i < 3; ++i) {
    press(panel, {Qt::Key_3, 12, "3", Qt::NoModifier, true});
    release(panel, {Qt::Key_3, 12, "3", Qt::NoModifier, true});
  }
  // The same as a busy X server's repeats reach Qt: unmarked, each a release
  // and a press with one time stamp.
  for (int i = 0; i < 3; ++i) {
    const quint64 at = ++serverTime;
    release(panel, three, at);
    press(panel, three, at);
  }
  release(panel, three);
  // Shift-1 goes down as "!" and comes up as 1; keypad 5 without Num Lock
  // types nothing.
  press(panel, {Qt::Key_Exclam, 10, "!", Qt::ShiftModifier});
  release(panel, {Qt::Key_1, 10, "1"});
  press(panel, {Qt::Key_Clear, 84, "", Qt::KeypadModifier});
  press(panel, {Qt::Key_Tab, 23, "\t"});
  // Let go while Ctrl is down, the key still releases; a release whose
  // press went elsewhere sends nothing.
  release(panel, {Qt::Key_Clear, 84, "", Qt::KeypadModifier | Qt::ControlModifier});
  release(panel, {Qt::Key_7, 16, "7", Qt::ControlModifier});
  settle();
  EXPECT_EQ(lines, (std::vector<std::string>{"pad 2 down", "pad 2 up", "pad 0 down", "pad 0 up",
                                             "pad 4 down", "tab down", "pad 4 up"}));
  EXPECT_EQ(reached.keys, 0) << "the instrument's keys reach no view";

  lines.clear();
  press(panel, {Qt::Key_1, 10, "1", Qt::ControlModifier});
  press(panel, {Qt::Key_W, 25, "\x17", Qt::ControlModifier});
  press(panel, {Qt::Key_Q, 24, "\x11", Qt::ControlModifier});
  press(panel, {Qt::Key_E, 26, "e"});
  press(panel, {Qt::Key_E, 26, "e", Qt::NoModifier, true});
  const quint64 at = ++serverTime;
  release(panel, {Qt::Key_E, 26, "e"}, at);
  press(panel, {Qt::Key_E, 26, "e"}, at);
  EXPECT_EQ(lines, (std::vector<std::string>{"escape", "quit", "control e"}));
  EXPECT_EQ(reached.keys, 1) << "Ctrl-1 passes on";
}

TEST_F(PadPanelTest, ModifierKeysReportShiftAndPassOn) {
  Reached reached(panel);
  // Qt reports a modifier key with the modifiers from before it, and
  // modifiers() flips its own bit: Shift down is Shift held.
  press(panel, {Qt::Key_Shift, 50, ""});
  release(panel, {Qt::Key_Shift, 50, "", Qt::ShiftModifier});
  press(panel, {Qt::Key_CapsLock, 66, ""});
  press(panel, {Qt::Key_Control, 37, ""});
  EXPECT_EQ(lines, (std::vector<std::string>{"shift on", "shift off", "shift off", "shift off"}));
  EXPECT_EQ(reached.keys, 3);
}

TEST_F(PadPanelTest, EveryLeftOrRightClickIsReportedAndReachesTheViews) {
  Reached reached(panel);
  for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
    const QPointF at(40, 300);
    QMouseEvent event(QEvent::MouseButtonPress, at, panel.mapToGlobal(at), button, button,
                      Qt::NoModifier);
    reached.clicks = 0;
    QCoreApplication::sendEvent(panel.windowHandle(), &event);
    EXPECT_GT(reached.clicks, 0) << "button " << button;
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"click 40,300", "click 40,300"}));
}

TEST_F(PadPanelTest, AKeyHeldWhileThePanelLosesTheKeyboardSendsNoLateRelease) {
  press(panel, {Qt::Key_3, 12, "3"});
  press(panel, {Qt::Key_Tab, 23, "\t"});
  QWidget other;
  other.show();
  other.activateWindow();
  QCoreApplication::processEvents();
  QEvent deactivated(QEvent::ActivationChange);
  QCoreApplication::sendEvent(&panel, &deactivated);
  ASSERT_FALSE(panel.isActiveWindow());
  release(panel, {Qt::Key_3, 12, "3"});
  release(panel, {Qt::Key_Tab, 23, "\t"});
  EXPECT_EQ(lines, (std::vector<std::string>{"pad 2 down", "tab down"}));
}

// The delegate's wiring, on a model over virtual time and the on-demand backend.
class KeyWiringTest : public ::testing::Test {
 protected:
  explicit KeyWiringTest(bool tray = true)
      : app(PadModel::Services{clock, main, backend, testing::installTestTones,
                               std::make_unique<MemorySettingsStore>(),
                               std::make_unique<testing::StubSequencer>(&sources), true, false},
            AppDelegate::Desktop{.trayAvailable = tray}) {
    app.setup();
    app.showPanel();
    panel().setRepeatPairWindowMs(0);
  }
  PadModel& model() { return app.model(); }
  PadPanel& panel() { return *app.panel(); }

  QApplication& qt = application();
  ManualClock clock;
  ManualMainThread main{clock};
  OnDemandBackend backend;
  int sources = 0;
  AppDelegate app;
};

class StandaloneKeyWiringTest : public KeyWiringTest {
 protected:
  StandaloneKeyWiringTest() : KeyWiringTest(false) {}
};

TEST_F(KeyWiringTest, KeysPlayHoldAndTurnTheModel) {
  press(panel(), {Qt::Key_3, 12, "3"});
  EXPECT_EQ(model().held().get(), (std::set<int>{2}));
  EXPECT_EQ(model().shownChord().get()->name, model().shownFor(2).name);
  press(panel(), {Qt::Key_Tab, 23, "\t"});
  EXPECT_TRUE(model().sevenths().get());
  release(panel(), {Qt::Key_3, 12, "3"});
  release(panel(), {Qt::Key_Tab, 23, "\t"});
  settle();
  EXPECT_TRUE(model().held().get().empty());
  EXPECT_FALSE(model().sevenths().get());

  model().setKnob(3);
  for (int i = 0; i < 4; ++i) press(panel(), {Qt::Key_Up, 111, "", Qt::NoModifier, i > 0});
  EXPECT_EQ(model().knob().get(), 5) << "arrows repeat up to the end";
  press(panel(), {Qt::Key_E, 26, "e"});
  press(panel(), {Qt::Key_E, 26, "e", Qt::NoModifier, true});
  EXPECT_EQ(model().knob().get(), -5) << "E wraps once per press";
}

TEST_F(KeyWiringTest, EscapeClosesThePickerThenDropsTheTakeThenHides) {
  const Key escape{Qt::Key_Escape, 9, "\x1b"};
  model().finishRecording({model().hitFor(0)}, 2.0);
  model().setPickerOpen(true);
  ASSERT_EQ(model().state().get(), PadState::done);
  press(panel(), escape);
  EXPECT_FALSE(model().pickerOpen().get());
  EXPECT_EQ(model().state().get(), PadState::done);
  EXPECT_TRUE(app.panelShown());
  press(panel(), escape);
  EXPECT_EQ(model().state().get(), PadState::ready);
  EXPECT_TRUE(app.panelShown());
  press(panel(), {Qt::Key_Z, 52, "\x1a", Qt::ControlModifier});
  EXPECT_EQ(model().state().get(), PadState::done) << "Ctrl-Z brings the take back";
  model().dropTake();
  press(panel(), {Qt::Key_W, 25, "\x17", Qt::ControlModifier});
  EXPECT_FALSE(app.panelShown());
}

TEST_F(StandaloneKeyWiringTest, EscapeNeverHidesAWindowThatNoTrayCouldBringBack) {
  press(panel(), {Qt::Key_Escape, 9, "\x1b"});
  press(panel(), {Qt::Key_W, 25, "\x17", Qt::ControlModifier});
  EXPECT_TRUE(app.panelShown());
}

TEST_F(KeyWiringTest, AClickOutsideThePickersFramesClosesIt) {
  model().setPickerOpen(true);
  // After the picker opened, which registers its own frame.
  model().setFrame("picker", {0, 0, 100, 100});
  auto click = [this](QPointF at) {
    QMouseEvent event(QEvent::MouseButtonPress, at, panel().mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(panel().windowHandle(), &event);
  };
  click({50, 50});
  EXPECT_TRUE(model().pickerOpen().get());
  click({150, 50});
  EXPECT_FALSE(model().pickerOpen().get());
}

}  // namespace
}  // namespace quimbel
