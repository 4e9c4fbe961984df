#include "ui/panel_view.h"

#include <QPainter>
#include <algorithm>

#include "ui/foot_row.h"
#include "ui/key_picker.h"

namespace quimbel {

PanelView::PanelView(QWidget* parent)
    : QWidget(parent), foot_(new FootRow(this)), picker_(new KeyPicker(this)) {
  picker_->hide();
  connect(foot_, &FootRow::keyButtonFrameChanged, this, [this] { placeChildren(); });
  showWide(false);
}

void PanelView::placeChildren() {
  const int margin = 12;
  foot_->setGeometry(wide_ ? QRect(12, 280, 524, FootRow::kHeight)
                           : QRect(12, 644, 304, FootRow::kHeight));
  const QRect key = foot_->keyButtonFrame();
  const int keyLeft = key.isValid() ? foot_->x() + key.x() : 46;
  const int left = key.isValid() ? std::max(margin, std::min(wide_ ? 284 : 64, keyLeft)) : 46;
  const QSize size = picker_->size();
  picker_->move(left, foot_->y() - 8 - size.height());
}

void PanelView::showPicker(bool open) {
  placeChildren();
  picker_->setVisible(open);
  if (open) picker_->raise();
}

void PanelView::showWide(bool wide) {
  wide_ = wide;
  resize(wide ? kWideSize : kTallSize);
  placeChildren();
  update();
}

void PanelView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x16, 0x16, 0x16));
  painter.drawRoundedRect(QRectF(rect()), 14, 14);
}

}  // namespace quimbel
