#include "ui/key_picker.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>
#include <array>

#include "ui/panel_font.h"

namespace quimbel {

namespace {

constexpr QRgb kBackground = 0x262626;
constexpr QRgb kNatural = 0x383838;
constexpr QRgb kNaturalHover = 0x484848;
constexpr QRgb kAccidental = 0x1A1A1A;
constexpr QRgb kAccidentalHover = 0x303030;
constexpr QRgb kSelected = 0xEDEDED;
constexpr QRgb kInk = 0xEDEDED;
constexpr QRgb kInkSelected = 0x161616;
constexpr int kAppearMs = 150;
constexpr int kNaturals = 7;
// Where each tonic sits: a natural's column, or the gap after that natural.
constexpr std::array<int, 12> kColumn = {0, 0, 1, 1, 2, 3, 3, 4, 4, 5, 5, 6};
constexpr std::array<bool, 12> kAccidentalTonic = {false, true,  false, true,  false, false,
                                                   true,  false, true,  false, true,  false};

}  // namespace

KeyPicker::KeyPicker(QWidget* parent) : QWidget(parent), appear_(new QVariantAnimation(this)) {
  resize(kWidth, 2 * kPadding + 3 * kChipHeight + 2 * kGap);
  setMouseTracking(true);
  setAttribute(Qt::WA_Hover);
  setAccessibleName(QStringLiteral("Key picker"));
  appear_->setDuration(kAppearMs);
  appear_->setStartValue(0.0);
  appear_->setEndValue(1.0);
  appear_->setEasingCurve(QEasingCurve::OutCubic);
  connect(appear_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    opacity_ = value.toDouble();
    update();
  });
}

QString KeyPicker::chipTitle(int chip) {
  static const std::array<QString, kChips> kTitles = {
      QStringLiteral("C"),     QStringLiteral("C♯"),   QStringLiteral("D"),  QStringLiteral("E♭"),
      QStringLiteral("E"),     QStringLiteral("F"),    QStringLiteral("F♯"), QStringLiteral("G"),
      QStringLiteral("A♭"),    QStringLiteral("A"),    QStringLiteral("B♭"), QStringLiteral("B"),
      QStringLiteral("Major"), QStringLiteral("Minor")};
  return chip >= 0 && chip < kChips ? kTitles[static_cast<std::size_t>(chip)] : QString();
}

QRectF KeyPicker::chipFrame(int chip) const {
  const double inner = kWidth - 2.0 * kPadding;
  const double natural = (inner - (kNaturals - 1) * kGap) / kNaturals;
  if (chip == kMajorChip || chip == kMinorChip) {
    const double half = (inner - kGap) / 2.0;
    const double x = kPadding + (chip == kMinorChip ? half + kGap : 0.0);
    return {x, kPadding + 2.0 * (kChipHeight + kGap), half, double(kChipHeight)};
  }
  if (chip < 0 || chip >= kMajorChip) return {};
  const auto i = static_cast<std::size_t>(chip);
  const double left = kPadding + kColumn[i] * (natural + kGap);
  if (!kAccidentalTonic[i])
    return {left, kPadding + double(kChipHeight + kGap), natural, double(kChipHeight)};
  // A sharp or flat straddles the two naturals it lies between, like a black key.
  return {left + (natural + kGap) / 2.0, double(kPadding), natural, double(kChipHeight)};
}

void KeyPicker::showKey(const Chords::Key& key) {
  key_ = key;
  update();
}

int KeyPicker::chipAt(QPointF point) const {
  for (int chip = 0; chip < kChips; ++chip) {
    if (chipFrame(chip).contains(point)) return chip;
  }
  return -1;
}

void KeyPicker::hoverTo(int chip) {
  if (chip == hover_) return;
  hover_ = chip;
  update();
}

void KeyPicker::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setOpacity(opacity_);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor::fromRgb(kBackground));
  p.drawRoundedRect(QRectF(rect()), 12, 12);
  p.setFont(panelFont(14));
  for (int chip = 0; chip < kChips; ++chip) {
    const bool on = chip < kMajorChip ? chip == key_.tonic
                                      : (chip == kMinorChip) == (key_.mode == Chords::Mode::minor);
    const bool dark = chip < kMajorChip && kAccidentalTonic[static_cast<std::size_t>(chip)];
    const QRgb fill = on     ? kSelected
                      : dark ? (chip == hover_ ? kAccidentalHover : kAccidental)
                             : (chip == hover_ ? kNaturalHover : kNatural);
    const QRectF frame = chipFrame(chip);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor::fromRgb(fill));
    p.drawRoundedRect(frame, 7, 7);
    p.setPen(QColor::fromRgb(on ? kInkSelected : kInk));
    p.drawText(frame, Qt::AlignCenter, chipTitle(chip));
  }
}

void KeyPicker::mousePressEvent(QMouseEvent* event) {
  // Also a press between the chips stays here: it must not reach the panel.
  event->accept();
  pressed_ = event->button() == Qt::LeftButton ? chipAt(event->position()) : -1;
}

void KeyPicker::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
  const int chip = chipAt(event->position());
  const bool chosen = chip >= 0 && chip == pressed_;
  pressed_ = -1;
  if (!chosen) return;
  if (chip < kMajorChip) {
    emit tonicChosen(chip);
  } else {
    emit modeChosen(chip == kMinorChip ? Chords::Mode::minor : Chords::Mode::major);
  }
}

void KeyPicker::mouseMoveEvent(QMouseEvent* event) {
  event->accept();
  hoverTo(chipAt(event->position()));
}

void KeyPicker::leaveEvent(QEvent*) { hoverTo(-1); }

void KeyPicker::showEvent(QShowEvent*) {
  hover_ = -1;
  if (reduceMotion_) {
    opacity_ = 1.0;
  } else {
    opacity_ = 0.0;
    appear_->stop();
    appear_->start();
  }
  emit placed();
}

void KeyPicker::moveEvent(QMoveEvent*) { emit placed(); }

void KeyPicker::resizeEvent(QResizeEvent*) { emit placed(); }

}  // namespace quimbel
