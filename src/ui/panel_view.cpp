#include "ui/panel_view.h"

#include <QPainter>
#include <algorithm>

#include "look/palette.h"
#include "music/chords.h"
#include "screen/screen_canvas.h"
#include "ui/foot_row.h"
#include "ui/key_picker.h"
#include "ui/knob_dial.h"
#include "ui/pad_button.h"
#include "ui/resize_edge.h"

namespace quimbel {

namespace {

constexpr int kMargin = 12;
// Without a reported key button the picker opens here.
constexpr int kPickerDefaultLeft = 46;
constexpr int kPickerAboveFoot = 8;
constexpr double kCornerRadius = 14.0;
constexpr std::uint32_t kPanelRgb = 0x161616;
const QColor kPanelColor(0x16, 0x16, 0x16);
// 12 points on the tall panel's 304-point screen.
constexpr double kScreenCornerShare = 12.0 / 304.0;

QString fromView(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

PanelView::Layout PanelView::layout(bool wide) {
  if (wide) {
    return {QRect(12, 12, 256, 256), QRect(280, 12, 256, 256), 80, QRect(12, 280, 524, 28),
            QRect(530, 8, 8, 304),   QRect(530, 310, 18, 10),  284};
  }
  return {QRect(12, 12, 304, 304), QRect(12, 328, 304, 304), 96, QRect(12, 644, 304, 28),
          QRect(310, 8, 8, 668),   QRect(310, 674, 18, 10),  64};
}

QRect PanelView::padCell(int i, int side) {
  const int pitch = side + kPadGap;
  return QRect(pitch * (i % 3), pitch * (i / 3), side, side);
}

PanelView::PanelView(QWidget* parent)
    : QWidget(parent),
      screen_(new ScreenCanvas(this)),
      knob_(new KnobDial(this)),
      foot_(new FootRow(this)),
      picker_(new KeyPicker(this)),
      edge_(new ResizeEdge(ResizeEdge::Kind::strip, this)),
      grip_(new ResizeEdge(ResizeEdge::Kind::grip, this)) {
  for (int i = 0; i < kPadFaces; ++i) {
    auto* pad = new PadButton(i, this);
    pads_[static_cast<std::size_t>(i)] = pad;
    connect(pad, &PadButton::padPressed, this, &PanelView::padPressed);
    connect(pad, &PadButton::padReleased, this, &PanelView::padReleased);
  }
  // The edge lies over the screen's and the pads' last points, as the strip
  // along the panel's right side should.
  edge_->raise();
  grip_->raise();
  picker_->hide();
  for (ResizeEdge* edge : {edge_, grip_}) {
    connect(edge, &ResizeEdge::resizeRequested, this, &PanelView::resizeRequested);
  }
  connect(foot_, &FootRow::keyButtonFrameChanged, this, [this] { placeChildren(); });
  showPadFaces();
  showWide(false);
}

void PanelView::placeChildren() {
  const Layout at = layout(wide_);
  screen_->setGeometry(at.screen);
  // The screen's corners round like the pads', as the video draws them.
  screen_->showCorners(kScreenCornerShare * at.screen.width(), kPanelRgb);
  for (int i = 0; i < kPadFaces; ++i) {
    pads_[static_cast<std::size_t>(i)]->setGeometry(
        padCell(i, at.padSide).translated(at.pads.topLeft()));
  }
  knob_->setGeometry(padCell(kPadFaces, at.padSide).translated(at.pads.topLeft()));
  foot_->setGeometry(at.foot);
  edge_->setGeometry(at.edge);
  grip_->setGeometry(at.grip);

  const QRect key = foot_->keyButtonFrame();
  const int left = key.isValid()
                       ? std::max(kMargin, std::min(at.pickerRightmost, foot_->x() + key.x()))
                       : kPickerDefaultLeft;
  picker_->move(left, foot_->y() - kPickerAboveFoot - picker_->height());
}

void PanelView::showPicker(bool open) {
  placeChildren();
  picker_->setVisible(open);
  if (open) picker_->raise();
}

void PanelView::showWide(bool wide) {
  wide_ = wide;
  resize(wide ? kWideSize : kTallSize);
  edge_->showWide(wide);
  grip_->showWide(wide);
  placeChildren();
  update();
}

void PanelView::letGoOfPads() {
  for (PadButton* pad : pads_) pad->letGo();
}

void PanelView::showHeld(const std::set<int>& held) {
  for (int i = 0; i < kChordPads; ++i) {
    pads_[static_cast<std::size_t>(i)]->showPressed(held.contains(i));
  }
}

void PanelView::showModifiers(bool sevenths, bool ninths) {
  sevenths_ = sevenths;
  ninths_ = ninths;
  showPadFaces();
  pads_[PadButton::kSeventhsPad]->showPressed(sevenths || ninths);
}

void PanelView::showPadFaces() {
  static const char* const kDegrees[kChordPads] = {"I", "II", "III", "IV", "V", "VI", "VII"};
  const QString suffix = ninths_     ? QStringLiteral("9")
                         : sevenths_ ? QStringLiteral("7")
                                     : QString();
  for (int i = 0; i < kPadFaces; ++i) {
    const QString key = fromView(Chords::padLabel(i));
    if (i == PadButton::kSeventhsPad) {
      const bool on = sevenths_ || ninths_;
      pads_[PadButton::kSeventhsPad]->showFace(on ? kSeventhsOnFill : Chords::padColor(i),
                                               on ? kSeventhsOnType : Chords::padLabelColor(i),
                                               QStringLiteral("7th"), key);
      continue;
    }
    pads_[static_cast<std::size_t>(i)]->showFace(Chords::padColor(i), Chords::padLabelColor(i),
                                                 QString::fromLatin1(kDegrees[i]) + suffix, key);
  }
}

void PanelView::showLive(bool live) {
  for (PadButton* pad : pads_) pad->showGrey(!live);
}

void PanelView::showReduceMotion(bool reduce) {
  for (PadButton* pad : pads_) pad->showReduceMotion(reduce);
  knob_->showReduceMotion(reduce);
}

void PanelView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(kPanelColor);
  painter.drawRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
}

}  // namespace quimbel
