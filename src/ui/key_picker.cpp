#include "ui/key_picker.h"

namespace quimbel {

KeyPicker::KeyPicker(QWidget* parent) : QWidget(parent) { resize(kWidth, 140); }

}  // namespace quimbel
