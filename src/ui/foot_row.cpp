#include "ui/foot_row.h"

namespace quimbel {

FootRow::FootRow(QWidget* parent) : QWidget(parent) { setFixedHeight(kHeight); }

QRect FootRow::keyButtonFrame() const { return {}; }

}  // namespace quimbel
