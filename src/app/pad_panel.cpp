#include "app/pad_panel.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <string_view>

#include "app/key_routing.h"
#include "ui/panel_view.h"

namespace quimbel {

namespace {

// Keys that only change the modifier state: Qt's stand-in for the platform's
// modifier-change event.
bool isModifierKey(int key) {
  switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
      return true;
    default:
      return false;
  }
}

// What the key types with no modifier but Shift. With Ctrl held text() is a
// control character, and key() names the Latin letter even on a non-Latin
// layout, which keeps Ctrl-W, Ctrl-Q and Ctrl-Z where they are printed.
QString charactersIgnoringModifiers(const QKeyEvent& event) {
  const QString text = event.text();
  if (!text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isPrint(); }))
    return text;
  const int key = event.key();
  if (key >= Qt::Key_A && key <= Qt::Key_Z) {
    const QChar letter(static_cast<char16_t>(key));
    return (event.modifiers() & Qt::ShiftModifier) ? QString(letter) : QString(letter.toLower());
  }
  return {};
}

// The key's symbol in the routing's names (KeyInput::symbol). The keypad
// with Num Lock off reports arrows as well; those are its digit keys, which
// their place decides.
std::string_view symbolOf(const QKeyEvent& event) {
  static constexpr std::string_view kDigits = "0123456789";
  static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz";
  const int key = event.key();
  const bool keypad = event.modifiers().testFlag(Qt::KeypadModifier);
  if (key >= Qt::Key_0 && key <= Qt::Key_9)
    return kDigits.substr(static_cast<std::size_t>(key - Qt::Key_0), 1);
  if (key >= Qt::Key_A && key <= Qt::Key_Z)
    return kLetters.substr(static_cast<std::size_t>(key - Qt::Key_A), 1);
  switch (key) {
    case Qt::Key_Escape:
      return "escape";
    case Qt::Key_Tab:
    case Qt::Key_Backtab:  // Shift-Tab
      return "tab";
    case Qt::Key_Space:
      return "space";
    case Qt::Key_Up:
      return keypad ? std::string_view() : "up";
    case Qt::Key_Down:
      return keypad ? std::string_view() : "down";
    default:
      return {};
  }
}

Modifiers modifiersOf(Qt::KeyboardModifiers held) {
  return {.shift = held.testFlag(Qt::ShiftModifier),
          .control = held.testFlag(Qt::MetaModifier),
          .option = held.testFlag(Qt::AltModifier),
          .command = held.testFlag(Qt::ControlModifier)};
}

}  // namespace

PadPanel::PadPanel(bool standalone, QWidget* parent)
    : QWidget(parent),
      view_(new PanelView(this)),
      standalone_(standalone),
      releaseTimer_(new QTimer(this)) {
  releaseTimer_->setSingleShot(true);
  releaseTimer_->setInterval(kRepeatPairMs);
  connect(releaseTimer_, &QTimer::timeout, this, &PadPanel::sendWaitingRelease);
  setStandalone(standalone);
  setAttribute(Qt::WA_ShowWithoutActivating, false);
  setFocusPolicy(Qt::StrongFocus);
  setAcceptDrops(false);
  setFixedSize(view_->size());
}

void PadPanel::setStandalone(bool standalone) {
  standalone_ = standalone;
  if (standalone) {
    setWindowFlags(Qt::Window);
    setWindowTitle(QStringLiteral("Quimbel"));
    setAttribute(Qt::WA_TranslucentBackground, false);
  } else {
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                   Qt::NoDropShadowWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
  }
}

bool PadPanel::event(QEvent* event) {
  // The native window comes and goes with show() and flag changes; watching
  // it sees every event before Qt hands it to the focused or hovered child.
  // (Installing the same filter twice keeps one.)
  if (event->type() == QEvent::WinIdChange && windowHandle())
    windowHandle()->installEventFilter(this);
  return QWidget::event(event);
}

bool PadPanel::eventFilter(QObject* watched, QEvent* event) {
  if (watched != windowHandle()) return QWidget::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
      return routeKeyEvent(*static_cast<QKeyEvent*>(event));
    case QEvent::MouseButtonPress: {
      const auto* mouse = static_cast<QMouseEvent*>(event);
      // Every click goes on to the views, whatever the picker makes of it.
      if (mouse->button() == Qt::LeftButton || mouse->button() == Qt::RightButton)
        emit clicked(mouse->position());
      return false;
    }
    default:
      return false;
  }
}

void PadPanel::setRepeatPairWindowMs(int ms) { releaseTimer_->setInterval(ms); }

bool PadPanel::routeKeyEvent(const QKeyEvent& event) {
  const bool press = event.type() == QEvent::KeyPress;
  const quint32 scanCode = event.nativeScanCode();
  bool repeat = event.isAutoRepeat();
  // (A zero time stamp is an event made without one, never a pair.)
  if (press && lastRelease_ && lastRelease_->scanCode == scanCode && event.timestamp() != 0 &&
      lastRelease_->timestamp == event.timestamp()) {
    // The press half of a repeat pair: the key is still held.
    repeat = true;
    if (waiting_ && waiting_->scanCode == scanCode) {
      waiting_.reset();
      releaseTimer_->stop();
    }
  }
  sendWaitingRelease();
  if (press) {
    lastRelease_.reset();
  } else {
    lastRelease_ = {scanCode, event.timestamp()};
  }

  const QByteArray characters = charactersIgnoringModifiers(event).toUtf8();
  KeyInput input;
  input.kind = isModifierKey(event.key()) ? InputKind::modifiersChanged
               : press                    ? InputKind::keyDown
                                          : InputKind::keyUp;
  input.scanCode = scanCode;
  input.characters = std::string_view(characters.constData(), characters.size());
  input.modifiers = modifiersOf(event.modifiers());
  input.repeat = repeat;
  input.symbol = symbolOf(event);
  KeyRoute route = routeKey(input);
  // A release ends what its press started, even where the key now reports
  // another symbol (a modifier went down in between) whose place is
  // another key's.
  if (const auto pressed = keysDown_.find(scanCode);
      !press && !repeat && pressed != keysDown_.end()) {
    route = pressed->second;
    route.down = false;
  }

  switch (route.call) {
    case KeyCall::padKey:
    case KeyCall::tab:
    case KeyCall::hold:
    case KeyCall::space:
      if (route.down) {
        keysDown_[scanCode] = route;
        break;
      }
      // A release goes out only for a press that went out, matched by scan
      // code: Shift-1 goes down as "!" and may come up as "1".
      if (!keysDown_.contains(scanCode)) return route.consumed;
      waiting_ = WaitingRelease{scanCode, route};
      releaseTimer_->start();
      return route.consumed;
    default:
      break;
  }
  emitRoute(route);
  return route.consumed;
}

void PadPanel::sendWaitingRelease() {
  if (!waiting_) return;
  const WaitingRelease release = *waiting_;
  waiting_.reset();
  releaseTimer_->stop();
  keysDown_.erase(release.scanCode);
  emitRoute(release.route);
}

void PadPanel::forgetKeys() {
  // A pad held with the mouse loses its release the same way.
  view_->letGoOfPads();
  keysDown_.clear();
  lastRelease_.reset();
  waiting_.reset();
  releaseTimer_->stop();
}

void PadPanel::emitRoute(const KeyRoute& route) {
  switch (route.call) {
    case KeyCall::padKey:
      emit padKey(route.pad, route.down);
      break;
    case KeyCall::tab:
      emit tabKey(route.down);
      break;
    case KeyCall::shift:
      emit shiftChanged(route.down);
      break;
    case KeyCall::hold:
      emit holdKey(QChar::fromLatin1(route.hold), route.down);
      break;
    case KeyCall::space:
      emit spaceKey(route.down);
      break;
    case KeyCall::controlKey:
      emit controlKey(
          QString::fromLatin1(route.control.data(), static_cast<qsizetype>(route.control.size())));
      break;
    case KeyCall::escape:
      emit escapePressed();
      break;
    case KeyCall::undo:
      emit undoPressed();
      break;
    case KeyCall::quit:
      emit quitRequested();
      break;
    case KeyCall::click:
    case KeyCall::none:
      break;
  }
}

void PadPanel::keyPressEvent(QKeyEvent* event) { QWidget::keyPressEvent(event); }

void PadPanel::keyReleaseEvent(QKeyEvent* event) { QWidget::keyReleaseEvent(event); }

void PadPanel::mousePressEvent(QMouseEvent* event) {
  if (movable_ && event->button() == Qt::LeftButton) {
    // A pinned panel moves with the window manager's own move, which keeps
    // it on the screen and works on every X11 desktop.
    if (windowHandle() && windowHandle()->startSystemMove()) return;
    dragFrom_ = event->globalPosition() - QPointF(pos());
    dragging_ = true;
  }
  QWidget::mousePressEvent(event);
}

void PadPanel::mouseMoveEvent(QMouseEvent* event) {
  if (dragging_) move((event->globalPosition() - dragFrom_).toPoint());
  QWidget::mouseMoveEvent(event);
}

void PadPanel::mouseReleaseEvent(QMouseEvent* event) {
  dragging_ = false;
  QWidget::mouseReleaseEvent(event);
}

void PadPanel::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange) {
    // Releases of keys held now go to another window; the model lets go of
    // every pad and modifier on this same signal.
    if (!isActiveWindow()) forgetKeys();
    emit activeChanged(isActiveWindow());
  }
  if (event->type() == QEvent::WindowStateChange) emit minimizedChanged(isMinimized());
  QWidget::changeEvent(event);
}

void PadPanel::hideEvent(QHideEvent* event) {
  forgetKeys();
  QWidget::hideEvent(event);
}

void PadPanel::closeEvent(QCloseEvent* event) {
  if (standalone_) emit closeRequested();
  // The tray panel is only ever hidden, never closed.
  event->ignore();
}

// Tab holds sevenths; it never moves the focus between the views.
bool PadPanel::focusNextPrevChild(bool) { return false; }

}  // namespace quimbel
