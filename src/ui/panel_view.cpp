#include "ui/panel_view.h"

#include <QPainter>

namespace quimbel {

PanelView::PanelView(QWidget* parent) : QWidget(parent) { showWide(false); }

void PanelView::showWide(bool wide) {
  wide_ = wide;
  resize(wide ? kWideSize : kTallSize);
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
