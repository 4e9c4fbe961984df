#include "ui/foot_row.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <vector>

#include "music/chords.h"
#include "ui/mouse_catcher.h"
#include "ui/panel_font.h"

namespace quimbel {

namespace {

constexpr QRgb kKeyFill = 0x262626;
constexpr QRgb kKeyPressed = 0x363636;
constexpr QRgb kKeyOn = 0xEDEDED;
constexpr QRgb kInk = 0xEDEDED;
constexpr QRgb kInkOn = 0x161616;
constexpr QRgb kQuietInk = 0x8A8A8A;
constexpr QRgb kRecordRed = 0xF2555A;
constexpr QRgb kLampOn = 0x7ED69A;
constexpr QRgb kLampOff = 0x4A4A4A;
constexpr double kCorner = 8.0;
constexpr double kTextPoints = 14.0;
constexpr int kSquare = FootRow::kHeight;
constexpr int kTextPadding = 10;
constexpr int kExportPadding = 7;
constexpr int kLampSpace = 9;  // the metronome lamp before the tempo
constexpr int kGroupGap = 10;  // at least between the take's keys and volume
// The count-in pie's strength over the record key.
constexpr double kPieOpacity = 0.28;

// The key's name with the musical sharp and flat signs (C♯m, B♭).
QString displayName(const Chords::Key& key) {
  QString name = QString::fromStdString(Chords::keyName(key));
  if (name.size() > 1 && name[1] == QLatin1Char('#')) name[1] = QChar(0x266F);
  if (name.size() > 1 && name[1] == QLatin1Char('b')) name[1] = QChar(0x266D);
  return name;
}

QString elapsedText(int seconds) {
  return QString::asprintf("%d:%02d", seconds / 60, seconds % 60);
}

}  // namespace

// One key of the row: a rounded cap that draws a title or a glyph.
class KeyCap : public QWidget {
 public:
  enum class Face { text, tempo, elapsed, play, record, speaker, pin, drop };

  KeyCap(Face face, QWidget* parent) : QWidget(parent), face(face) {}

  Face face;
  QString title;
  bool on = false;       // lit: picker open, pinned
  bool pressed = false;  // the button is down on it
  bool lamp = false;     // the tempo key's metronome lamp
  bool active = false;   // playing, recording
  double pie = 0.0;      // the count-in's share of the record key
  bool spinning = false;
  double spinDegrees = 0.0;
  double level = 0.0;  // the speaker's volume

  // A key that assistive technology may set like a slider (volume, tempo).
  struct Adjustable {
    double minimum, maximum, step;
    std::function<double()> value;
    std::function<void(double)> set;
  };
  std::optional<Adjustable> adjustable;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect());
    QPainterPath cap;
    cap.addRoundedRect(box, kCorner, kCorner);
    if (face != Face::elapsed) {
      p.fillPath(cap, QColor::fromRgb(on ? kKeyOn : pressed ? kKeyPressed : kKeyFill));
    }
    const QColor ink = QColor::fromRgb(on ? kInkOn : kInk);
    p.setFont(panelFont(kTextPoints, face == Face::tempo || face == Face::elapsed));
    const QPointF c = box.center();
    switch (face) {
      case Face::text:
        if (spinning) {
          drawSpinner(p, c, ink);
        } else {
          p.setPen(ink);
          p.drawText(box, Qt::AlignCenter, title);
        }
        break;
      case Face::elapsed:
        p.setPen(QColor::fromRgb(kQuietInk));
        p.drawText(box, Qt::AlignCenter, title);
        break;
      case Face::tempo: {
        // The lamp and the title, centred together.
        const double text = QFontMetricsF(p.font()).horizontalAdvance(title);
        const double left = box.left() + (box.width() - text - kLampSpace) / 2.0;
        p.setPen(Qt::NoPen);
        p.setBrush(QColor::fromRgb(lamp ? kLampOn : kLampOff));
        p.drawEllipse(QPointF(left + 2.5, c.y()), 2.5, 2.5);
        p.setPen(ink);
        p.drawText(QRectF(left + kLampSpace, box.top(), text + 1.0, box.height()),
                   Qt::AlignVCenter | Qt::AlignLeft, title);
        break;
      }
      case Face::play:
        p.setPen(Qt::NoPen);
        p.setBrush(ink);
        if (active) {
          p.drawRoundedRect(QRectF(c.x() - 4.5, c.y() - 4.5, 9, 9), 1.5, 1.5);
        } else {
          QPainterPath tri;
          tri.moveTo(c.x() - 3.5, c.y() - 5.5);
          tri.lineTo(c.x() + 5.5, c.y());
          tri.lineTo(c.x() - 3.5, c.y() + 5.5);
          tri.closeSubpath();
          p.drawPath(tri);
        }
        break;
      case Face::record: {
        const QColor red = QColor::fromRgb(kRecordRed);
        if (pie > 0.0) {
          p.save();
          p.setClipPath(cap);
          QColor wash = red;
          wash.setAlphaF(kPieOpacity);
          p.setPen(Qt::NoPen);
          p.setBrush(wash);
          // Clockwise from twelve o'clock, as a clock hand counts.
          const QRectF disc(c.x() - 24, c.y() - 24, 48, 48);
          p.drawPie(disc, 90 * 16, -static_cast<int>(std::lround(pie * 360.0 * 16.0)));
          p.restore();
        }
        p.setPen(Qt::NoPen);
        p.setBrush(red);
        if (active) {
          p.drawRoundedRect(QRectF(c.x() - 5, c.y() - 5, 10, 10), 2, 2);
        } else {
          p.drawEllipse(c, 5.5, 5.5);
        }
        break;
      }
      case Face::speaker:
        drawSpeaker(p, c, ink);
        break;
      case Face::pin:
        drawPin(p, c, ink);
        break;
      case Face::drop: {
        QPen pen(ink, 1.6, Qt::SolidLine, Qt::RoundCap);
        p.setPen(pen);
        p.drawLine(QPointF(c.x() - 4.5, c.y() - 4.5), QPointF(c.x() + 4.5, c.y() + 4.5));
        p.drawLine(QPointF(c.x() + 4.5, c.y() - 4.5), QPointF(c.x() - 4.5, c.y() + 4.5));
        break;
      }
    }
  }

 private:
  void drawSpinner(QPainter& p, QPointF c, const QColor& ink) const {
    QColor faint = ink;
    faint.setAlphaF(0.25);
    const QRectF ring(c.x() - 6, c.y() - 6, 12, 12);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(faint, 2));
    p.drawEllipse(ring);
    p.setPen(QPen(ink, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(ring, static_cast<int>(-spinDegrees * 16), 100 * 16);
  }

  void drawSpeaker(QPainter& p, QPointF c, const QColor& ink) const {
    const double x = c.x() - 6.5;
    QPainterPath body;
    body.moveTo(x, c.y() - 2.5);
    body.lineTo(x + 3, c.y() - 2.5);
    body.lineTo(x + 7, c.y() - 6);
    body.lineTo(x + 7, c.y() + 6);
    body.lineTo(x + 3, c.y() + 2.5);
    body.lineTo(x, c.y() + 2.5);
    body.closeSubpath();
    p.setPen(Qt::NoPen);
    p.fillPath(body, ink);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(ink, 1.5, Qt::SolidLine, Qt::RoundCap));
    if (level <= 0.0) {
      p.drawLine(QPointF(x + 9.5, c.y() - 3), QPointF(x + 15.5, c.y() + 3));
      p.drawLine(QPointF(x + 15.5, c.y() - 3), QPointF(x + 9.5, c.y() + 3));
      return;
    }
    // One wave for a soft volume, two above half.
    p.drawArc(QRectF(x + 4, c.y() - 4, 8, 8), -50 * 16, 100 * 16);
    if (level > 0.5) p.drawArc(QRectF(x + 3, c.y() - 7, 14, 14), -50 * 16, 100 * 16);
  }

  void drawPin(QPainter& p, QPointF c, const QColor& ink) const {
    p.save();
    p.translate(c);
    p.rotate(35);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawRoundedRect(QRectF(-3, -7, 6, 6), 1.5, 1.5);
    p.drawRect(QRectF(-5, -1.5, 10, 1.8));
    p.setPen(QPen(ink, 1.3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(0, 0), QPointF(0, 7));
    p.restore();
  }
};

// The volume and tempo keys read as sliders to assistive technology: a value
// in range, and increment and decrement actions of one step.
class AdjustableKeyAccess : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit AdjustableKeyAccess(KeyCap* key) : QAccessibleWidget(key, QAccessible::Slider) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return key()->accessibleDescription();
    return QAccessibleWidget::text(t);
  }

  QVariant currentValue() const override { return adjust().value(); }
  void setCurrentValue(const QVariant& value) override {
    adjust().set(std::clamp(value.toDouble(), adjust().minimum, adjust().maximum));
  }
  QVariant maximumValue() const override { return adjust().maximum; }
  QVariant minimumValue() const override { return adjust().minimum; }
  QVariant minimumStepSize() const override { return adjust().step; }

  QStringList actionNames() const override {
    return {QAccessibleActionInterface::increaseAction(),
            QAccessibleActionInterface::decreaseAction()};
  }
  void doAction(const QString& name) override {
    const double step = name == QAccessibleActionInterface::increaseAction()   ? adjust().step
                        : name == QAccessibleActionInterface::decreaseAction() ? -adjust().step
                                                                               : 0.0;
    if (step != 0.0) setCurrentValue(adjust().value() + step);
  }

 private:
  KeyCap* key() const { return static_cast<KeyCap*>(widget()); }
  const KeyCap::Adjustable& adjust() const { return *key()->adjustable; }
};

QAccessibleInterface* adjustableKeyFactory(const QString&, QObject* object) {
  auto* key = dynamic_cast<KeyCap*>(object);
  if (key == nullptr || !key->adjustable) return nullptr;
  return new AdjustableKeyAccess(key);
}

FootRow::FootRow(QWidget* parent) : QWidget(parent), spinner_(new QTimer(this)) {
  setFixedHeight(kHeight);
  key_ = makeKey("key");
  tempo_ = makeKey("bpm");
  tempo_->face = KeyCap::Face::tempo;
  elapsed_ = makeKey("elapsed");
  elapsed_->face = KeyCap::Face::elapsed;
  play_ = makeKey("play");
  play_->face = KeyCap::Face::play;
  record_ = makeKey("record");
  record_->face = KeyCap::Face::record;
  const char* exportNames[] = {"audio", "midi", "video"};
  const char* exportTitles[] = {"Audio", "MIDI", "Video"};
  for (std::size_t i = 0; i < exports_.size(); ++i) {
    exports_[i] = makeKey(exportNames[i]);
    exports_[i]->title = QString::fromLatin1(exportTitles[i]);
    dragSources_[i] = new FileDragSource(exports_[i], {});
    exports_[i]->installEventFilter(this);
    KeyCap* cap = exports_[i];
    connect(dragSources_[i], &FileDragSource::dragStarted, this,
            [this] { emit exportDragRunning(true); });
    connect(dragSources_[i], &FileDragSource::dragFinished, this, [this, cap] {
      cap->pressed = false;
      cap->update();
      emit exportDragRunning(false);
    });
  }
  drop_ = makeKey("drop");
  drop_->face = KeyCap::Face::drop;
  volume_ = makeKey("volume");
  volume_->face = KeyCap::Face::speaker;
  pin_ = makeKey("pin");
  pin_->face = KeyCap::Face::pin;

  makeTap(key_, &FootRow::keyButtonClicked);
  MouseCatcher::Handlers keyHandlers;
  keyHandlers.onUp = [this](bool moved) {
    if (!moved) emit keyButtonClicked();
  };
  keyHandlers.onScroll = [this](double delta) { emit keyShifted(delta > 0 ? 1 : -1); };
  key_->findChild<MouseCatcher*>()->setHandlers(std::move(keyHandlers));
  makeTap(play_, &FootRow::playToggled);
  makeTap(record_, &FootRow::recordToggled);
  makeTap(pin_, &FootRow::pinToggled);
  makeTap(drop_, &FootRow::dropClicked);

  MouseCatcher::Handlers tempo;
  tempo.cursor = Qt::SizeVerCursor;
  tempo.onDown = [this] { bpmAtPress_ = bpm_; };
  tempo.onDrag = [this](double dy, bool moved) {
    // A click that wobbles by a point or two must not nudge the tempo.
    if (!moved) return;
    const int bpm = std::clamp(bpmAtPress_ + static_cast<int>(std::lround(dy / kPointsPerBeat)),
                               kMinBpm, kMaxBpm);
    if (bpm != bpm_) emit tempoSet(bpm);
  };
  tempo.onUp = [this](bool moved) {
    if (!moved) emit metronomeToggled();
  };
  tempo.onScroll = [this](double delta) {
    const int bpm = std::clamp(bpm_ + (delta > 0 ? 1 : -1), kMinBpm, kMaxBpm);
    if (bpm != bpm_) emit tempoSet(bpm);
  };
  new MouseCatcher(tempo_, std::move(tempo));
  tempo_->adjustable =
      KeyCap::Adjustable{double(kMinBpm), double(kMaxBpm), 1.0, [this] { return double(bpm_); },
                         [this](double bpm) { emit tempoSet(static_cast<int>(std::lround(bpm))); }};
  tempo_->installEventFilter(this);

  MouseCatcher::Handlers volume;
  volume.cursor = Qt::SizeVerCursor;
  volume.onDown = [this] {
    volumeAtPress_ = volumeValue_;
    emit volumeDragStarted();
  };
  volume.onDrag = [this](double dy, bool moved) {
    if (!moved) return;
    emit volumeSet(std::clamp(volumeAtPress_ + dy / kPointsPerVolume, 0.0, 1.0));
  };
  volume.onUp = [this](bool moved) { emit volumeReleased(moved); };
  volume.onScroll = [this](double delta) {
    emit volumeSet(
        std::clamp(volumeValue_ + (delta > 0 ? kVolumeScrollStep : -kVolumeScrollStep), 0.0, 1.0));
  };
  new MouseCatcher(volume_, std::move(volume));
  volume_->adjustable =
      KeyCap::Adjustable{0.0, 1.0, kVolumeAccessStep, [this] { return volumeValue_; },
                         [this](double volume) { emit volumeSet(volume); }};
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(adjustableKeyFactory);
    return true;
  }();
  (void)factoryInstalled;
  volume_->installEventFilter(this);

  spinner_->setInterval(16);
  connect(spinner_, &QTimer::timeout, this, [this] {
    for (KeyCap* key : exports_) {
      if (!key->spinning) continue;
      key->spinDegrees = std::fmod(key->spinDegrees + 6.0, 360.0);
      key->update();
    }
  });

  showKey(shownKey_);
  relayout();
}

KeyCap* FootRow::makeKey(const char* name) {
  auto* key = new KeyCap(KeyCap::Face::text, this);
  key->setObjectName(QString::fromLatin1(name));
  key->setFocusPolicy(Qt::NoFocus);
  return key;
}

void FootRow::makeTap(KeyCap* key, void (FootRow::*intent)()) {
  MouseCatcher::Handlers tap;
  tap.onUp = [this, intent](bool moved) {
    if (!moved) emit(this->*intent)();
  };
  new MouseCatcher(key, std::move(tap));
  key->installEventFilter(this);
}

// Installed after each key's catcher or drag source, this filter sees the
// button first and only lights the key while the button is down.
bool FootRow::eventFilter(QObject* watched, QEvent* event) {
  auto* key = qobject_cast<QWidget*>(watched);
  if (key == nullptr || key->parent() != this) return false;
  auto* cap = static_cast<KeyCap*>(key);
  if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton) {
      cap->pressed = event->type() == QEvent::MouseButtonPress;
      cap->update();
    }
  }
  return false;
}

void FootRow::setExportActions(Export which, FileDragSource::Actions actions) {
  dragSources_[static_cast<std::size_t>(which)]->setActions(std::move(actions));
}

QRect FootRow::keyButtonFrame() const {
  return key_->isVisibleTo(this) ? key_->geometry() : QRect();
}

QRect FootRow::tempoKeyFrame() const {
  return tempo_->isVisibleTo(this) ? tempo_->geometry() : QRect();
}

void FootRow::showKey(const Chords::Key& key) {
  shownKey_ = key;
  key_->title = displayName(key);
  relayout();
}

void FootRow::showPickerOpen(bool open) {
  key_->on = open;
  key_->update();
}

void FootRow::showTempo(int bpm, bool metronome) {
  bpm_ = bpm;
  metronome_ = metronome;
  tempo_->title = QString::number(bpm) + QStringLiteral(" BPM");
  tempo_->lamp = metronome;
  relayout();
}

void FootRow::showState(PadState state) {
  state_ = state;
  record_->active = state == PadState::rec;
  record_->pie = state == PadState::count ? countN_ * 0.25 : 0.0;
  relayout();
}

void FootRow::showCount(int countN) {
  countN_ = countN;
  record_->pie = state_ == PadState::count ? countN * 0.25 : 0.0;
  record_->update();
}

void FootRow::showElapsed(int seconds) {
  elapsedSeconds_ = seconds;
  elapsed_->title = elapsedText(seconds);
  relayout();
}

void FootRow::showPlaying(bool playing) {
  playing_ = playing;
  play_->active = playing;
  describe();
  play_->update();
}

void FootRow::showVolume(double volume) {
  volumeValue_ = volume;
  volume_->level = volume;
  describe();
  volume_->update();
}

void FootRow::showPinned(bool pinned) {
  pinned_ = pinned;
  pin_->on = pinned;
  describe();
  pin_->update();
}

void FootRow::showRendering(Export which, bool rendering) {
  const auto index = static_cast<std::size_t>(which);
  rendering_[index] = rendering;
  KeyCap* key = exports_[index];
  key->spinning = rendering;
  if (std::find(rendering_.begin(), rendering_.end(), true) != rendering_.end()) {
    if (!spinner_->isActive()) spinner_->start();
  } else {
    spinner_->stop();
  }
  describe();
  key->update();
}

void FootRow::moveEvent(QMoveEvent*) { emit framesChanged(); }

void FootRow::resizeEvent(QResizeEvent*) { relayout(); }

void FootRow::relayout() {
  const bool done = state_ == PadState::done;
  const QFontMetricsF metrics(panelFont(kTextPoints));
  const QFontMetricsF digits(panelFont(kTextPoints, true));
  auto textWidth = [](const QFontMetricsF& m, const QString& text, int padding) {
    return static_cast<int>(std::ceil(m.horizontalAdvance(text))) + 2 * padding;
  };
  for (KeyCap* cap : {play_, record_, drop_, volume_, pin_}) cap->setFixedWidth(kSquare);
  elapsed_->setFixedWidth(textWidth(digits, elapsed_->title, 4));

  std::vector<std::pair<KeyCap*, bool>> first = {
      {key_, true},        {tempo_, true},      {elapsed_, state_ == PadState::rec},
      {play_, done},       {record_, true},     {exports_[0], done},
      {exports_[1], done}, {exports_[2], done}, {drop_, done},
  };
  std::vector<std::pair<KeyCap*, bool>> second = {{volume_, true}, {pin_, true}};
  const int gap = done ? 5 : 6;
  auto needed = [&] {
    int sum = kGroupGap - 2 * gap;  // each group has one gap fewer than keys
    for (const auto* group : {&first, &second}) {
      for (const auto& [cap, shown] : *group) sum += shown ? cap->width() + gap : 0;
    }
    return sum;
  };
  // The tall panel is too narrow for every key at once: the keys the current
  // take needs least give way (the key and tempo while a finished take waits,
  // the pin, drop, which Escape also does), and titles may lose a little air.
  const std::array<KeyCap*, 4> yielding = {key_, tempo_, pin_, drop_};
  for (std::size_t hidden = 0; hidden <= yielding.size(); ++hidden) {
    if (hidden > 0) {
      for (auto* group : {&first, &second}) {
        for (auto& [cap, shown] : *group) {
          if (cap == yielding[hidden - 1]) shown = false;
        }
      }
    }
    bool fits = false;
    for (int shrink : {0, 2}) {
      key_->setFixedWidth(
          std::max(kSquare + 16, textWidth(metrics, key_->title, kTextPadding - shrink)));
      tempo_->setFixedWidth(textWidth(digits, tempo_->title, kTextPadding - shrink) + kLampSpace);
      for (KeyCap* cap : exports_) {
        cap->setFixedWidth(textWidth(metrics, cap->title, kExportPadding - shrink));
      }
      fits = needed() <= width();
      if (fits) break;
    }
    if (fits) break;
  }

  int x = 0;
  for (const auto& [cap, shown] : first) {
    cap->setVisible(shown);
    if (!shown) continue;
    cap->setGeometry(x, 0, cap->width(), kHeight);
    x += cap->width() + gap;
  }
  x = width();
  for (auto it = second.rbegin(); it != second.rend(); ++it) {
    const auto& [cap, shown] = *it;
    cap->setVisible(shown);
    if (!shown) continue;
    x -= cap->width();
    cap->setGeometry(x, 0, cap->width(), kHeight);
    x -= gap;
  }
  describe();
  update();
  for (QWidget* child : findChildren<KeyCap*>()) child->update();

  const QRect frame = keyButtonFrame();
  if (frame != lastKeyFrame_) {
    lastKeyFrame_ = frame;
    emit keyButtonFrameChanged(frame);
  }
  emit framesChanged();
}

void FootRow::describe() {
  key_->setAccessibleName(QStringLiteral("Key, ") + key_->title);
  tempo_->setAccessibleName(QStringLiteral("Metronome, %1 BPM, %2")
                                .arg(bpm_)
                                .arg(metronome_ ? QStringLiteral("on") : QStringLiteral("off")));
  tempo_->setAccessibleDescription(QString::number(bpm_) + QStringLiteral(" BPM"));
  elapsed_->setAccessibleName(elapsed_->title);
  play_->setAccessibleName(playing_ ? QStringLiteral("Stop playing")
                                    : QStringLiteral("Play the take"));
  record_->setAccessibleName(state_ == PadState::count ? QStringLiteral("Cancel")
                             : state_ == PadState::rec ? QStringLiteral("Stop")
                                                       : QStringLiteral("Record"));
  const char* spoken[] = {"Save audio", "Save MIDI", "Save video"};
  for (std::size_t i = 0; i < exports_.size(); ++i) {
    exports_[i]->setAccessibleName(QString::fromLatin1(spoken[i]));
  }
  for (std::size_t i = 0; i < exports_.size(); ++i) {
    exports_[i]->setAccessibleDescription(rendering_[i] ? QStringLiteral("Rendering") : QString());
  }
  drop_->setAccessibleName(QStringLiteral("Drop the take"));
  volume_->setAccessibleName(QStringLiteral("Volume"));
  volume_->setAccessibleDescription(volumeValue_ <= 0.0
                                        ? QStringLiteral("muted")
                                        : QString::number(std::lround(volumeValue_ * 100.0)) +
                                              QStringLiteral(" %"));
  pin_->setAccessibleName(pinned_ ? QStringLiteral("Unpin") : QStringLiteral("Pin"));
}

}  // namespace quimbel
